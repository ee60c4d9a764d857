// The settings the configuration utility edits: pages, fields and the rules each field
// enforces, with the messages shown to the user.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/config_store.h"

namespace kvzn::cfgutil {

enum class FieldKind {
    Flag,    // 0 or 1, stored as a number
    Number,  // 32-bit unsigned number
    Choice,  // a number picked from a short list
    Text,    // text up to maxLength characters
    Secret,  // scrambled text (passwords, database user)
};

struct FieldChoice {
    uint32_t value;
    const char* text;
};

// One editable value. `subkey` is empty for a value of the product key itself.
struct FieldRule {
    const char* subkey = "";
    const char* name = "";
    FieldKind kind = FieldKind::Number;
    const char* label = "";
    uint32_t min = 0;
    uint32_t max = UINT32_MAX;
    const char* rangeMessage = nullptr;  // shown when a number is outside min..max
    size_t maxLength = 255;
    std::vector<FieldChoice> choices;
    uint32_t defaultNumber = 0;        // shown when the store has no value
    bool storedZeroIsDefault = false;  // a stored 0 means the default (readers take it so)
    const char* defaultText = "";
    // Texts: a further rule, giving the message for a refused text (empty when accepted).
    std::string (*checkText)(std::string_view text) = nullptr;
};

struct PageRule {
    const char* title;
    std::vector<FieldRule> fields;
};

// The pages of the property sheet in their order, each with its fields.
const std::vector<PageRule>& SheetPages();

// A subkey of every entry of a list with values of its own (the checks of a printer). In a
// list entry its values are named "<group>\<value>".
struct EntryGroup {
    const char* name;
    std::vector<FieldRule> fields;
};

// A numbered list edited on a page: entries "<list>\<prefix>N" for N = 1, 2, ... (or, for a
// list kept in values, the values "<field name format with N>" of the list key), read up to
// the first entry without its identifying value and written back as a whole.
struct ListRule {
    const char* page;                     // title of the page that edits it
    const char* title;                    // what the entries are
    const char* subkey;                   // the list key below the product key
    const char* prefix;                   // subkey lists: entry subkey name before its number
    const char* identity;                 // the value every entry has (a format for value lists)
    std::vector<FieldRule> fields;        // the entry's values (names are formats for value lists)
    bool inValues = false;                // entries are numbered values of the list key
    const char* dialogTitle = nullptr;    // title of the entry dialog; none: "<page>: <entry>"
    std::vector<EntryGroup> groups = {};  // subkeys of each entry, each edited on its own
    std::vector<ListRule> sublists = {};  // value lists kept in each entry's own key
    // Fixed entries: the subkeys of the list key with these names, always there; none is
    // added or deleted and each value is written on its own, not the list as a whole.
    std::vector<std::string> fixed = {};
    // Rules across the fields of one entry; empty when the entry is acceptable.
    std::string (*checkEntry)(const std::function<std::string(const char*)>& valueOf) = nullptr;
};
const std::vector<ListRule>& SheetLists();
// Rules across the fields of one entry (time windows and the list's own rule); empty when
// the entry is acceptable.
// `valueOf` gives an entry value's text by field name, empty when missing. `field` (when
// given) receives the name of the field the refusal is about: the window value, or the
// entry's first field for the list's own rule.
std::string CheckEntryFields(const ListRule& list,
                             const std::function<std::string(const char*)>& valueOf,
                             std::string* field = nullptr);
// The list kept under `subkey` (compared without regard to case), or null.
const ListRule* FindList(std::string_view subkey);
// The rule of `name` among `fields`, or null.
const FieldRule* FindRule(const std::vector<FieldRule>& fields, std::string_view name);

// A web access address: one or more leading parts of IPv4 addresses ("192.168.1.20",
// "10.1."), separated by blanks or commas. The message when refused, else empty.
std::string CheckAddressText(std::string_view text);

// Values edited in dialogs of their own rather than on a page: the web logon password (the
// first), and the fields of MessageSettingsDialog().
const std::vector<FieldRule>& DialogFields();
// The e-mail and network message settings: the network message server and the text that
// replaces the standard alert message (title and text, both or neither). An entry dialog
// of its own, reached from the Alerting page; its fields are values of "Contacts".
const ListRule& MessageSettingsDialog();

// The key path of a field ("Software\...\CurrentVersion" or a subkey of it).
std::string FieldKeyPath(const FieldRule& field);
// The field (of a page or a dialog) stored under keyPath\name (names compare without regard
// to case), or null.
const FieldRule* FindField(std::string_view keyPath, std::string_view name);

// Turns the text a user typed into the value to store. Returns the message to show when the
// text is refused (empty when accepted).
std::string ParseFieldText(const FieldRule& field, std::string_view text,
                           platform::StoreValue& out);
// What is shown after a field: "(1 = yes, 0 = no)" or the choices; for a long list of
// choices the name of the one `text` holds and how to list them. Empty for other fields.
std::string FieldHint(const FieldRule& field, std::string_view text = {});
// Choice lists longer than this are picked from a list (F1) rather than shown in the hint.
inline constexpr size_t kChoicesInHint = 4;
// The text shown for a stored value (or for the field's default when `value` is null).
std::string FieldText(const FieldRule& field, const platform::StoreValue* value);
// Checks a stored value against the field's type and rules; empty when it is acceptable.
std::string CheckStoredValue(const FieldRule& field, const platform::StoreValue& value);

}  // namespace kvzn::cfgutil
