// Whole-store validation for "check" and "import".
#include "cfgutil/store_check.h"

#include <strings.h>

#include <cerrno>
#include <charconv>
#include <map>
#include <optional>
#include <set>

#include "cfgutil/settings_fields.h"
#include "cfgutil/store_edit.h"
#include "config/registry_names.h"
#include "platform/text.h"

namespace kvzn::cfgutil {

namespace {

using platform::StoreTree;
using platform::StoreValue;
namespace value = config::value;
namespace check = config::check;
namespace contacts = config::contacts;

constexpr const char* kRootPrefix = "HKEY_LOCAL_MACHINE\\";

// A line of a store file without its blanks and the CR of a CR LF line end.
std::string_view TrimLine(std::string_view s) {
    if (!s.empty() && s.back() == '\r') {
        s.remove_suffix(1);
    }
    return platform::TrimBlanks(s);
}

std::optional<uint32_t> NumberOf(const StoreTree& tree, std::string_view key,
                                 std::string_view name) {
    const StoreValue* v = tree.Find(key, name);
    if (v == nullptr || v->type != StoreValue::Type::Number) {
        return std::nullopt;
    }
    return v->number;
}

std::optional<std::string> TextOf(const StoreTree& tree, std::string_view key,
                                  std::string_view name) {
    const StoreValue* v = tree.Find(key, name);
    if (v == nullptr || v->type != StoreValue::Type::Text) {
        return std::nullopt;
    }
    return v->text;
}

class Checker {
  public:
    explicit Checker(const StoreTree& tree) : tree_(tree) {}

    std::vector<StoreProblem> Run() {
        RequiredSettings();
        PageFields();
        MessageOverride();
        NumberedList(config::subkey::kPrinters, &Checker::PrinterEntry);
        NumberedList(config::subkey::kCustomServices, &Checker::SubkeyEntry);
        NumberedList(config::subkey::kCustomPerformance, &Checker::SubkeyEntry);
        NumberedList(config::subkey::kLogs, &Checker::LogEntry);
        NumberedList(config::subkey::kDiskSpace, &Checker::SubkeyEntry);
        Contacts();
        BuiltInChecks(config::subkey::kPrint);
        BuiltInChecks(config::subkey::kPerformance);
        for (const ListRule& list : SheetLists()) {
            if (platform::EqualsNoCase(list.subkey, config::subkey::kAlertEngine)) {
                ValueList(list, config::SubKey(list.subkey));
            }
        }
        WebAccess();
        return std::move(problems_);
    }

  private:
    // One problem per value: the first found is the one reported.
    void Add(std::string key, std::string name, std::string message) {
        if (!reported_.emplace(key + '\n' + name).second) {
            return;
        }
        problems_.push_back({std::move(key), std::move(name), std::move(message)});
    }

    void RequiredSettings() {
        for (const char* name : {value::kHome, value::kDataDirectory, value::kHTMLTargetDirectory,
                                 value::kImagesDirectory}) {
            const auto text = TextOf(tree_, config::kProductKey, name);
            if (!text || text->empty()) {
                Add(config::kProductKey, name,
                    "is not defined: the service cannot be started without it");
            }
        }
    }

    void PageFields() {
        for (const PageRule& page : SheetPages()) {
            for (const FieldRule& field : page.fields) {
                Field(field);
            }
        }
        for (const FieldRule& field : DialogFields()) {
            Field(field);
        }
    }

    void Field(const FieldRule& field) {
        const std::string key = FieldKeyPath(field);
        if (const StoreValue* v = tree_.Find(key, field.name)) {
            if (std::string m = CheckStoredValue(field, *v); !m.empty()) {
                Add(key, field.name, m);
            }
        }
    }

    void MessageOverride() {
        const ListRule& dialog = MessageSettingsDialog();
        const std::string key = config::SubKey(dialog.subkey);
        const std::string title = TextOf(tree_, key, contacts::kTitleText).value_or("");
        const std::string message = CheckEntryFields(
            dialog, [&](const char* name) { return TextOf(tree_, key, name).value_or(""); });
        if (!message.empty()) {
            Add(key, title.empty() ? contacts::kTitleText : contacts::kMessageText, message);
        }
    }

