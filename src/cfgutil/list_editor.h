// The dialogs every list of the sheet shares: the list of entries with add, edit and
// delete, and the dialog of one entry with its fields, its check subkeys and its own lists.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "cfgutil/settings_fields.h"
#include "cfgutil/store_edit.h"
#include "platform/screen.h"

namespace kvzn::cfgutil {

// How long a dialog waits for a key before it is drawn again.
inline constexpr std::chrono::seconds kListRefresh{20};

// The entries of a value list kept inside one entry ("KeywordInclude1", ...), read up to the
// first missing identity value, each keyed by format; and their replacement, 1..n.
std::vector<ListEntry> EntryValueList(const ListRule& sublist, const ListEntry& entry);
void SetEntryValueList(const ListRule& sublist, ListEntry& entry,
                       const std::vector<ListEntry>& items);

// The display name of entry `index` (from 0) of a list: "Printer3", "Entry2" or the fixed name.
std::string EntryName(const ListRule& list, size_t index);

// Lets the user pick one of the choices of `field` from a list, starting on the one `text`
// holds; `text` receives its number. False when the field has no choices or none was picked.
bool PickChoice(platform::Screen& screen, const FieldRule& field, std::string& text);

// @threadsafety One thread (the user-interface thread).
class ListEditor {
  public:
    // `title` is the sheet's title, shown above every dialog.
    ListEditor(platform::Screen& screen, std::string title)
        : screen_(screen), title_(std::move(title)) {}

    // Names offered for the identifying value of a new entry (the spooler's queues when a
    // printer is added); the user may still type another. None: nothing is offered.
    void OfferNames(std::function<std::vector<std::string>()> names) { names_ = std::move(names); }

    // Lets the user add, edit and delete entries until the list is closed; deleting asks
    // first. The entries of a fixed list are only edited.
    void EditList(const ListRule& list, std::vector<ListEntry>& entries);
    // The dialog of one entry: each field refuses what its rule refuses, with its message,
    // and the entry as a whole is checked on OK. F11 opens the entry's check subkeys and
    // lists. False when cancelled; `entry` is then unchanged. An empty `name` titles the
    // dialog by the list alone.
    bool EditEntry(const ListRule& list, ListEntry& entry, const std::string& name);

  private:
    // Edits `fields` of `values` (names prefixed with `prefix`); `list` (when given) adds
    // its entry rules and its parts behind F11. False when cancelled.
    bool EditForm(const std::string& caption, const std::vector<FieldRule>& fields,
                  const std::string& prefix, const ListRule* list, ListEntry& values);
    void EditParts(const ListRule& list, ListEntry& entry, const std::string& name);

    platform::Screen& screen_;
    std::string title_;
    std::function<std::vector<std::string>()> names_;
};

}  // namespace kvzn::cfgutil
