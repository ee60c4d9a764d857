// Compare-and-write of the utility's pending changes.
#include "cfgutil/store_edit.h"

#include <strings.h>

#include <charconv>
#include <limits>

#include "config/registry_names.h"
#include "platform/text.h"

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

std::string ValueName(const std::string& format, size_t n) {
    return config::Numbered(format, static_cast<int>(n));
}

// The values of `key` and of its subkeys, the latter named "<subkey>\<value>".
void CollectValues(const platform::StoreTree& tree, const std::string& key,
                   const std::string& prefix, ListEntry& entry) {
    for (const std::string& name : tree.ValueNames(key)) {
        entry.emplace(prefix + name, *tree.Find(key, name));
    }
    for (const std::string& sub : tree.SubKeyNames(key)) {
        CollectValues(tree, key + "\\" + sub, prefix + sub + "\\", entry);
    }
}

// Deletes the entries the service reads now and writes `entries` as 1..n.
void WriteList(platform::StoreTree& tree, const ListShape& shape,
               const std::vector<ListEntry>& entries) {
    if (shape.valueFormats.empty()) {
        tree.DeleteKey(shape.key);
        tree.CreateKey(shape.key);
        for (size_t i = 0; i < entries.size(); ++i) {
            const std::string key = EntryKey(shape.key, shape.prefix, i + 1);
            tree.CreateKey(key);
            for (const auto& [name, value] : entries[i]) {
                const size_t cut = name.rfind('\\');
                if (cut == std::string::npos) {
                    tree.Set(key, name, value);
                } else {
                    tree.Set(key + "\\" + name.substr(0, cut), name.substr(cut + 1), value);
                }
            }
        }
        return;
    }
    const size_t existing = ReadListEntries(tree, shape).size();
    for (size_t n = 1; n <= existing; ++n) {
        for (const std::string& format : shape.valueFormats) {
            tree.DeleteValue(shape.key, ValueName(format, n));
        }
    }
    tree.CreateKey(shape.key);
    for (size_t i = 0; i < entries.size(); ++i) {
        for (const auto& [format, value] : entries[i]) {
            tree.Set(shape.key, ValueName(format, i + 1), value);
        }
    }
}

}  // namespace

std::optional<unsigned> NumberInName(std::string_view format, std::string_view name) {
    const size_t mark = format.find("%d");
    if (mark == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view before = format.substr(0, mark);
    const std::string_view after = format.substr(mark + 2);
    if (name.size() <= before.size() + after.size() ||
        !platform::EqualsNoCase(name.substr(0, before.size()), before) ||
        !platform::EqualsNoCase(name.substr(name.size() - after.size()), after)) {
        return std::nullopt;
    }
    const std::string_view digits =
        name.substr(before.size(), name.size() - before.size() - after.size());
    unsigned n = 0;
    const auto [stop, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
    if (stop != digits.data() + digits.size()) {
        return std::nullopt;
    }
    // A number too large to hold is still a number, just past every entry.
    return ec == std::errc() ? n : std::numeric_limits<unsigned>::max();
}

std::string EntryValueText(const ListEntry& entry, const std::string& name) {
    const auto it = entry.find(name);
    if (it == entry.end()) {
        return {};
    }
    switch (it->second.type) {
        case platform::StoreValue::Type::Text:
            return it->second.text;
        case platform::StoreValue::Type::Number:
            return std::to_string(it->second.number);
        default:
            return {};
    }
}

std::vector<ListEntry> ReadListEntries(const platform::StoreTree& tree, const ListShape& shape) {
    std::vector<ListEntry> entries;
    for (size_t n = 1;; ++n) {
        ListEntry entry;
        if (shape.valueFormats.empty()) {
            const std::string key = EntryKey(shape.key, shape.prefix, n);
            if (tree.Find(key, shape.identity) == nullptr) {
                return entries;
            }
            CollectValues(tree, key, "", entry);
        } else {
            if (tree.Find(shape.key, ValueName(shape.identity, n)) == nullptr) {
                return entries;
            }
            for (const std::string& format : shape.valueFormats) {
                if (const platform::StoreValue* v = tree.Find(shape.key, ValueName(format, n))) {
                    entry.emplace(format, *v);
                }
            }
        }
        entries.push_back(std::move(entry));
    }
}

std::vector<ListEntry> StoreEdit::Entries(const ListShape& shape) const {
    if (auto it = lists_.find(shape.Name()); it != lists_.end()) {
        return it->second.entries;
    }
    return ReadListEntries(base_, shape);
}

void StoreEdit::ReplaceList(const ListShape& shape, std::vector<ListEntry> entries) {
    if (entries == ReadListEntries(base_, shape)) {
        lists_.erase(shape.Name());
        return;
    }
    lists_[shape.Name()] = {shape, std::move(entries)};
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

platform::StoreTree StoreEdit::Preview() const {
    platform::StoreTree tree = base_;
    for (const auto& [name, list] : lists_) {
        WriteList(tree, list.shape, list.entries);
    }
    for (const auto& [id, wanted] : changes_) {
        if (wanted) {
            tree.Set(id.first, id.second, *wanted);
        } else {
            tree.DeleteValue(id.first, id.second);
        }
    }
    return tree;
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
        for (const auto& [name, list] : lists_) {
            if (ReadListEntries(current, list.shape) != ReadListEntries(base_, list.shape)) {
                outcome.conflicts.push_back(name);
            }
        }
        if (!outcome.conflicts.empty()) {
            return false;
        }
        for (const auto& [name, list] : lists_) {
            WriteList(current, list.shape, list.entries);
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