    // Walks "<list>\<prefix>N" like the service: entries after the first missing one are
    // reported as never read.
    void NumberedList(const char* subkey,
                      void (Checker::*entry)(const std::string&, const ListRule&)) {
        const ListRule& rule = *FindList(subkey);
        const char* prefix = rule.prefix;
        const char* identity = rule.identity;
        const std::string listKey = config::SubKey(subkey);
        if (!tree_.KeyExists(listKey)) {
            return;
        }
        std::map<unsigned, std::string> present;
        const size_t prefixLength = std::string_view(prefix).size();
        for (const std::string& sub : tree_.SubKeyNames(listKey)) {
            if (sub.size() <= prefixLength || ::strncasecmp(sub.c_str(), prefix, prefixLength)) {
                continue;
            }
            unsigned n = 0;
            const char* digits = sub.c_str() + prefixLength;
            const char* end = sub.c_str() + sub.size();
            const auto [stop, ec] = std::from_chars(digits, end, n);
            if (ec != std::errc() || stop != end || *digits == '0') {
                continue;
            }
            present.emplace(n, listKey + "\\" + sub);
        }
        unsigned expected = 1;
        unsigned missing = 0;  // the first entry the walk does not find
        for (const auto& [n, key] : present) {
            const bool identified = tree_.Find(key, identity) != nullptr;
            if (missing == 0 && n == expected && identified) {
                (this->*entry)(key, rule);
                ++expected;
            } else if (missing == 0 && n == expected) {
                missing = n;
                Add(key, identity,
                    "is missing: the list ends here and the entries after it are never read");
            } else {
                if (missing == 0) {
                    missing = expected;
                }
                Add(key, "",
                    "is never read: entry " + std::to_string(missing) + " before it is missing");
            }
        }
    }

    // The text of a stored value as a dialog field holds it; empty when missing.
    std::string FieldTextOf(const std::string& key, const char* name) const {
        const StoreValue* v = tree_.Find(key, name);
        return v == nullptr                          ? std::string()
               : v->type == StoreValue::Type::Number ? std::to_string(v->number)
               : v->type == StoreValue::Type::Text   ? v->text
                                                     : std::string();
    }

    // An entry kept in its own key, checked as its dialog checks it: each value against its
    // field's rule, then (for a list entry) the entry as a whole. The key path names the
    // entry. `unjudged` names a field whose value is not judged.
    void KeyEntry(const std::string& key, const std::vector<FieldRule>& fields,
                  const ListRule* list, const char* unjudged = nullptr) {
        // A disabled check never counts failures; its count is judged when it is enabled.
        const bool enabled = NumberOf(tree_, key, check::kEnabled).value_or(0) == 1;
        for (const FieldRule& field : fields) {
            const StoreValue* v = tree_.Find(key, field.name);
            if (v == nullptr ||
                (unjudged != nullptr && platform::EqualsNoCase(field.name, unjudged)) ||
                (!enabled && platform::EqualsNoCase(field.name, check::kCountBeforeAction))) {
                continue;
            }
            std::string m = CheckStoredValue(field, *v);
            if (!m.empty() && platform::EqualsNoCase(field.name, check::kActionToTake) &&
                v->type == StoreValue::Type::Number) {
                m = "response code " + std::to_string(v->number) + ": " + m;
            }
            if (!m.empty()) {
                Add(key, field.name, m);
            }
        }
        if (list != nullptr) {
            std::string about;
            const std::string m = CheckEntryFields(
                *list, [&](const char* name) { return FieldTextOf(key, name); }, &about);
            if (!m.empty()) {
                Add(key, about, m);
            }
        }
        OtherValueTypes(key);
    }

