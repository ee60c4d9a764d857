// The registry library over the configuration store.
#include "companion/registry.h"

#include <optional>
#include <utility>

#include "companion/activity_log.h"

namespace kvzn::companion {

namespace {
constexpr std::string_view kModule = "kvZNREG";
}  // namespace

Registry::Registry(std::shared_ptr<platform::ConfigStore> store) : store_(std::move(store)) {}

Registry& Registry::Process() {
    static Registry* registry = new Registry(nullptr);  // never destroyed
    static std::once_flag opened;
    std::call_once(opened, [] {
        if (!registry->store_) {
            registry->store_ = platform::OpenFileStore(platform::DefaultStorePath());
        }
    });
    return *registry;
}

void Registry::SetProcessStore(std::shared_ptr<platform::ConfigStore> store) {
    Process().store_ = std::move(store);
}

void Registry::NoteFailure(const platform::Status& status) const {
    const std::string text = status.Text();
    {
        std::scoped_lock lock(errorMutex_);
        if (text == lastError_) {
            return;  // the same failure is logged once
        }
        lastError_ = text;
    }
    Logger(kModule, "RegAccess")(1, "The configuration store ", store_->Location(),
                                 " cannot be used: ", text);
}

void Registry::SetConnector(Connector connector) {
    connector_ = std::move(connector);
}

int Registry::ConnectToServer(std::string_view server) {
    if (!connector_) {
        return kStoreError;
    }
    auto result = connector_(server);
    if (!result.ok()) {
        NoteFailure(result.status());
        return kStoreError;
    }
    connected_ = *result;
    store_ = connected_;
    return 0;
}

std::shared_ptr<platform::ConfigStore> Registry::ConnectedRoot() const {
    return connected_;
}

std::string Registry::LastError() const {
    std::scoped_lock lock(errorMutex_);
    return lastError_;
}

int Registry::Get(std::string_view key, std::string_view name, platform::StoreValue& out) const {
    platform::Result<std::optional<platform::StoreValue>> value = store_->ReadValue(key, name);
    if (!value.ok()) {
        NoteFailure(value.status());
        return kStoreError;
    }
    if (!value->has_value()) {
        return kMissing;
    }
    out = std::move(**value);
    return 0;
}

int Registry::Put(std::string_view key, std::string_view name, platform::StoreValue value) {
    platform::Status status = store_->Update([&](platform::StoreTree& tree) {
        tree.Set(key, name, std::move(value));
        return true;
    });
    if (!status.ok()) {
        NoteFailure(status);
        return kStoreError;
    }
    return 0;
}

int Registry::ReadNumber(std::string_view key, std::string_view name, uint32_t& out) const {
    platform::StoreValue v;
    if (int rc = Get(key, name, v); rc != 0) {
        return rc;
    }
    if (v.type != platform::StoreValue::Type::Number) {
        return kWrongType;
    }
    out = v.number;
    return 0;
}

int Registry::ReadFlag(std::string_view key, std::string_view name, uint32_t& out) const {
    return ReadNumber(key, name, out);
}

int Registry::ReadText(std::string_view key, std::string_view name, std::string& out,
                       size_t bufferSize, const char* defaultText) const {
    platform::StoreValue v;
    int rc = Get(key, name, v);
    if (rc == 0 && v.type != platform::StoreValue::Type::Text) {
        rc = kWrongType;
    }
    if (rc != 0) {
        if (defaultText != nullptr) {
            out = defaultText;
        }
        return rc;
    }
    out = std::move(v.text);
    if (bufferSize > 0 && out.size() > bufferSize - 1) {
        out.resize(bufferSize - 1);
    }
    return 0;
}

int Registry::ReadBinary(std::string_view key, std::string_view name,
                         std::vector<uint8_t>& out) const {
    platform::StoreValue v;
    if (int rc = Get(key, name, v); rc != 0) {
        return rc;
    }
    if (v.type != platform::StoreValue::Type::Binary) {
        return kWrongType;
    }
    out = std::move(v.binary);
    return 0;
}

int Registry::WriteNumber(std::string_view key, std::string_view name, uint32_t value) {
    return Put(key, name, platform::StoreValue::MakeNumber(value));
}

int Registry::WriteFlag(std::string_view key, std::string_view name, uint32_t value) {
    return Put(key, name, platform::StoreValue::MakeNumber(value));
}

int Registry::WriteText(std::string_view key, std::string_view name, std::string_view value) {
    return Put(key, name, platform::StoreValue::MakeText(std::string(value)));
}

int Registry::WriteBinary(std::string_view key, std::string_view name, std::vector<uint8_t> value) {
    return Put(key, name, platform::StoreValue::MakeBinary(std::move(value)));
}

int Registry::DeleteValue(std::string_view key, std::string_view name) {
    bool existed = false;
    platform::Status status = store_->Update([&](platform::StoreTree& tree) {
        existed = tree.DeleteValue(key, name);
        return existed;
    });
    if (!status.ok()) {
        NoteFailure(status);
        return kStoreError;
    }
    return existed ? 0 : kMissing;
}

int Registry::DeleteKey(std::string_view key) {
    platform::Status status =
        store_->Update([&](platform::StoreTree& tree) { return tree.DeleteKey(key); });
    if (!status.ok()) {
        NoteFailure(status);
        return kStoreError;
    }
    return 0;
}

bool Registry::KeyExists(std::string_view key) const {
    bool exists = false;
    platform::Status status =
        store_->Read([&](const platform::StoreTree& tree) { exists = tree.KeyExists(key); });
    if (!status.ok()) {
        NoteFailure(status);
    }
    return exists;
}

}  // namespace kvzn::companion
