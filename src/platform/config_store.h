// The configuration store: a tree of keys holding number, text and binary values.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace kvzn::platform {

// One stored value.
struct StoreValue {
    enum class Type { Number, Text, Binary };
    Type type = Type::Text;
    uint32_t number = 0;
    std::string text;
    std::vector<uint8_t> binary;

    static StoreValue MakeNumber(uint32_t n);
    static StoreValue MakeText(std::string t);
    static StoreValue MakeBinary(std::vector<uint8_t> b);
    bool operator==(const StoreValue&) const = default;
};

// Orders names without regard to ASCII case; the stored spelling is kept.
struct CaseInsensitiveLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
};

// In-memory tree of keys. Key paths are relative to the local-machine root and use "\"
// between components ("Software\Halvern\..."); empty components are ignored. Key and value
// names compare without regard to case and keep the spelling of their first writer.
class StoreTree {
  public:
    StoreTree() = default;
    // Deep copy; a writer may work on a copy and commit it only when it succeeds.
    StoreTree(const StoreTree& other);
    StoreTree& operator=(const StoreTree& other);
    StoreTree(StoreTree&&) noexcept = default;
    StoreTree& operator=(StoreTree&&) noexcept = default;

    const StoreValue* Find(std::string_view keyPath, std::string_view name) const;
    // Creates the key (and its parents) when missing.
    void Set(std::string_view keyPath, std::string_view name, StoreValue value);
    void CreateKey(std::string_view keyPath);
    bool DeleteValue(std::string_view keyPath, std::string_view name);
    // Deletes the key with all its subkeys; false when it did not exist. The root (an empty
    // path) is never deleted.
    bool DeleteKey(std::string_view keyPath);
    bool KeyExists(std::string_view keyPath) const;
    std::vector<std::string> SubKeyNames(std::string_view keyPath) const;
    std::vector<std::string> ValueNames(std::string_view keyPath) const;
    bool operator==(const StoreTree&) const;

    // The store file text: a ".reg"-like, line-oriented layout (see store_tree.cpp).
    std::string Serialize() const;
    // Parses a store file. On a damaged file returns an EINVAL error "<fileName>:<line>: ..."
    // and leaves `out` untouched. A value named twice in one key keeps the last one; a key
    // written in two sections gets the values of both.
    static Status Parse(std::string_view text, std::string_view fileName, StoreTree& out);

  private:
    struct Node {
        std::string name;  // spelling as first written
        std::map<std::string, StoreValue, CaseInsensitiveLess> values;
        std::map<std::string, std::unique_ptr<Node>, CaseInsensitiveLess> children;
    };
    const Node* FindNode(std::string_view keyPath) const;
    Node* FindOrCreate(std::string_view keyPath);
    static bool NodesEqual(const Node& a, const Node& b);
    static void CopyNode(const Node& from, Node& to);
    Node root_;
};

// A configuration store shared by the service and the configuration utility.
// @threadsafety Always; the file backend is also safe between processes.
class ConfigStore {
  public:
    virtual ~ConfigStore() = default;
    // Calls `reader` with a consistent snapshot of the whole store. The reader runs with no
    // lock held and may use the store again. A missing store file reads as an empty tree.
    virtual Status Read(const std::function<void(const StoreTree&)>& reader) = 0;
    // The value `name` of the key `keyPath` as Read would show it; no value when the key or
    // the value is missing. A store may answer it from a cache of recently read values.
    virtual Result<std::optional<StoreValue>> ReadValue(std::string_view keyPath,
                                                        std::string_view name) {
        std::optional<StoreValue> value;
        Status status = Read([&](const StoreTree& tree) {
            if (const StoreValue* found = tree.Find(keyPath, name)) {
                value = *found;
            }
        });
        if (!status.ok()) {
            return status;
        }
        return value;
    }
    // One read-modify-write transaction: `writer` changes the tree and returns true to
    // commit, false to abandon. Either every change is stored or none is; an exception from
    // the writer abandons the transaction and propagates. Writers of all threads and
    // processes run one at a time, so the writer must not call Update on the same store.
    virtual Status Update(const std::function<bool(StoreTree&)>& writer) = 0;
    // Where the store lives, for messages ("/etc/kvZNPrint/registry.reg").
    virtual std::string Location() const = 0;
};

// File-backed store at `path` (created on first write, mode 0600).
std::shared_ptr<ConfigStore> OpenFileStore(std::string path);
// In-memory store for tests.
std::shared_ptr<ConfigStore> MakeMemoryStore();

// The store file both programs use: $KVZN_REGISTRY when set, else kDefaultStorePath.
inline constexpr const char* kDefaultStorePath = "/etc/kvZNPrint/registry.reg";
inline constexpr const char* kStoreEnvironmentVariable = "KVZN_REGISTRY";
std::string DefaultStorePath();

}  // namespace kvzn::platform