    // The values every check may hold, also where its dialog has no field for them.
    void OtherValueTypes(const std::string& key) {
        for (const char* name :
             {check::kEnabled, check::kAlertLevel, check::kActionToTake, check::kCountBeforeAction,
              check::kNonNotificationPeriod, check::kThreshold}) {
            if (const StoreValue* v = tree_.Find(key, name);
                v != nullptr && v->type != StoreValue::Type::Number) {
                Add(key, name, "is not a number (dword:); the service ignores it");
            }
        }
        for (const char* name : {check::kCommand, check::kName, check::kDisplayName}) {
            if (const StoreValue* v = tree_.Find(key, name);
                v != nullptr && v->type != StoreValue::Type::Text) {
                Add(key, name, "is not a text; the service ignores it");
            }
        }
    }

    void SubkeyEntry(const std::string& key, const ListRule& list) {
        KeyEntry(key, list.fields, &list);
    }

    // A printer, and each of its checks in a subkey with the fields of its kind.
    void PrinterEntry(const std::string& key, const ListRule& list) {
        KeyEntry(key, list.fields, &list);
        for (const std::string& sub : tree_.SubKeyNames(key)) {
            const EntryGroup* group = nullptr;
            for (const EntryGroup& g : list.groups) {
                if (platform::EqualsNoCase(g.name, sub)) {
                    group = &g;
                }
            }
            if (group != nullptr) {
                KeyEntry(key + "\\" + sub, group->fields, nullptr);
            } else {
                OtherValueTypes(key + "\\" + sub);
            }
        }
    }

    // A log entry and its keyword groups. The log monitors also read types the dialog does
    // not list, so the type is not judged here.
    void LogEntry(const std::string& key, const ListRule& list) {
        KeyEntry(key, list.fields, nullptr, config::list::kLogType);
        // The entry's own rule is about the file it watches.
        const std::string m =
            CheckEntryFields(list, [&](const char* name) { return FieldTextOf(key, name); });
        if (!m.empty()) {
            Add(key, "File", m);
        }
        for (const ListRule& groups : list.sublists) {
            ValueList(groups, key);
        }
    }

    // A list kept in numbered values of `key`, checked as its dialog checks it: each value
    // against its field's rule, then the entry as a whole. The problem names the entry.
    void ValueList(const ListRule& list, const std::string& key) {
        ListShape shape{key, "", list.identity, {}};
        for (const FieldRule& field : list.fields) {
            shape.valueFormats.emplace_back(field.name);
        }
        const std::vector<ListEntry> entries = ReadListEntries(tree_, shape);
        for (size_t i = 0; i < entries.size(); ++i) {
            const int n = static_cast<int>(i + 1);
            const std::string which =
                " (" + std::string(list.title) + ", entry " + std::to_string(n) + ")";
            for (const FieldRule& field : list.fields) {
                const auto it = entries[i].find(field.name);
                if (it == entries[i].end()) {
                    continue;
                }
                if (std::string m = CheckStoredValue(field, it->second); !m.empty()) {
                    Add(key, config::Numbered(field.name, n), m + which);
                }
            }
            std::string about;
            const std::string m = CheckEntryFields(
                list, [&](const char* name) { return EntryValueText(entries[i], name); }, &about);
            if (!m.empty()) {
                Add(key, config::Numbered(about, n), m + which);
            }
        }
        // Entries after the first missing one are never read.
        for (const std::string& name : tree_.ValueNames(key)) {
            if (const auto n = NumberInName(list.identity, name); n && *n > entries.size() + 1) {
                Add(key, name,
                    "is never read: entry " + std::to_string(entries.size() + 1) + " of " +
                        list.title + " before it is missing");
            }
        }
    }

