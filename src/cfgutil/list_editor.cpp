// The list and entry dialogs shared by every list of the sheet.
#include "cfgutil/list_editor.h"

#include "config/registry_names.h"
#include "platform/text.h"

namespace kvzn::cfgutil {

namespace {

using platform::SheetCommand;
using platform::StoreValue;

std::string ValueText(const ListEntry& values, const std::string& name) {
    return EntryValueText(values, name);
}

// "Name=text" of the first fields of an entry, for its line in the list.
std::string Summary(const ListRule& list, const ListEntry& entry, size_t index) {
    std::string line;
    for (size_t f = 0; f < list.fields.size() && f < 3; ++f) {
        const FieldRule& field = list.fields[f];
        const auto it = entry.find(field.name);
        const std::string name =
            list.inValues ? config::Numbered(field.name, static_cast<int>(index + 1)) : field.name;
        line += "  " + name + "=" + FieldText(field, it == entry.end() ? nullptr : &it->second);
    }
    size_t on = 0;
    for (const EntryGroup& group : list.groups) {
        if (ValueText(entry, std::string(group.name) + "\\" + config::check::kEnabled) == "1") {
            ++on;
        }
    }
    if (!list.groups.empty()) {
        line += "  (" + std::to_string(on) + " of " + std::to_string(list.groups.size()) +
                " checks enabled)";
    }
    return line;
}

}  // namespace

std::vector<ListEntry> EntryValueList(const ListRule& sublist, const ListEntry& entry) {
    std::vector<ListEntry> items;
    for (int n = 1; entry.count(config::Numbered(sublist.identity, n)) != 0; ++n) {
        ListEntry item;
        for (const FieldRule& field : sublist.fields) {
            if (auto it = entry.find(config::Numbered(field.name, n)); it != entry.end()) {
                item.emplace(field.name, it->second);
            }
        }
        items.push_back(std::move(item));
    }
    return items;
}

void SetEntryValueList(const ListRule& sublist, ListEntry& entry,
                       const std::vector<ListEntry>& items) {
    // Every numbered value of the list goes, those after a gap too, as when a whole list key
    // is rewritten.
    for (const FieldRule& field : sublist.fields) {
        std::erase_if(entry, [&](const auto& value) {
            return NumberInName(field.name, value.first).has_value();
        });
    }
    for (size_t i = 0; i < items.size(); ++i) {
        for (const auto& [format, value] : items[i]) {
            entry[config::Numbered(format, static_cast<int>(i + 1))] = value;
        }
    }
}

std::string EntryName(const ListRule& list, size_t index) {
    if (!list.fixed.empty()) {
        return index < list.fixed.size() ? list.fixed[index] : std::string();
    }
    return std::string(list.inValues ? "Entry" : list.prefix) + std::to_string(index + 1);
}

bool ListEditor::EditForm(const std::string& caption, const std::vector<FieldRule>& fields,
                          const std::string& prefix, const ListRule* list, ListEntry& values) {
    platform::SheetView view;
    view.title = title_;
    view.tabs = {caption};
    std::vector<std::string> texts;
    bool longChoices = false;
    for (const FieldRule& field : fields) {
        const auto it = values.find(prefix + field.name);
        texts.push_back(FieldText(field, it == values.end() ? nullptr : &it->second));
        view.fields.push_back({field.label, "", field.kind == FieldKind::Secret});
        longChoices = longChoices || field.choices.size() > kChoicesInHint;
    }
    const bool hasParts = list != nullptr && (!list->groups.empty() || !list->sublists.empty());
    view.buttons = "F10 OK  ";
    if (longChoices) {
        view.buttons += "F1 Choices...  ";
    }
    if (hasParts) {
        view.buttons += list->groups.empty() ? "F11 Lists...  " : "F11 Checks...  ";
    }
    view.buttons += "Esc Cancel";
    ListEntry edited = values;
    size_t focus = 0;
    for (;;) {
        for (size_t i = 0; i < fields.size(); ++i) {
            view.fields[i].hint = FieldHint(fields[i], texts[i]);
        }
        const SheetCommand command = screen_.EditSheet(view, texts, focus, kListRefresh);
        if (command == SheetCommand::Cancel) {
            return false;
        }
        if (command == SheetCommand::Choices) {
            if (focus < fields.size()) {
                PickChoice(screen_, fields[focus], texts[focus]);
            }
            continue;
        }
        if (command == SheetCommand::Entries && hasParts) {
            EditParts(*list, edited, caption);
            continue;
        }
        if (command != SheetCommand::Ok && command != SheetCommand::Apply) {
            continue;
        }
        ListEntry accepted = edited;
        bool refused = false;
        for (size_t i = 0; i < fields.size() && !refused; ++i) {
            StoreValue parsed;
            if (std::string message = ParseFieldText(fields[i], texts[i], parsed);
                !message.empty()) {
                screen_.Message(caption, message);
                focus = i;
                refused = true;
            } else {
                accepted[prefix + fields[i].name] = std::move(parsed);
            }
        }
        if (refused) {
            continue;
        }
        if (list != nullptr) {
            std::string about;
            const std::string message = CheckEntryFields(
                *list, [&](const char* name) { return ValueText(accepted, name); }, &about);
            if (!message.empty()) {
                screen_.Message(caption, message);
                for (size_t i = 0; i < fields.size(); ++i) {
                    if (about == fields[i].name) {
                        focus = i;
                    }
                }
                continue;
            }
        }
        values = std::move(accepted);
        return true;
    }
}

void ListEditor::EditParts(const ListRule& list, ListEntry& entry, const std::string& name) {
    std::vector<std::string> titles;
    for (const EntryGroup& group : list.groups) {
        const std::string enabled =
            ValueText(entry, std::string(group.name) + "\\" + config::check::kEnabled);
        titles.push_back(std::string(group.name) + (enabled == "1" ? "  (enabled)" : ""));
    }
    for (const ListRule& sublist : list.sublists) {
        titles.push_back(std::string(sublist.title) + "  (" +
                         std::to_string(EntryValueList(sublist, entry).size()) + ")");
    }
    size_t current = 0;
    for (;;) {
        const platform::ListChoice choice = screen_.ChooseEntry(name, titles, current);
        if (choice.action == platform::ListChoice::Action::Close) {
            return;
        }
        if (choice.action != platform::ListChoice::Action::Edit || !choice.selected) {
            screen_.Message(name, "Select a check or a list and press Enter to edit it ...");
            continue;
        }
        current = choice.index;
        if (current < list.groups.size()) {
            const EntryGroup& group = list.groups[current];
            if (EditForm(name + ": " + group.name, group.fields, std::string(group.name) + "\\",
                         nullptr, entry)) {
                const bool on = ValueText(entry, std::string(group.name) + "\\" +
                                                     config::check::kEnabled) == "1";
                titles[current] = std::string(group.name) + (on ? "  (enabled)" : "");
            }
            continue;
        }
        const ListRule& sublist = list.sublists[current - list.groups.size()];
        std::vector<ListEntry> items = EntryValueList(sublist, entry);
        EditList(sublist, items);
        SetEntryValueList(sublist, entry, items);
        titles[current] = std::string(sublist.title) + "  (" + std::to_string(items.size()) + ")";
    }
}

bool PickChoice(platform::Screen& screen, const FieldRule& field, std::string& text) {
    // The label without its " : ".
    std::string title(platform::TrimBlanks(field.label));
    while (!title.empty() && (title.back() == ':' || title.back() == ' ')) {
        title.pop_back();
    }
    if (field.kind != FieldKind::Choice) {
        screen.Message(title, "This field has no list of choices ...");
        return false;
    }
    std::vector<std::string> items;
    size_t current = 0;
    for (size_t i = 0; i < field.choices.size(); ++i) {
        const std::string number = std::to_string(field.choices[i].value);
        items.push_back(number + "  " + field.choices[i].text);
        if (number == platform::TrimBlanks(text)) {
            current = i;
        }
    }
    const platform::ListChoice choice = screen.ChooseEntry(title, items, current);
    if (choice.action != platform::ListChoice::Action::Edit || !choice.selected) {
        return false;
    }
    text = std::to_string(field.choices[choice.index].value);
    return true;
}

bool ListEditor::EditEntry(const ListRule& list, ListEntry& entry, const std::string& name) {
    const std::string what = list.dialogTitle != nullptr ? list.dialogTitle : list.page;
    const std::string caption = name.empty() ? what : what + ": " + name;
    return EditForm(caption, list.fields, "", &list, entry);
}

void ListEditor::EditList(const ListRule& list, std::vector<ListEntry>& entries) {
    const bool fixed = !list.fixed.empty();
    size_t current = 0;
    for (;;) {
        std::vector<std::string> items;
        for (size_t i = 0; i < entries.size(); ++i) {
            items.push_back(EntryName(list, i) + Summary(list, entries[i], i));
        }
        const platform::ListChoice choice =
            screen_.ChooseEntry(std::string(list.title), items, current);
        switch (choice.action) {
            case platform::ListChoice::Action::Close:
                return;
            case platform::ListChoice::Action::Add: {
                if (fixed) {
                    screen_.Message(list.title,
                                    "The built-in checks cannot be added or deleted; edit one "
                                    "to enable or disable it ...");
                    break;
                }
                ListEntry entry;
                if (const std::vector<std::string> names =
                        names_ ? names_() : std::vector<std::string>();
                    !names.empty()) {
                    const platform::ListChoice picked =
                        screen_.ChooseEntry("Pick one (Esc: type the name)", names, 0);
                    if (picked.action == platform::ListChoice::Action::Edit && picked.selected) {
                        entry[list.identity] = StoreValue::MakeText(names[picked.index]);
                    }
                }
                if (EditEntry(list, entry, EntryName(list, entries.size()))) {
                    entries.push_back(std::move(entry));
                    current = entries.size() - 1;
                }
                break;
            }
            case platform::ListChoice::Action::Edit:
                if (!choice.selected) {
                    screen_.Message(list.title, "No Item is selected...");
                    break;
                }
                current = choice.index;
                EditEntry(list, entries[current], EntryName(list, current));
                break;
            case platform::ListChoice::Action::Delete:
                if (!choice.selected) {
                    screen_.Message(list.title, "No Item Selected in the list");
                    break;
                }
                if (fixed) {
                    screen_.Message(list.title,
                                    "The built-in checks cannot be added or deleted; edit one "
                                    "to enable or disable it ...");
                    break;
                }
                if (screen_.Ask("Delete Entry",
                                "Are you sure you want to delete this entry ...?")) {
                    entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(choice.index));
                    current = choice.index > 0 ? choice.index - 1 : 0;
                }
                break;
        }
    }
}

}  // namespace kvzn::cfgutil
