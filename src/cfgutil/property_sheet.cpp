// The configuration utility's property sheet and its Apply flow.
#include "cfgutil/property_sheet.h"

#include <unistd.h>

#include <ctime>

#include "cfgutil/list_editor.h"
#include "cfgutil/settings_fields.h"
#include "cfgutil/test_delivery.h"
#include "channels/alert_email.h"
#include "channels/smtp_client.h"
#include "companion/activity_log.h"
#include "config/registry_names.h"
#include "platform/profile_file.h"
#include "platform/text.h"

namespace kvzn::cfgutil {

namespace {

constexpr std::string_view kModule = "kvZNPrintCfg";
using platform::SheetCommand;
using platform::StoreValue;
namespace value = config::value;

// The page classes, in page order, named in log records as the function field.
constexpr const char* kPageClasses[] = {
    "CMonitorCustom",        "CMonitorPrintersPage",    "CMonitorDiskPage",
    "CMonitorEventLogsPage", "CMonitorPerformancePage", "CMonitorLoggingPage",
    "CMonitorAlertingPage",  "CHTMLLoggingPage",
};

constexpr uint32_t kLogonNever = 3;

bool IsField(const FieldRule& field, const char* subkey, const char* name) {
    return platform::EqualsNoCase(field.subkey, subkey) && platform::EqualsNoCase(field.name, name);
}

// name@domain.tld, the form a sender address is expected to have.
bool LooksLikeAddress(std::string_view text) {
    const size_t at = text.find('@');
    if (at == 0 || at == std::string_view::npos) {
        return false;
    }
    const std::string_view domain = text.substr(at + 1);
    const size_t dot = domain.find('.');
    return dot != std::string_view::npos && dot > 0 && dot + 1 < domain.size();
}

}  // namespace

// The controller's messages go to the screen.
class PropertySheet::Prompt final : public UserPrompt {
  public:
    explicit Prompt(platform::Screen& screen) : screen_(screen) {}
    void Message(const std::string& title, const std::string& text) override {
        screen_.Message(title, text);
    }
    bool Ask(const std::string& title, const std::string& text) override {
        return screen_.Ask(title, text);
    }
    void Wait(const std::string& text) override { screen_.Wait(text); }