    // Recipients: the rules of their dialog; besides, one without its level is never sent
    // anything.
    void Contacts() {
        for (const ListRule& list : SheetLists()) {
            if (!list.inValues || !platform::EqualsNoCase(list.subkey, config::subkey::kContacts)) {
                continue;
            }
            const std::string key = config::SubKey(list.subkey);
            const char* level = list.fields.at(1).name;  // the level mask follows the address
            for (int n = 1; tree_.Find(key, config::Numbered(list.identity, n)) != nullptr; ++n) {
                if (tree_.Find(key, config::Numbered(level, n)) == nullptr) {
                    Add(key, config::Numbered(level, n),
                        "Please select at least one Alert Level... (" + std::string(list.title) +
                            ", entry " + std::to_string(n) + ")");
                }
            }
            ValueList(list, key);
        }
    }

    // The built-in checks: one subkey of the list key per check, named by its title.
    void BuiltInChecks(const char* list) {
        const std::string listKey = config::SubKey(list);
        const ListRule& rule = *FindList(list);
        for (const std::string& sub : tree_.SubKeyNames(listKey)) {
            KeyEntry(listKey + "\\" + sub, rule.fields, &rule);
        }
    }

    // Client addresses the web server admits; an entry that is no address admits nobody.
    void WebAccess() {
        const std::string key = config::SubKey(config::subkey::kWebAccess);
        for (int n = 1;; ++n) {
            const std::string name = config::Numbered(config::list::kWebAccessAddress, n);
            const StoreValue* v = tree_.Find(key, name);
            if (v == nullptr) {
                return;
            }
            if (v->type != StoreValue::Type::Text) {
                Add(key, name, "is not a text; the web server ignores it");
            } else if (std::string m = CheckAddressText(v->text); !m.empty()) {
                Add(key, name, m);
            }
        }
    }

    const StoreTree& tree_;
    std::vector<StoreProblem> problems_;
    std::set<std::string, platform::CaseInsensitiveLess> reported_;  // "key\nname"
};

}  // namespace

std::vector<StoreProblem> CheckStore(const StoreTree& tree) {
    return Checker(tree).Run();
}

std::string DescribeProblem(const StoreProblem& problem) {
    std::string text = problem.keyPath;
    if (!problem.name.empty()) {
        text += "\\" + problem.name;
    }
    return text + ": " + problem.message;
}

size_t LineOfValue(std::string_view text, std::string_view keyPath, std::string_view name) {
    const std::string header = std::string("[") + kRootPrefix + std::string(keyPath) + "]";
    const std::string quoted = "\"" + std::string(name) + "\"=";
    bool inKey = false;
    size_t number = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        ++number;
        const std::string_view line = TrimLine(text.substr(pos, end - pos));
        pos = end + 1;
        if (!line.empty() && line.front() == '[') {
            inKey = platform::EqualsNoCase(line, header);
            if (inKey && name.empty()) {
                return number;
            }
        } else if (inKey && !name.empty() && line.size() >= quoted.size() &&
                   platform::EqualsNoCase(line.substr(0, quoted.size()), quoted)) {
            return number;
        }
    }
    return 0;
}

platform::Status ParseImport(std::string_view text, std::string_view fileName, StoreTree& out) {
    StoreTree parsed;
    if (platform::Status status = StoreTree::Parse(text, fileName, parsed); !status.ok()) {
        return status;
    }
    const std::vector<StoreProblem> problems = CheckStore(parsed);
    if (!problems.empty()) {
        const StoreProblem& first = problems.front();
        size_t line = LineOfValue(text, first.keyPath, first.name);
        if (line == 0) {
            line = LineOfValue(text, first.keyPath, "");
        }
        std::string where(fileName);
        if (line != 0) {
            where += ":" + std::to_string(line);
        }
        return platform::Status::Error(EINVAL, where + ": " + DescribeProblem(first));
    }
    out = std::move(parsed);
    return platform::Status::Ok();
}

bool IsServiceWrittenValue(std::string_view keyPath, std::string_view name) {
    if (!platform::EqualsNoCase(keyPath, config::kProductKey)) {
        return false;
    }
    for (const char* written : {value::kRunBefore, value::kStoredMsgNo, value::kLastRebootedFor}) {
        if (platform::EqualsNoCase(name, written)) {
            return true;
        }
    }
    return false;
}

}  // namespace kvzn::cfgutil
