// Configuration store held in memory, for tests and for tools that build a tree first.
#include <mutex>

#include "platform/config_store.h"

namespace kvzn::platform {

namespace {

// Readers get the committed tree as an immutable snapshot, so a reader may run while an
// update is in progress and may itself call back into the store.
class MemoryStore final : public ConfigStore {
  public:
    Status Read(const std::function<void(const StoreTree&)>& reader) override {
        std::shared_ptr<const StoreTree> snapshot;
        {
            std::scoped_lock lock(mutex_);
            snapshot = tree_;
        }
        reader(*snapshot);
        return Status::Ok();
    }

    Status Update(const std::function<bool(StoreTree&)>& writer) override {
        std::scoped_lock updating(updateMutex_);
        std::shared_ptr<const StoreTree> current;
        {
            std::scoped_lock lock(mutex_);
            current = tree_;
        }
        auto draft = std::make_shared<StoreTree>(*current);
        if (!writer(*draft)) {
            return Status::Ok();
        }
        std::scoped_lock lock(mutex_);
        tree_ = std::move(draft);
        return Status::Ok();
    }

    std::string Location() const override { return "(memory)"; }

  private:
    std::mutex updateMutex_;  // one read-modify-write at a time
    std::mutex mutex_;        // guards tree_
    std::shared_ptr<const StoreTree> tree_ = std::make_shared<StoreTree>();
};

}  // namespace

std::shared_ptr<ConfigStore> MakeMemoryStore() {
    return std::make_shared<MemoryStore>();
}

}  // namespace kvzn::platform
