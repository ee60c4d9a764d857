// Changes made against a snapshot of the store, written back without overwriting what
// another writer stored meanwhile.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/config_store.h"

namespace kvzn::cfgutil {

// The values of one numbered list entry.
using ListEntry = std::map<std::string, platform::StoreValue, platform::CaseInsensitiveLess>;

// The text of an entry value as a dialog shows it (numbers in decimal); empty when missing
// or binary.
std::string EntryValueText(const ListEntry& entry, const std::string& name);

// The number N when `name` is `format` ("KeywordInclude%d") with N put in, compared
// without regard to case; none otherwise.
std::optional<unsigned> NumberInName(std::string_view format, std::string_view name);

// Where a numbered list lives: the subkeys "<key>\<prefix>N" of its key, or, when
// `valueFormats` is given, the values "<format with N>" of the key itself.
struct ListShape {
    std::string key;
    std::string prefix;                     // subkey lists: the entry subkey name before its number
    std::string identity;                   // the value (a format for value lists) every entry has
    std::vector<std::string> valueFormats;  // value lists: the formats of an entry's values
    // Names the list in conflicts: its key, and for value lists the identity format.
    std::string Name() const { return valueFormats.empty() ? key : key + "\\" + identity; }
};

// The entries of a list for N = 1, 2, ..., up to the first one without its identifying value
// (as the service reads them). Entries of value lists are keyed by format; entries of subkey
// lists also hold the values of the entry's own subkeys, named "<subkey>\<value>", so that a
// rewritten list keeps them.
std::vector<ListEntry> ReadListEntries(const platform::StoreTree& tree, const ListShape& shape);

class StoreEdit {
  public:
    StoreEdit() = default;
    explicit StoreEdit(platform::StoreTree base) : base_(std::move(base)) {}

    // The snapshot the changes were made against.
    const platform::StoreTree& Base() const { return base_; }
    // The value as the user sees it: the pending change, else the snapshot's value.
    const platform::StoreValue* Find(std::string_view keyPath, std::string_view name) const;
    void Set(std::string keyPath, std::string name, platform::StoreValue value);
    void Delete(std::string keyPath, std::string name);
    // The entries of a list as the user sees them, and their replacement: on commit the list
    // key is deleted and entries 1..n are written, unless another writer changed the list
    // meanwhile.
    std::vector<ListEntry> Entries(const ListShape& shape) const;
    void ReplaceList(const ListShape& shape, std::vector<ListEntry> entries);
    bool Empty() const { return changes_.empty() && lists_.empty(); }
    // The snapshot with the pending changes made: the settings as the user sees them.
    platform::StoreTree Preview() const;
    void Clear() {
        changes_.clear();
        lists_.clear();
    }

    struct Outcome {
        enum class Kind { Written, Conflict, Failed };
        Kind kind = Kind::Written;
        platform::Status status;             // Failed: why
        std::vector<std::string> conflicts;  // Conflict: "key\name" changed by another writer
    };
    // Writes every change in one store transaction. A changed value must still hold what the
    // snapshot held (or already the new value); when another writer changed it meanwhile,
    // nothing is written and the outcome lists it. Values this edit did not change keep what
    // the store holds now. After Written the snapshot is the store as written.
    Outcome Commit(platform::ConfigStore& store);
    // Takes a fresh snapshot and drops the changes.
    platform::Status Reload(platform::ConfigStore& store);

  private:
    using Id = std::pair<std::string, std::string>;
    struct IdLess {
        bool operator()(const Id& a, const Id& b) const;
    };
    struct ListChange {
        ListShape shape;
        std::vector<ListEntry> entries;
    };
    platform::StoreTree base_;
    std::map<Id, std::optional<platform::StoreValue>, IdLess> changes_;
    std::map<std::string, ListChange, platform::CaseInsensitiveLess> lists_;
};

}  // namespace kvzn::cfgutil
