// The pages and fields of the configuration utility and their validation rules.
#include "cfgutil/settings_fields.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <span>

#include "config/registry_names.h"
#include "config/scrambled_values.h"
#include "monitors/performance_monitor.h"
#include "platform/text.h"
#include "printmon/print_server_monitor.h"
#include "responses/response_runner.h"

namespace kvzn::cfgutil {

namespace {

using platform::StoreValue;
namespace value = config::value;
namespace logging = config::alert_logging;
namespace contacts = config::contacts;

constexpr const char* kNumberMessage = "Please enter a number ...";
constexpr const char* kFlagMessage = "Please enter 1 (on) or 0 (off) ...";
constexpr const char* kSecretMessage =
    "Passwords and user names are limited to 128 characters of 7-bit code ...";

FieldRule Flag(const char* subkey, const char* name, const char* label, uint32_t def = 0) {
    FieldRule f;
    f.subkey = subkey;
    f.name = name;
    f.kind = FieldKind::Flag;
    f.label = label;
    f.max = 1;
    f.defaultNumber = def;
    return f;
}

FieldRule Number(const char* subkey, const char* name, const char* label, uint32_t def = 0,
                 uint32_t min = 0, uint32_t max = UINT32_MAX, const char* message = nullptr) {
    FieldRule f;
    f.subkey = subkey;
    f.name = name;
    f.kind = FieldKind::Number;
    f.label = label;
    f.min = min;
    f.max = max;
    f.rangeMessage = message;
    f.defaultNumber = def;
    return f;
}

FieldRule Text(const char* subkey, const char* name, const char* label, size_t maxLength = 255,
               const char* def = "") {
    FieldRule f;
    f.subkey = subkey;
    f.name = name;
    f.kind = FieldKind::Text;
    f.label = label;
    f.maxLength = maxLength;
    f.defaultText = def;
    return f;
}

FieldRule Choice(const char* subkey, const char* name, const char* label,
                 std::vector<FieldChoice> choices, uint32_t def) {
    FieldRule f;
    f.subkey = subkey;
    f.name = name;
    f.kind = FieldKind::Choice;
    f.label = label;
    f.choices = std::move(choices);
    f.defaultNumber = def;
    return f;
}

FieldRule Secret(const char* subkey, const char* name, const char* label) {
    FieldRule f;
    f.subkey = subkey;
    f.name = name;
    f.kind = FieldKind::Secret;
    f.label = label;
    f.maxLength = config::kScrambledMaxChars;
    return f;
}

// "DateFormat": 1 day first, 2 month first; a stored 0 counts as 1.
FieldRule DateFormatField() {
    FieldRule f =
        Choice("", value::kDateFormat, "Date format : ", {{1, "DD/MM/YYYY"}, {2, "MM/DD/YYYY"}}, 1);
    f.storedZeroIsDefault = true;
    return f;
}

std::vector<PageRule> BuildPages() {
    const char* top = "";
    const char* alertLogging = config::subkey::kAlertLogging;
    const char* contactKey = config::subkey::kContacts;
    return {
        {"Service Monitoring",
         {Number(top, value::kPrintInterval,
                 "Perform above checks every (minutes, 0 disables all) : ", 5)}},
        {"Printer Status",
         {Number(top, value::kPrinterInterval, "Check the printers every (minutes) : ", 5)}},
        {"Disk Space",
         {Number(top, value::kDiskInterval, "Check the disk space every (minutes) : ", 300)}},
        {"Event Logs/Files",
         {Number(top, value::kEventLogPollInterval, "Poll the event logs every (seconds) : "),
          Number(top, value::kLogFilePollInterval, "Poll the log files every (seconds) : ")}},
        {"Performance",
         {Number(top, value::kPerfInterval, "Check the performance counters every (minutes) : "),
          Flag(top, value::kSendOneOffWarnings, "Send one-off warnings : ", 1)}},
        {"Logging",
         {Flag(alertLogging, logging::kEnablePerfLogging, "Log performance data : "),
          Text(alertLogging, logging::kPerfDataFile, "Performance data file : ", 259),
          Number(alertLogging, logging::kAutoDelTime,
                 "Delete performance data after (hours) : ", 24, 1, 200,
                 "The number of hours specified cannot be less than 1 or exceed 200 ..."),
          Flag(alertLogging, logging::kEnableAlertLogging, "Log alerts to a file : "),
          Text(alertLogging, logging::kAlertDataFile, "Alert data file : ", 259),
          Text(alertLogging, logging::kAlertString, "Alert line layout : "),
          Flag(alertLogging, logging::kEnableDBLogging, "Log alerts to a database : "),
          Text(alertLogging, logging::kDatabase, "Database (data source) : "),
          Secret(alertLogging, logging::kDatabaseUser, "Database user : "),
          Secret(alertLogging, logging::kDatabasePassword, "Database password : ")}},
        {"Alerting",
         {Text(contactKey, contacts::kEMailServer, "SMTP server : "),
          Number(contactKey, contacts::kEMailServerPort, "SMTP server port : ", 25, 1, 65535,
                 "Please enter the port for your SMTP server. The default SMTP listen port is 25 "
                 "..."),
          Text(contactKey, contacts::kSender, "Sender address : ")}},
        {"Settings",
         {Flag(top, value::kStartAutomatically,
               "Restart the Tessel Monitor Automatically on Applying New Settings : "),
          Flag(top, value::kEnableWebReports, "Enable the web reports : "),
          Flag(top, value::kEnableConsoleSupport, "Enable console support : ", 1),
          Flag(top, value::kAutoAdjustPrivileges,
               "Allow the Tessel Monitor to Adjust Logon Privileges Automatically : "),
          Number(top, value::kInitialStartupDelay,
                 "Wait this no. seconds after Windows starts before monitoring : "),
          Number(top, value::kMaxStoredMsgs, "Cache this no. alerts locally (min. 50) : ", 50, 50,
                 UINT32_MAX, "The number of cached alerts must be 50 or more ..."),
          Number(top, value::kPrintActionWaitTime,
                 "Wait this no. seconds after print action run : "),
          Number(top, value::kHTTPListenPortNo,
                 "The Web Server listens for requests on port : ", 80, 1, 65535,
                 "Please enter a valid listen port number for the monitor to use ..."),
          DateFormatField(),
          Choice(top, value::kNotifyRunningActions, "When a problem was resolved automatically : ",
                 {{0, "Do not report it"},
                  {1, "Raise an alert"},
                  {2, "Raise an alert and run the alert scripts"}},
                 0),
          Choice(top, value::kWebSessionLogon, "Log on to the web reports : ",
                 {{1, "Before accessing any web reports"},
                  {2, "Before accessing non-read-only reports"},
                  {3, "Never (not recommended)"}},
                 1),
          Number(top, value::kWebSessionTimeout,
                 "Sessions time out after (minutes inactivity) : ", 20),
          Text(top, value::kLogFile, "Activity log file : ", 260, "KVZN.LOG"),
          Number(top, value::kLogLevel, "Activity log level (1 to 6) : ", 3)}},
    };
}

constexpr const char* kCountMessage = "Notify after No. of Errors must be 1 of higher.";
constexpr const char* kPrinterCountMessage =
    "The 'Notify After No. Errors' value must be 1 or higher ...";

// The kinds of check, each with its own list of automatic responses ("ActionToTake" is the
// position in that list).
enum class ResponseKind {
    Common,           // disk space, counters, event logs and log files
    Service,          // service checks: restarting the service
    Printer,          // printer checks: acting on the printer or its queue
    PrinterDocument,  // document size and page checks: also acting on the document
};

FieldRule ResponseField(ResponseKind kind) {
    std::span<const std::string_view> texts = responses::CommonResponseTexts();
    const char* message = "This kind of check offers the responses 0 to 4 only ...";
    switch (kind) {
        case ResponseKind::Common:
            break;
        case ResponseKind::Service:
            texts = responses::ServiceResponseTexts();
            message = "Service checks offer the responses 0 to 5 only ...";
            break;
        case ResponseKind::Printer:
            texts = responses::PrinterResponseTexts();
            message =
                "This printer check offers the responses 0 to 10 only; the document actions "
                "(11 to 14) are for the document size and page checks ...";
            break;
        case ResponseKind::PrinterDocument:
            texts = responses::PrinterDocumentResponseTexts();
            message = "Printer document checks offer the responses 0 to 14 only ...";
            break;
    }
    std::vector<FieldChoice> choices;
    for (size_t i = 0; i < texts.size(); ++i) {
        // The texts are literals, so they end in a NUL.
        choices.push_back({static_cast<uint32_t>(i), texts[i].data()});
    }
    FieldRule f = Choice("", config::check::kActionToTake, "Response : ", std::move(choices), 0);
    f.rangeMessage = message;
    return f;
}

// The fields every check entry of a list has, after its own.
std::vector<FieldRule> WithCommonFields(std::vector<FieldRule> fields, ResponseKind responses,
                                        const char* countMessage = kCountMessage) {
    const char* entry = "";
    fields.push_back(Number(entry, config::check::kCountBeforeAction,
                            "Notify after No. of Errors : ", 1, 1, UINT32_MAX, countMessage));
    fields.push_back(Number(entry, config::check::kNonNotificationPeriod,
                            "Do not check again for (minutes) : "));
    fields.push_back(Number(entry, config::check::kAlertLevel, "Alert level mask : ", 1));
    fields.push_back(ResponseField(responses));
    fields.push_back(Text(entry, config::check::kCommand, "Command : "));
    return fields;
}

// A recipient list kept in numbered values of "Contacts": `kind` is "EMail" or "NetSend",
// `window` the prefix of its time-window values ("Email", "NetSend").
ListRule RecipientList(const char* title, bool email) {
    const char* key = config::subkey::kContacts;
    ListRule list{"Alerting", title, key, "", email ? contacts::kEMail : contacts::kNetSend,
                  {},         true};
    list.fields.push_back(Text(key, list.identity, email ? "E-mail address : " : "User name : "));
    list.fields.push_back(Number(key, email ? contacts::kEMailLevel : contacts::kNetSendLevel,
                                 "Alert levels (mask, 1023 = all) : ", 1023, 1, 1023,
                                 "Please select at least one Alert Level..."));
    list.fields.push_back(Text(key, email ? "EmailMask%d" : "NetSendMask%d",
                               "Days, Sunday first (e.g. 0111110; empty = all) : ", 7));
    list.fields.push_back(
        Text(key, email ? "EmailStartTime%d" : "NetSendStartTime%d", "From (HH:MM) : ", 5));
    list.fields.push_back(
        Text(key, email ? "EmailEndTime%d" : "NetSendEndTime%d", "To (HH:MM) : ", 5));
    if (email) {
        list.fields.push_back(
            Text(key, contacts::kEMailServerN, "SMTP server (empty = the common one) : "));
        list.fields.push_back(
            Text(key, contacts::kEMailSender, "Sender (empty = the common one) : "));
        list.fields.push_back(Number(key, contacts::kEMailPortNo, "SMTP port : ", 25, 1, 65535,
                                     "Please enter a valid Port no"));
        list.fields.push_back(Flag(key, contacts::kDailyReport, "Send the daily summary : "));
    }
    return list;
}

// A check of a printer: its own subkey of the printer's entry.
EntryGroup PrinterCheck(const char* name, const char* thresholdLabel, uint32_t threshold = 0,
                        ResponseKind responses = ResponseKind::Printer) {
    const char* entry = "";
    std::vector<FieldRule> fields = {Flag(entry, config::check::kEnabled, "Enabled : ")};
    if (thresholdLabel != nullptr) {
        fields.push_back(Number(entry, config::check::kThreshold, thresholdLabel, threshold));
    }
    fields.push_back(Flag(entry, "NotifyOwner", "Notify the document's owner : "));
    fields.push_back(Flag(entry, "IncludePaused", "Count paused documents : "));
    return {name, WithCommonFields(std::move(fields), responses, kPrinterCountMessage)};
}

ListRule PrinterList() {
    namespace checks = config::printer_check;
    ListRule list{"Printer Status",
                  "Printers",
                  config::subkey::kPrinters,
                  "Printer",
                  config::list::kPrinterIdentity,
                  {Text("", config::list::kPrinterIdentity, "Printer (queue name) : ")}};
    list.groups = {
        PrinterCheck(checks::kErrorConditions, nullptr),
        PrinterCheck(checks::kQueueLength, "Most jobs waiting : "),
        PrinterCheck(checks::kDocumentSize, "Largest document (Kb) : ", 0,
                     ResponseKind::PrinterDocument),
        PrinterCheck(checks::kPageCount, "Most pages in a document : ", 0,
                     ResponseKind::PrinterDocument),
        PrinterCheck(checks::kPaused, nullptr),
        PrinterCheck(checks::kOffline, nullptr),
        PrinterCheck(checks::kStalledPrinting,
                     "Stalled after (minutes without progress) : ", printmon::kDefaultStallMinutes),
    };
    list.checkEntry = [](const std::function<std::string(const char*)>& valueOf) {
        return valueOf(config::list::kPrinterIdentity).empty()
                   ? std::string("Please enter the name of the printer ...")
                   : std::string();
    };
    return list;
}

// Built-in checks: one subkey of `subkey` per check, named by the check; `own` is the value
// besides "Enabled" and the common fields.
ListRule BuiltInList(const char* page, const char* title, const char* subkey, FieldRule own,
                     std::vector<std::string> names, ResponseKind responses) {
    ListRule list{
        page,
        title,
        subkey,
        "",
        config::check::kEnabled,
        WithCommonFields({Flag("", config::check::kEnabled, "Enabled : "), own}, responses)};
    list.fixed = std::move(names);
    return list;
}

ListRule BuiltInServiceList() {
    std::vector<std::string> names;
    for (const printmon::BuiltInService& b : printmon::kBuiltInServices) {
        names.emplace_back(b.title);
    }
    return BuiltInList("Service Monitoring", "Built-in service checks", config::subkey::kPrint,
                       Text("", "Service", "Service name : "), std::move(names),
                       ResponseKind::Service);
}

ListRule BuiltInCounterList() {
    std::vector<std::string> names;
    for (const monitors::BuiltInCounter& b : monitors::kBuiltInCounters) {
        names.emplace_back(b.name);
    }
    return BuiltInList("Performance", "Built-in counter checks", config::subkey::kPerformance,
                       Number("", config::check::kThreshold, "Threshold : "), std::move(names),
                       ResponseKind::Common);
}

std::string CheckEventId(std::string_view text) {
    return text.find_first_not_of("0123456789") == std::string_view::npos
               ? std::string()
               : "Please enter the event ID as a number (empty matches any event) ...";
}

std::string CheckKeywordGroup(std::string_view text) {
    if (platform::TrimBlanks(text).empty()) {
        return "Please enter the keywords of the group ...";
    }
    // Terms are separated by " [AND]" (any case); each holds at most 255 characters.
    std::string lower(text);
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    size_t start = 0;
    for (;;) {
        const size_t sep = lower.find(" [and]", start);
        const size_t end = sep == std::string::npos ? lower.size() : sep;
        if (end - start > 257) {
            return "A keyword may hold at most 255 characters ...";
        }
        if (sep == std::string::npos) {
            return {};
        }
        start = sep + 6;
    }
}

// A keyword group list kept in the values "<prefix>N" of a log entry's key.
ListRule KeywordList(const char* title, const char* format) {
    FieldRule group = Text("", format, "Keywords (term [AND] term ...) : ", 260);
    group.checkText = CheckKeywordGroup;
    return {"Event Logs/Files", title, "", "", format, {group}, true};
}

ListRule LogList() {
    const char* entry = "";
    FieldRule eventId = Text(entry, "EventID", "Event ID (empty = any) : ", 10);
    eventId.checkText = CheckEventId;
    ListRule list{
        "Event Logs/Files",
        "Event logs and log files",
        config::subkey::kLogs,
        "Log",
        config::list::kLogType,
        {Choice(entry, config::list::kLogType, "Log : ",
                {{0, "Application Event Log"},
                 {1, "System Event Log"},
                 {2, "Security Event Log"},
                 {3, "Text Log File"},
                 {4, "Memory Mapped Log File"},
                 {5, "Windows Event Log"}},
                3),
         Flag(entry, config::check::kEnabled, "Enabled : ", 1),
         Text(entry, "File", "Log name or file : ", 259),
         Text(entry, config::check::kName, "Check name : "), eventId,
         Text(entry, "Source", "Source (empty = any) : ", 259),
         Choice(entry, "EventType",
                "Event type : ", {{0, "Any"}, {1, "Error"}, {2, "Warning"}, {3, "Information"}}, 0),
         Flag(entry, "And", "Every include group must match : "),
         Number(entry, config::check::kAlertLevel, "Alert level mask : ", 1),
         ResponseField(ResponseKind::Common), Text(entry, config::check::kCommand, "Command : ")}};
    list.sublists = {KeywordList("Include keywords", "KeywordInclude%d"),
                     KeywordList("Exclude keywords", "KeywordExclude%d")};
    list.checkEntry = [](const std::function<std::string(const char*)>& valueOf) {
        // Text log files and the other event logs are found by "File"; the three standard
        // event logs by their type.
        const std::string type = valueOf(config::list::kLogType);
        if ((type == "3" || type == "4" || type == "5") &&
            platform::TrimBlanks(valueOf("File")).empty()) {
            return std::string("Please enter the log file or the event log to monitor ...");
        }
        return std::string();
    };
    return list;
}

// The value names of one kind of alert-engine entry in "AlertEngine": the template file and
// its parameters, the level mask (which every entry has) and the weekly window.
struct ScriptNames {
    const char* title;
    const char* script;
    const char* level;
    const char* mask;
    const char* start;
    const char* end;
};
constexpr ScriptNames kScriptKinds[] = {
    {"Command scripts", "ScriptCMD%d", "ScriptCMDLevel%d", "ScriptCMDMask%d",
     "ScriptCMDStartTime%d", "ScriptCMDEndTime%d"},
    {"VBScript scripts", "ScriptVB%d", "ScriptVBLevel%d", "ScriptVBMask%d", "ScriptVBStartTime%d",
     "ScriptVBEndTime%d"},
    {"SysLog alert scripts", "ScriptSysLog%d", "ScriptSysLogLevel%d", "ScriptSysLogMask%d",
     "ScriptSysLogStartTime%d", "ScriptSysLogEndTime%d"},
    {"SMTP alert scripts", "ScriptSMTP%d", "ScriptSMTPLevel%d", "ScriptSMTPMask%d",
     "ScriptSMTPStartTime%d", "ScriptSMTPEndTime%d"},
    {"HTTP alert scripts", "ScriptHTTP%d", "ScriptHTTPLevel%d", "ScriptHTTPMask%d",
     "ScriptHTTPStartTime%d", "ScriptHTTPEndTime%d"},
};

ListRule ScriptList(const ScriptNames& names) {
    const char* key = config::subkey::kAlertEngine;
    ListRule list{"Alerting", names.title, key, "", names.level, {}, true};
    list.fields.push_back(Text(key, names.script, "Script file and parameters : ", 520));
    list.fields.push_back(Number(key, names.level, "Alert levels (mask, 1023 = all) : ", 1023, 1,
                                 1023, "Please select at least one Alert Level..."));
    list.fields.push_back(
        Text(key, names.mask, "Days, Sunday first (e.g. 0111110; empty = all) : ", 7));
    list.fields.push_back(Text(key, names.start, "From (HH:MM) : ", 5));
    list.fields.push_back(Text(key, names.end, "To (HH:MM) : ", 5));
    list.checkEntry = [](const std::function<std::string(const char*)>& valueOf) {
        for (const ScriptNames& kind : kScriptKinds) {
            if (const std::string script = valueOf(kind.script); !script.empty()) {
                return std::string();
            }
        }
        return std::string("Please enter the script file to run ...");
    };
    return list;
}

ListRule AddressList() {
    FieldRule address =
        Text(config::subkey::kWebAccess, config::list::kWebAccessAddress, "IP address or mask : ");
    address.checkText = CheckAddressText;
    ListRule list{"Settings", "Web access addresses",          config::subkey::kWebAccess,
                  "",         config::list::kWebAccessAddress, {address},
                  true};
    list.dialogTitle = "Add/Edit IP Address or Mask";
    return list;
}

std::vector<ListRule> BuildLists() {
    const char* entry = "";
    std::vector<ListRule> lists = {
        PrinterList(),
        {"Disk Space", "Disk checks", config::subkey::kDiskSpace, "Disk", config::check::kEnabled,
         WithCommonFields({Flag(entry, config::check::kEnabled, "Enabled : ", 1),
                           Text(entry, "Drive", "Drive (mount point) : ", 20),
                           Number(entry, "FreeSpace", "Minimum free space (MB) : "),
                           Number(entry, "%Used", "Minimum free space (% of capacity) : ", 0, 0,
                                  100, "The percentage entered must be from 1 to 100...")},
                          ResponseKind::Common)},
        {"Service Monitoring", "Custom services", config::subkey::kCustomServices, "Service",
         config::list::kServiceIdentity,
         WithCommonFields({Flag(entry, config::check::kEnabled, "Enabled : ", 1),
                           Text(entry, config::check::kName, "Service name : "),
                           Text(entry, config::check::kDisplayName, "Display name : ")},
                          ResponseKind::Service)},
        BuiltInServiceList(),
        LogList(),
        {"Performance", "Custom counters", config::subkey::kCustomPerformance, "Counter",
         config::check::kEnabled,
         WithCommonFields({Flag(entry, config::check::kEnabled, "Enabled : ", 1),
                           Text(entry, config::check::kName, "Counter path : "),
                           Number(entry, config::check::kThreshold, "Threshold : ")},
                          ResponseKind::Common)},
        BuiltInCounterList(),
        RecipientList("E-mail recipients", true),
        RecipientList("Network message recipients", false),
    };
    for (const ScriptNames& kind : kScriptKinds) {
        lists.push_back(ScriptList(kind));
    }
    lists.push_back(AddressList());
    return lists;
}

bool IsTimeOfDay(std::string_view text) {
    return text.size() == 5 && text[2] == ':' &&
           std::isdigit(static_cast<unsigned char>(text[0])) &&
           std::isdigit(static_cast<unsigned char>(text[1])) &&
           std::isdigit(static_cast<unsigned char>(text[3])) &&
           std::isdigit(static_cast<unsigned char>(text[4])) &&
           (text[0] - '0') * 10 + (text[1] - '0') < 24 && text[3] < '6';
}

bool ParseUnsigned(std::string_view text, uint32_t& out) {
    while (!text.empty() && text.front() == ' ') {
        text.remove_prefix(1);
    }
    while (!text.empty() && text.back() == ' ') {
        text.remove_suffix(1);
    }
    if (text.empty()) {
        return false;
    }
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

std::string CheckNumber(const FieldRule& field, uint32_t n) {
    switch (field.kind) {
        case FieldKind::Flag:
            return n <= 1 ? std::string() : kFlagMessage;
        case FieldKind::Choice:
            for (const FieldChoice& c : field.choices) {
                if (c.value == n) {
                    return {};
                }
            }
            return field.rangeMessage != nullptr ? field.rangeMessage
                                                 : "Please select one of the listed choices ...";
        default:
            if (n < field.min || n > field.max) {
                return field.rangeMessage != nullptr ? field.rangeMessage : kNumberMessage;
            }
            return {};
    }
}

}  // namespace

const std::vector<PageRule>& SheetPages() {
    // Built once; the table is constant data.
    static const std::vector<PageRule> pages = BuildPages();
    return pages;
}

const std::vector<ListRule>& SheetLists() {
    static const std::vector<ListRule> lists = BuildLists();
    return lists;
}

std::string CheckEntryFields(const ListRule& list,
                             const std::function<std::string(const char*)>& valueOf,
                             std::string* field) {
    std::string ignored;
    std::string& about = field != nullptr ? *field : ignored;
    std::string start;
    std::string end;
    const char* endName = "";
    for (const FieldRule& rule : list.fields) {
        const std::string_view name = rule.name;
        const std::string text = valueOf(rule.name);
        about = rule.name;
        if (name.find("Mask%d") != std::string_view::npos && !text.empty()) {
            if (text.size() != 7 || text.find_first_not_of("01") != std::string::npos) {
                return "Please enter the days as seven 0s and 1s, Sunday first ...";
            }
            if (text.find('1') == std::string::npos) {
                return "Please select a day...";
            }
        }
        const bool isStart = name.find("StartTime%d") != std::string_view::npos;
        if ((isStart || name.find("EndTime%d") != std::string_view::npos) && !text.empty()) {
            if (!IsTimeOfDay(text)) {
                return "Please enter the time as HH:MM (24-hour clock) ...";
            }
            (isStart ? start : end) = text;
            if (!isStart) {
                endName = rule.name;
            }
        }
    }
    if (!start.empty() && start == end) {
        about = endName;
        return "The Start and End Times cannot be the same...";
    }
    about = list.fields.empty() ? "" : list.fields.front().name;
    return list.checkEntry != nullptr ? list.checkEntry(valueOf) : std::string();
}

const ListRule* FindList(std::string_view subkey) {
    for (const ListRule& list : SheetLists()) {
        if (platform::EqualsNoCase(list.subkey, subkey)) {
            return &list;
        }
    }
    return nullptr;
}

const FieldRule* FindRule(const std::vector<FieldRule>& fields, std::string_view name) {
    for (const FieldRule& field : fields) {
        if (platform::EqualsNoCase(field.name, name)) {
            return &field;
        }
    }
    return nullptr;
}

std::string CheckAddressText(std::string_view text) {
    constexpr const char* kRefused =
        "Please enter an IP address, or the leading part of one as a mask (for example "
        "192.168.1.20 or 192.168.), separated by blanks or commas ...";
    size_t count = 0;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = std::min(text.find_first_of(" ,\r\n\t", start), text.size());
        const std::string_view part = text.substr(start, end - start);
        start = end + 1;
        if (part.empty()) {
            continue;
        }
        ++count;
        // Up to four groups of 1 to 3 digits (0 to 255) joined by dots; the last may be
        // left open after its dot ("10.1.").
        size_t groups = 0;
        size_t pos = 0;
        while (pos < part.size()) {
            size_t digits = 0;
            unsigned n = 0;
            while (pos < part.size() && std::isdigit(static_cast<unsigned char>(part[pos]))) {
                n = n * 10 + static_cast<unsigned>(part[pos] - '0');
                ++digits;
                ++pos;
            }
            if (digits == 0 || digits > 3 || n > 255 || ++groups > 4) {
                return kRefused;
            }
            if (pos < part.size()) {
                if (part[pos] != '.' || groups == 4) {
                    return kRefused;
                }
                ++pos;
            }
        }
    }
    return count > 0 ? std::string() : kRefused;
}

const ListRule& MessageSettingsDialog() {
    static const ListRule dialog = [] {
        const char* key = config::subkey::kContacts;
        ListRule d{"Alerting",
                   "E-mail & Network Message Settings",
                   key,
                   "",
                   contacts::kTitleText,
                   {Text(key, contacts::kTitleText, "Message title : "),
                    Text(key, contacts::kMessageText, "Message text : "),
                    Text(key, contacts::kNetSendServer, "NetSend Server : ")}};
        d.dialogTitle = "E-mail & Network Message Settings";
        d.checkEntry = [](const std::function<std::string(const char*)>& valueOf) {
            return valueOf(contacts::kTitleText).empty() != valueOf(contacts::kMessageText).empty()
                       ? std::string(
                             "Both the Title and the message Text must be entered to "
                             "customise the message ...")
                       : std::string();
        };
        return d;
    }();
    return dialog;
}

const std::vector<FieldRule>& DialogFields() {
    static const std::vector<FieldRule> fields = [] {
        std::vector<FieldRule> all = {Secret("", value::kWebPassword, "Web logon password : ")};
        for (const FieldRule& field : MessageSettingsDialog().fields) {
            all.push_back(field);
        }
        return all;
    }();
    return fields;
}

std::string FieldKeyPath(const FieldRule& field) {
    return *field.subkey == '\0' ? std::string(config::kProductKey) : config::SubKey(field.subkey);
}

const FieldRule* FindField(std::string_view keyPath, std::string_view name) {
    auto matches = [&](const FieldRule& field) {
        const std::string path = FieldKeyPath(field);
        return path.size() == keyPath.size() &&
               ::strncasecmp(path.data(), keyPath.data(), path.size()) == 0 &&
               ::strlen(field.name) == name.size() &&
               ::strncasecmp(field.name, name.data(), name.size()) == 0;
    };
    for (const PageRule& page : SheetPages()) {
        for (const FieldRule& field : page.fields) {
            if (matches(field)) {
                return &field;
            }
        }
    }
    for (const FieldRule& field : DialogFields()) {
        if (matches(field)) {
            return &field;
        }
    }
    return nullptr;
}

std::string ParseFieldText(const FieldRule& field, std::string_view text, StoreValue& out) {
    switch (field.kind) {
        case FieldKind::Flag:
        case FieldKind::Number:
        case FieldKind::Choice: {
            uint32_t n = 0;
            if (field.kind == FieldKind::Choice) {
                for (const FieldChoice& c : field.choices) {
                    if (text == c.text) {
                        out = StoreValue::MakeNumber(c.value);
                        return {};
                    }
                }
            }
            if (!ParseUnsigned(text, n)) {
                return field.kind == FieldKind::Flag   ? kFlagMessage
                       : field.rangeMessage != nullptr ? field.rangeMessage
                                                       : kNumberMessage;
            }
            std::string message = CheckNumber(field, n);
            if (message.empty()) {
                out = StoreValue::MakeNumber(n);
            }
            return message;
        }
        case FieldKind::Text:
            if (text.size() > field.maxLength) {
                return "The text entered is too long (at most " + std::to_string(field.maxLength) +
                       " characters) ...";
            }
            for (char c : text) {
                if (c == '\n' || c == '\r') {
                    return "The text entered must be on one line ...";
                }
            }
            if (field.checkText != nullptr) {
                if (std::string refused = field.checkText(text); !refused.empty()) {
                    return refused;
                }
            }
            out = StoreValue::MakeText(std::string(text));
            return {};
        case FieldKind::Secret: {
            std::vector<uint8_t> bytes;
            if (!text.empty() && !config::ScrambleText(text, bytes)) {
                return kSecretMessage;
            }
            out = StoreValue::MakeBinary(std::move(bytes));
            return {};
        }
    }
    return {};
}

std::string FieldHint(const FieldRule& field, std::string_view text) {
    switch (field.kind) {
        case FieldKind::Flag:
            return "(1 = yes, 0 = no)";
        case FieldKind::Choice: {
            if (field.choices.size() > kChoicesInHint) {
                uint32_t n = 0;
                std::string hint = "(F1 lists the choices)";
                if (ParseUnsigned(text, n)) {
                    for (const FieldChoice& c : field.choices) {
                        if (c.value == n) {
                            hint = std::string(c.text) + "  " + hint;
                        }
                    }
                }
                return hint;
            }
            std::string hint = "(";
            for (const FieldChoice& c : field.choices) {
                if (hint.size() > 1) {
                    hint += ", ";
                }
                hint += std::to_string(c.value) + " " + c.text;
            }
            return hint + ")";
        }
        default:
            return {};
    }
}

std::string FieldText(const FieldRule& field, const StoreValue* value) {
    switch (field.kind) {
        case FieldKind::Flag:
        case FieldKind::Number:
        case FieldKind::Choice: {
            const uint32_t n = value != nullptr && value->type == StoreValue::Type::Number
                                   ? value->number
                                   : field.defaultNumber;
            return std::to_string(n);
        }
        case FieldKind::Text:
            return value != nullptr && value->type == StoreValue::Type::Text ? value->text
                                                                             : field.defaultText;
        case FieldKind::Secret:
            return value != nullptr && value->type == StoreValue::Type::Binary
                       ? config::UnscrambleBytes(value->binary)
                       : std::string();
    }
    return {};
}

std::string CheckStoredValue(const FieldRule& field, const StoreValue& value) {
    switch (field.kind) {
        case FieldKind::Flag:
        case FieldKind::Number:
        case FieldKind::Choice:
            if (value.type != StoreValue::Type::Number) {
                return "is not a number (dword:); the service ignores it and uses its default";
            }
            if (value.number == 0 && field.storedZeroIsDefault) {
                return {};
            }
            return CheckNumber(field, value.number);
        case FieldKind::Text:
            if (value.type != StoreValue::Type::Text) {
                return "is not a text; the service ignores it and uses its default";
            }
            if (value.text.size() > field.maxLength) {
                return "is longer than " + std::to_string(field.maxLength) +
                       " characters; the service cuts it";
            }
            return field.checkText != nullptr ? field.checkText(value.text) : std::string();
        case FieldKind::Secret:
            if (value.type != StoreValue::Type::Binary) {
                return "is not a scrambled (hex:) value; the service cannot read it";
            }
            if (value.binary.size() % 4 != 0 || value.binary.size() > config::kScrambledMaxBytes) {
                return "is not a valid scrambled value; the service reads no text from it";
            }
            return {};
    }
    return {};
}

}  // namespace kvzn::cfgutil