  private:
    platform::Screen& screen_;
};

PropertySheet::PropertySheet(SheetTarget target, platform::Screen& screen, platform::Clock& clock)
    : target_(std::move(target)), screen_(screen), clock_(clock) {}

std::string PropertySheet::Title(const std::string& server) {
    return server.empty() ? "Korvane Tessel Configuration Utility - Local Machine"
                          : "Korvane Tessel Configuration Utility on " + server;
}

std::string PropertySheet::UpdateTimeText(std::time_t when) {
    static constexpr const char* kMonths[] = {"January",   "February", "March",    "April",
                                              "May",       "June",     "July",     "August",
                                              "September", "October",  "November", "December"};
    std::tm local{};
    localtime_r(&when, &local);
    char text[64];
    std::snprintf(text, sizeof text, "%s %02d, %04d %02d:%02d:%02d", kMonths[local.tm_mon % 12],
                  local.tm_mday, local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

void PropertySheet::LoadPage() {
    const PageRule& page = SheetPages()[page_];
    texts_.clear();
    for (const FieldRule& field : page.fields) {
        texts_.push_back(FieldText(field, edit_.Find(FieldKeyPath(field), field.name)));
    }
    shown_ = texts_;
    if (focus_ >= texts_.size()) {
        focus_ = 0;
    }
}

std::string PropertySheet::ButtonsLine() {
    std::string line = "F2 Apply  F3 ";
    line += running_ ? "Stop..." : "Start...";
    line += running_ ? "  F4 Reports..." : "  F4 (Reports...)";
    line += target_.server.empty() ? "  F6 Display Log File..." : "  F6 (Display Log File...)";
    if (std::string_view(SheetPages()[page_].title) == "Settings") {
        line += "  F5 Web Security...";
    }
    if (std::string_view(SheetPages()[page_].title) == "Alerting") {
        line += "  F5 Message Settings...  F9 Test E-mail...  F12 Test Message/Scripts...";
    }
    for (const FieldRule& field : SheetPages()[page_].fields) {
        if (field.choices.size() > kChoicesInHint) {
            line += "  F1 Choices...";
            break;
        }
    }
    for (const ListRule& list : SheetLists()) {
        if (std::string_view(list.page) == SheetPages()[page_].title) {
            line += "  F11 Entries...";
            break;
        }
    }
    line += "  PgUp/PgDn Page  F10 OK  Esc Cancel";
    return line;
}

bool PropertySheet::CheckListenPort(uint32_t port) {
    std::string home;
    if (const StoreValue* v = edit_.Find(config::kProductKey, value::kHome);
        v != nullptr && v->type == StoreValue::Type::Text) {
        home = v->text;
    }
    if (home.empty() || !target_.server.empty()) {
        return true;  // the file lives on the server's disk; nothing to compare with here
    }
    auto ini = platform::ProfileFile::Load(home + "/" + kWebServerIni);
    if (!ini.ok()) {
        return true;
    }
    for (const std::string& section : ini->SectionNames()) {
        if (platform::EqualsNoCase(section, target_.serviceName)) {
            continue;
        }
        const auto other = ini->Get(section, "Port");
        if (other && platform::TrimBlanks(*other) == std::to_string(port)) {
            screen_.Message("Settings",
                            "The listen port entered is already being used by another Korvane "
                            "Tessel Monitor. Please select a different port for this monitor to "
                            "use ...");
            return false;
        }
    }
    return true;
}

void PropertySheet::WritePortToIni(uint32_t port) {
    const companion::Logger log(kModule, "CHTMLLoggingPage::OnOK");
    const StoreValue* home = edit_.Find(config::kProductKey, value::kHome);
    if (home == nullptr || home->type != StoreValue::Type::Text || home->text.empty()) {
        log(2, "Warning: Unable to update Port Number. No Home Directory found.");
        return;
    }
    if (!target_.server.empty()) {
        return;  // the web server file of a remote server is not reachable from here
    }
    const std::string path = home->text + "/" + kWebServerIni;
    if (!platform::WriteProfileString(target_.serviceName, "Port", std::to_string(port), path)) {
        log(2, "Warning: Unable to update Port Number in ", path);
    }
}

bool PropertySheet::LeavePage() {
    const PageRule& page = SheetPages()[page_];
    for (size_t i = 0; i < page.fields.size(); ++i) {
        const FieldRule& field = page.fields[i];
        if (texts_[i] == shown_[i]) {
            continue;
        }
        StoreValue parsed;
        if (std::string refused = ParseFieldText(field, texts_[i], parsed); !refused.empty()) {
            screen_.Message(page.title, refused);
            focus_ = i;
            return false;
        }
        if (IsField(field, "", value::kHTTPListenPortNo)) {
            if (!CheckListenPort(parsed.number)) {
                focus_ = i;
                return false;
            }
            if (!screen_.Ask("Update Monitor Listen Port",
                             "The web server of the monitor will listen on port " + texts_[i] +
                                 " from its next start. Do you want to change the port ...?")) {
                texts_[i] = shown_[i];  // declining restores the old port
                continue;
            }
            portChanged_ = true;
        }
        if (IsField(field, "", value::kWebSessionLogon) && parsed.number == kLogonNever &&
            !screen_.Ask("Confirm No Password",
                         "Selecting no password means that no authentication will be performed "
                         "before a Tessel Monitor web report is displayed ...\n\nAre you sure "
                         "you want to continue with no password verification ...?")) {
            texts_[i] = shown_[i];
            continue;
        }
        if (IsField(field, config::subkey::kContacts, config::contacts::kSender) &&
            !texts_[i].empty() && !LooksLikeAddress(texts_[i]) &&
            !screen_.Ask(page.title, "The sender address \"" + texts_[i] +
                                         "\" does not have the form name@domain. Use it "
                                         "anyway ...?")) {
            focus_ = i;
            return false;
        }
        edit_.Set(FieldKeyPath(field), field.name, std::move(parsed));
        shown_[i] = texts_[i];
    }
    return true;
}

bool PropertySheet::ApplyChanges() {
    if (!LeavePage()) {
        return false;
    }
    if (edit_.Empty()) {
        return true;
    }
    const std::string function = std::string(kPageClasses[page_]) + "::OnApply";
    const companion::Logger log(kModule, function);
    edit_.Set(config::kProductKey, value::kLastConfigUpdateTime,
              StoreValue::MakeText(UpdateTimeText(clock_.Now())));
    const StoreEdit::Outcome outcome = edit_.Commit(target_.store);
    if (outcome.kind == StoreEdit::Outcome::Kind::Failed) {
        log(2, "Warning: Unable to Set the registry value - ", outcome.status.Text());
        screen_.Message("Apply Changes",
                        "The settings could not be written: " + outcome.status.Text() + " ...");
        return false;
    }
    if (outcome.kind == StoreEdit::Outcome::Kind::Conflict) {
        std::string names;
        for (const std::string& name : outcome.conflicts) {
            names += "\n  " + name;
        }
        log(2,
            "Warning: settings changed by another program meanwhile; nothing was written:", names);
        screen_.Message(
            "Settings Changed Meanwhile",
            "Another program changed these settings while you were editing them:" + names +
                "\n\nNothing was written. The settings have been read again; please "
                "make your changes again ...");
        edit_.Reload(target_.store);
        LoadPage();
        return false;
    }
    if (portChanged_) {
        if (const StoreValue* port = edit_.Find(config::kProductKey, value::kHTTPListenPortNo)) {
            WritePortToIni(port->number);
        }
        portChanged_ = false;
    }
    const StoreValue* automatic = edit_.Find(config::kProductKey, value::kStartAutomatically);
    const bool restartNow = automatic != nullptr && automatic->type == StoreValue::Type::Number &&
                            automatic->number != 0;
    if (restartNow || screen_.Ask("Apply Changes Now",
                                  "In order to apply any changes made, the Tessel Monitor service "
                                  "must be restarted.\n\nWould you like to restart the Tessel "
                                  "Monitor now ...?")) {
        Prompt prompt(screen_);
        ServiceController(target_.services, clock_, prompt, target_.serviceName).RestartServer();
    }
    return true;
}

void PropertySheet::MessageSettings() {
    const ListRule& dialog = MessageSettingsDialog();
    const std::string key = config::SubKey(dialog.subkey);
    ListEntry values;
    for (const FieldRule& field : dialog.fields) {
        if (const StoreValue* v = edit_.Find(key, field.name)) {
            values.emplace(field.name, *v);
        }
    }
    const ListEntry before = values;
    if (!ListEditor(screen_, Title(target_.server)).EditEntry(dialog, values, "")) {
        return;
    }
    for (const auto& [name, value] : values) {
        if (const auto it = before.find(name); it == before.end() || !(it->second == value)) {
            edit_.Set(key, name, value);
        }
    }
}

void PropertySheet::WebSecurity() {
    const char* const title = "Web Security";
    if (std::string_view(SheetPages()[page_].title) != "Settings") {
        screen_.Message(title, "The web security settings are on the Settings page ...");
        return;
    }
    const platform::ListChoice part = screen_.ChooseEntry(
        title, {"Web logon password", "Client addresses (Add/Edit IP Address or Mask)"}, 0);
    if (part.action != platform::ListChoice::Action::Edit || !part.selected) {
        return;
    }
    if (part.index == 1) {
        for (const ListRule& list : SheetLists()) {
            if (platform::EqualsNoCase(list.subkey, config::subkey::kWebAccess)) {
                EditList(list);
            }
        }
        return;
    }
    // The requirement as the page shows it now, edited or not.
    uint32_t logon = 1;
    const std::vector<FieldRule>& fields = SheetPages()[page_].fields;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (IsField(fields[i], "", value::kWebSessionLogon)) {
            StoreValue v;
            if (ParseFieldText(fields[i], texts_[i], v).empty()) {
                logon = v.number;
            }
        }
    }
    const FieldRule& passwordField = DialogFields().front();
    const std::string current =
        FieldText(passwordField, edit_.Find(config::kProductKey, passwordField.name));
    if (!current.empty()) {
        auto typed = screen_.Input(title, "Current password :", "", true);
        if (!typed) {
            return;
        }
        if (*typed != current) {
            screen_.Message(title, "The password entered is incorrect ...");
            return;
        }
    }
    auto fresh = screen_.Input(title, "New password :", "", true);
    if (!fresh) {
        return;
    }
    auto confirmed = screen_.Input(title, "Confirm the new password :", "", true);
    if (!confirmed) {
        return;
    }
    if (*fresh != *confirmed) {
        screen_.Message(title,
                        "The new password and it's confirmation do not match. Please re-enter "
                        "these passwords ...");
        return;
    }
    if (fresh->empty()) {
        if (logon != kLogonNever && current.empty()) {
            screen_.Message(title, "Please enter and confirm your new password ...");
        }
        return;  // the password stays as it is
    }
    StoreValue scrambled;
    if (std::string refused = ParseFieldText(passwordField, *fresh, scrambled); !refused.empty()) {
        screen_.Message(title, refused);
        return;
    }
    edit_.Set(config::kProductKey, passwordField.name, std::move(scrambled));
}

void PropertySheet::SendTestEMail() {
    const char* const title = "Test E-Mail";
    if (std::string_view(SheetPages()[page_].title) != "Alerting" || !LeavePage()) {
        if (std::string_view(SheetPages()[page_].title) != "Alerting") {
            screen_.Message(title, "The test e-mail is sent from the Alerting page ...");
        }
        return;
    }
    const std::string contacts = config::SubKey(config::subkey::kContacts);
    auto text = [&](const char* name) {
        const StoreValue* v = edit_.Find(contacts, name);
        return v != nullptr && v->type == StoreValue::Type::Text ? v->text : std::string();
    };
    const StoreValue* portValue = edit_.Find(contacts, config::contacts::kEMailServerPort);
    const int port = portValue != nullptr && portValue->type == StoreValue::Type::Number
                         ? static_cast<int>(portValue->number)
                         : 25;
    const std::string server = text(config::contacts::kEMailServer);
    if (server.empty()) {
        screen_.Message(title, "Please enter the SMTP server first ...");
        return;
    }
    auto recipient = screen_.Input(title, "Send a test e-mail to :",
                                   text(config::Numbered(config::contacts::kEMail, 1).c_str()));
    if (!recipient || recipient->empty()) {
        return;
    }
    std::vector<std::string> lines = {"Generating test e-mail ..."};
    auto show = [&](std::string_view line) {
        lines.emplace_back(line);
        screen_.Wait(lines.back());
    };
    screen_.Wait(lines.front());
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    const std::string computer = std::string(host).substr(0, std::string(host).find('.'));
    const std::string now = UpdateTimeText(clock_.Now());
    const char* const testMessage = "*** Test Message ***";
    channels::kvZNNotify_SMTPConnectAndSend(
        server, computer, port, text(config::contacts::kSender), *recipient,
        channels::FixedLayoutSubject(computer, testMessage),
        channels::FixedLayoutBody({computer, testMessage, testMessage, now, now,
                                   "Korvane Tessel Configuration Utility", "Linux", ""}),
        show);
    lines.emplace_back("Processing complete ...");
    std::string all;
    for (const std::string& line : lines) {
        all += line + "\n";
    }
    screen_.Message(title, all);
}

void PropertySheet::SendTestMessages() {
    const char* const title = "Test Message/Scripts";
    if (std::string_view(SheetPages()[page_].title) != "Alerting") {
        screen_.Message(title, "The test messages are sent from the Alerting page ...");
        return;
    }
    if (!LeavePage()) {
        return;
    }
    if (!target_.server.empty()) {
        screen_.Message(title,
                        "Network messages and alert scripts of a remote server can only be "
                        "tested on that server ...");
        return;
    }
    const platform::ListChoice which =
        screen_.ChooseEntry(title, {"Test network message", "Test alert scripts"}, 0);
    if (which.action != platform::ListChoice::Action::Edit || !which.selected) {
        return;
    }
    std::vector<std::string> lines;
    auto show = [&](std::string_view line) {
        lines.emplace_back(line);
        screen_.Wait(lines.back());
    };
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    const std::string computer = std::string(host).substr(0, std::string(host).find('.'));
    TestDelivery delivery(edit_.Preview(), clock_, computer);
    if (which.index == 0) {
        const std::string contacts = config::SubKey(config::subkey::kContacts);
        const StoreValue* first =
            edit_.Find(contacts, config::Numbered(config::contacts::kNetSend, 1));
        auto recipient = screen_.Input(
            title,
            "Send a test network message to (user names, or " + computer + " for every user) :",
            first != nullptr && first->type == StoreValue::Type::Text ? first->text : computer);
        if (!recipient || recipient->empty()) {
            return;
        }
        platform::TerminalOptions options;
        options.utmpPath = target_.loginRecords;
        auto terminals = platform::MakeTerminalMessages(options);
        delivery.NetworkMessage(*recipient, *terminals, show);
    } else {
        delivery.AlertScripts(show);
    }
    std::string all;
    for (const std::string& line : lines) {
        all += line + "\n";
    }
    screen_.Message(title, all);
}

void PropertySheet::EditEntries() {
    std::vector<const ListRule*> lists;
    for (const ListRule& candidate : SheetLists()) {
        if (std::string_view(candidate.page) == SheetPages()[page_].title) {
            lists.push_back(&candidate);
        }
    }
    if (lists.empty()) {
        screen_.Message("Entries", "This page has no list of entries ...");
        return;
    }
    const ListRule* list = lists.front();
    if (lists.size() > 1) {
        std::vector<std::string> titles;
        for (const ListRule* l : lists) {
            titles.emplace_back(l->title);
        }
        const platform::ListChoice which = screen_.ChooseEntry("Which list", titles, 0);
        if (which.action != platform::ListChoice::Action::Edit || !which.selected) {
            return;
        }
        list = lists[which.index];
    }
    EditList(*list);
}

void PropertySheet::EditList(const ListRule& rule) {
    const ListRule* list = &rule;
    ListEditor editor(screen_, Title(target_.server));
    if (platform::EqualsNoCase(list->subkey, config::subkey::kPrinters) &&
        target_.spooler != nullptr) {
        editor.OfferNames([this] {
            std::vector<std::string> names;
            screen_.Wait("Reading the printers of this server ...");
            if (auto snapshot = target_.spooler->Snapshot(); snapshot.ok()) {
                for (const platform::PrinterQueue& queue : snapshot->printers) {
                    names.push_back(queue.printer.name);
                }
            } else {
                companion::Logger(kModule, "CMonitorPrintersPage::OnAdd")(
                    2, "Warning: Unable to read the printers of the spooler: ",
                    snapshot.status().Text());
            }
            return names;
        });
    }
    if (!list->fixed.empty()) {
        // Built-in checks: each value is a change of its own.
        std::vector<ListEntry> entries;
        for (const std::string& name : list->fixed) {
            const std::string key = config::SubKey(list->subkey) + "\\" + name;
            ListEntry entry;
            for (const FieldRule& field : list->fields) {
                if (const StoreValue* v = edit_.Find(key, field.name)) {
                    entry.emplace(field.name, *v);
                }
            }
            entries.push_back(std::move(entry));
        }
        editor.EditList(*list, entries);
        for (size_t i = 0; i < entries.size(); ++i) {
            const std::string key = config::SubKey(list->subkey) + "\\" + list->fixed[i];
            for (const auto& [name, value] : entries[i]) {
                edit_.Set(key, name, value);
            }
        }
        return;
    }
    ListShape shape{config::SubKey(list->subkey), list->prefix, list->identity, {}};
    if (list->inValues) {
        for (const FieldRule& field : list->fields) {
            shape.valueFormats.emplace_back(field.name);
        }
    }
    std::vector<ListEntry> entries = edit_.Entries(shape);
    editor.EditList(*list, entries);
    edit_.ReplaceList(shape, std::move(entries));
}

void PropertySheet::ShowReports() {
    if (!running_) {
        screen_.Message("Reports",
                        "The web reports are available while the Tessel Monitor runs ...");
        return;
    }
    uint32_t port = 0;
    if (const StoreValue* v = edit_.Find(config::kProductKey, value::kHTTPListenPortNo);
        v != nullptr && v->type == StoreValue::Type::Number) {
        port = v->number;
    }
    std::string host = target_.server.empty() ? "localhost" : target_.server;
    while (!host.empty() && host.front() == '\\') {
        host.erase(0, 1);
    }
    screen_.Message("Reports", "The web reports of the Tessel Monitor are at\n\n  http://" + host +
                                   ":" + std::to_string(port) + "/");
}

void PropertySheet::DisplayLogFile() {
    if (!target_.server.empty()) {
        screen_.Message("Display Log File",
                        "The log file of a remote server cannot be shown here ...");
        return;
    }
    std::string file = companion::ActivityLog::kDefaultFileName;
    if (const StoreValue* v = edit_.Find(config::kProductKey, value::kLogFile);
        v != nullptr && v->type == StoreValue::Type::Text && !v->text.empty()) {
        file = v->text;
    }
    if (file.front() != '/') {
        if (const StoreValue* home = edit_.Find(config::kProductKey, value::kHome);
            home != nullptr && home->type == StoreValue::Type::Text && !home->text.empty()) {
            file = home->text + "/" + file;
        }
    }
    screen_.RunOnTerminal(target_.pager.empty() ? "less" : target_.pager, file);
}

int PropertySheet::Run() {
    if (const platform::Status read = edit_.Reload(target_.store); !read.ok()) {
        companion::Logger(kModule, "InitInstance")(2, "Warning: Unable to open the registry key ",
                                                   read.Text());
        screen_.Message("Tessel Monitor Configuration Utility",
                        "The settings could not be read: " + read.Text());
        return 1;
    }
    Prompt prompt(screen_);
    ServiceController controller(target_.services, clock_, prompt, target_.serviceName);
    running_ = controller.IsRunning();
    LoadPage();
    for (;;) {
        platform::SheetView view;
        view.title = Title(target_.server);
        for (const PageRule& page : SheetPages()) {
            view.tabs.emplace_back(page.title);
        }
        view.currentTab = page_;
        for (const FieldRule& field : SheetPages()[page_].fields) {
            const size_t i = view.fields.size();
            view.fields.push_back({field.label,
                                   FieldHint(field, i < texts_.size() ? texts_[i] : ""),
                                   field.kind == FieldKind::Secret});
        }
        view.buttons = ButtonsLine();
        view.status = "Store: " + target_.store.Location() +
                      "   Service: " + (running_ ? "running" : "stopped") +
                      (edit_.Empty() && texts_ == shown_ ? "" : "   (changes not applied)");
        const SheetCommand command = screen_.EditSheet(view, texts_, focus_, kSheetRefresh);
        switch (command) {
            case SheetCommand::Refresh:
                running_ = controller.IsRunning();
                break;
            case SheetCommand::NextPage:
            case SheetCommand::PreviousPage:
                if (LeavePage()) {
                    const size_t count = SheetPages().size();
                    page_ = command == SheetCommand::NextPage ? (page_ + 1) % count
                                                              : (page_ + count - 1) % count;
                    focus_ = 0;
                    LoadPage();
                }
                break;
            case SheetCommand::Apply:
                ApplyChanges();
                running_ = controller.IsRunning();
                break;
            case SheetCommand::Ok:
                if (ApplyChanges()) {
                    return 0;
                }
                break;
            case SheetCommand::Cancel:
                if ((edit_.Empty() && texts_ == shown_) ||
                    screen_.Ask("Cancel Changes Now",
                                "Are you sure you wish to cancel any changes made...\n")) {
                    return 0;
                }
                break;
            case SheetCommand::StartStop:
                if (running_) {
                    controller.StopServer();
                } else {
                    controller.StartServer();
                }
                running_ = controller.IsRunning();
                break;
            case SheetCommand::Reports:
                ShowReports();
                break;
            case SheetCommand::LogFile:
                DisplayLogFile();
                break;
            case SheetCommand::PageDialog:
                if (std::string_view(SheetPages()[page_].title) == "Alerting") {
                    MessageSettings();
                } else {
                    WebSecurity();
                }
                break;
            case SheetCommand::Choices:
                if (focus_ < texts_.size()) {
                    PickChoice(screen_, SheetPages()[page_].fields[focus_], texts_[focus_]);
                }
                break;
            case SheetCommand::TestEMail:
                SendTestEMail();
                break;
            case SheetCommand::TestMessages:
                SendTestMessages();
                break;
            case SheetCommand::Entries:
                EditEntries();
                break;
        }
    }
}

}  // namespace kvzn::cfgutil
