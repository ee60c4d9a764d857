// The registry library: typed reads and writes of the configuration store by key path.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/config_store.h"

namespace kvzn::companion {

// Key paths are relative to the local-machine root ("Software\Halvern\...").
// Reads return 0 when the value was read and stored; non-zero when the key or value is
// missing or unreadable, leaving the destination unchanged so the caller's default holds.
// Writes return 0 on success and create missing keys.
// @threadsafety Always (the store serialises access, also between processes).
class Registry {
  public:
    static constexpr int kMissing = 2;     // key or value not found
    static constexpr int kWrongType = 13;  // the value has another type
    static constexpr int kStoreError = 5;  // the store could not be read or written

    explicit Registry(std::shared_ptr<platform::ConfigStore> store);

    // The process-wide registry: the default store file unless main replaced the store
    // with SetProcessStore before any other thread started.
    static Registry& Process();
    static void SetProcessStore(std::shared_ptr<platform::ConfigStore> store);

    int ReadNumber(std::string_view key, std::string_view name, uint32_t& out) const;
    int ReadFlag(std::string_view key, std::string_view name, uint32_t& out) const;
    // Reads a text cut to bufferSize - 1 characters (the fixed buffers of the callers).
    // When missing and `defaultText` is given, `out` receives it and the result is still
    // non-zero.
    int ReadText(std::string_view key, std::string_view name, std::string& out,
                 size_t bufferSize = 260, const char* defaultText = nullptr) const;
    int ReadBinary(std::string_view key, std::string_view name, std::vector<uint8_t>& out) const;

    int WriteNumber(std::string_view key, std::string_view name, uint32_t value);
    int WriteFlag(std::string_view key, std::string_view name, uint32_t value);
    int WriteText(std::string_view key, std::string_view name, std::string_view value);
    int WriteBinary(std::string_view key, std::string_view name, std::vector<uint8_t> value);
    int DeleteValue(std::string_view key, std::string_view name);
    // Deletes the key with all its subkeys (a missing key counts as deleted).
    int DeleteKey(std::string_view key);
    bool KeyExists(std::string_view key) const;

    // Remote connection (configuration utility). The connector opens the store of a named
    // server; after a successful ConnectToServer every call of this object works on that
    // store. Returns 0 when connected, non-zero otherwise (no connector, or it failed).
    using Connector =
        std::function<platform::Result<std::shared_ptr<platform::ConfigStore>>(std::string_view)>;
    void SetConnector(Connector connector);
    int ConnectToServer(std::string_view server);
    // The connected server's store, or null when no connection was made.
    std::shared_ptr<platform::ConfigStore> ConnectedRoot() const;

    platform::ConfigStore& Store() const { return *store_; }
    const std::shared_ptr<platform::ConfigStore>& StorePtr() const { return store_; }
    // The text of the last store failure seen by this object (file and line of a damaged
    // store, or the failing call).
    std::string LastError() const;

  private:
    int Get(std::string_view key, std::string_view name, platform::StoreValue& out) const;
    int Put(std::string_view key, std::string_view name, platform::StoreValue value);
    void NoteFailure(const platform::Status& status) const;

    std::shared_ptr<platform::ConfigStore> store_;
    std::shared_ptr<platform::ConfigStore> connected_;
    Connector connector_;
    mutable std::mutex errorMutex_;
    mutable std::string lastError_;
};

}  // namespace kvzn::companion
