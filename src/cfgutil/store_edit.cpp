// Compare-and-write of the utility's pending changes.
#include "cfgutil/store_edit.h"

#include <strings.h>

namespace kvzn::cfgutil {

namespace {

bool SameValue(const platform::StoreValue* a, const platform::StoreValue* b) {
    if (a == nullptr || b == nullptr) {
        return a == b;
    }
    return *a == *b;
}

std::string EntryKey(std::string_view listKey, std::string_view prefix, size_t n) {
    return std::string(listKey) + "\\" + std::string(prefix) + std::to_string(n);
}

}  // namespace

std::vector<ListEntry> ReadListEntries(const platform::StoreTree& tree, std::string_view listKey,
                                       std::string_view prefix, std::string_view identity) {
    std::vector<ListEntry> entries;
    for (size_t n = 1;; ++n) {
        const std::string key = EntryKey(listKey, prefix, n);
        if (tree.Find(key, identity) == nullptr) {
            return entries;
        }
        ListEntry entry;
        for (const std::string& name : tree.ValueNames(key)) {
            entry.emplace(name, *tree.Find(key, name));
        }
        entries.push_back(std::move(entry));
    }
}

std::vector<ListEntry> StoreEdit::Entries(const std::string& listKey, std::string_view prefix,
                                          std::string_view identity) const {
    if (auto it = lists_.find(listKey); it != lists_.end()) {
        return it->second.entries;
    }
    return ReadListEntries(base_, listKey, prefix, identity);
}

void StoreEdit::ReplaceList(const std::string& listKey, std::string prefix, std::string identity,
                            std::vector<ListEntry> entries) {
    if (entries == ReadListEntries(base_, listKey, prefix, identity)) {
        lists_.erase(listKey);
        return;
    }
    lists_[listKey] = {std::move(prefix), std::move(identity), std::move(entries)};
}

bool StoreEdit::IdLess::operator()(const Id& a, const Id& b) const {
    const platform::CaseInsensitiveLess less;
    if (less(a.first, b.first)) {
        return true;
    }
    if (less(b.first, a.first)) {
        return false;
    }
    return less(a.second, b.second);
}

const platform::StoreValue* StoreEdit::Find(std::string_view keyPath, std::string_view name) const {
    if (auto it = changes_.find(Id(keyPath, name)); it != changes_.end()) {
        return it->second ? &*it->second : nullptr;
    }
    return base_.Find(keyPath, name);
}

void StoreEdit::Set(std::string keyPath, std::string name, platform::StoreValue value) {
    Id id(std::move(keyPath), std::move(name));
    if (SameValue(base_.Find(id.first, id.second), &value)) {
        changes_.erase(id);
        return;
    }
    changes_[std::move(id)] = std::move(value);
}

void StoreEdit::Delete(std::string keyPath, std::string name) {
    Id id(std::move(keyPath), std::move(name));
    if (base_.Find(id.first, id.second) == nullptr) {
        changes_.erase(id);
        return;
    }
    changes_[std::move(id)] = std::nullopt;
}

StoreEdit::Outcome StoreEdit::Commit(platform::ConfigStore& store) {
    Outcome outcome;
    platform::StoreTree written;
    const platform::Status status = store.Update([&](platform::StoreTree& current) {
        outcome.conflicts.clear();
        for (const auto& [id, wanted] : changes_) {
            const platform::StoreValue* now = current.Find(id.first, id.second);
            const platform::StoreValue* before = base_.Find(id.first, id.second);
            if (!SameValue(now, before) && !SameValue(now, wanted ? &*wanted : nullptr)) {
                outcome.conflicts.push_back(id.first + "\\" + id.second);
            }
        }
        for (const auto& [listKey, list] : lists_) {
            if (ReadListEntries(current, listKey, list.prefix, list.identity) !=
                ReadListEntries(base_, listKey, list.prefix, list.identity)) {
                outcome.conflicts.push_back(listKey);
            }
        }
        if (!outcome.conflicts.empty()) {
            return false;
        }
        for (const auto& [listKey, list] : lists_) {
            current.DeleteKey(listKey);
            current.CreateKey(listKey);
            for (size_t i = 0; i < list.entries.size(); ++i) {
                const std::string key = EntryKey(listKey, list.prefix, i + 1);
                current.CreateKey(key);
                for (const auto& [name, value] : list.entries[i]) {
                    current.Set(key, name, value);
                }
            }
        }
        for (const auto& [id, wanted] : changes_) {
            if (wanted) {
                current.Set(id.first, id.second, *wanted);
            } else {
                current.DeleteValue(id.first, id.second);
            }
        }
        written = current;
        return true;
    });
    if (!status.ok()) {
        outcome.kind = Outcome::Kind::Failed;
        outcome.status = status;
        return outcome;
    }
    if (!outcome.conflicts.empty()) {
        outcome.kind = Outcome::Kind::Conflict;
        return outcome;
    }
    base_ = std::move(written);
    Clear();
    return outcome;
}

platform::Status StoreEdit::Reload(platform::ConfigStore& store) {
    platform::StoreTree fresh;
    const platform::Status status = store.Read([&](const platform::StoreTree& t) { fresh = t; });
    if (status.ok()) {
        base_ = std::move(fresh);
        Clear();
    }
    return status;
}

}  // namespace kvzn::cfgutil
