// Alert e-mail: the subject and body of an alert record, and delivery to a recipient list.
#include "channels/alert_email.h"

#include <algorithm>
#include <cctype>
#include <mutex>
#include <new>

#include "alerting/alert_records.h"
#include "alerting/message_text.h"
#include "alerting/recipients.h"
#include "companion/activity_log.h"
#include "config/registry_names.h"
#include "platform/profile_file.h"

namespace kvzn::channels {

namespace {

constexpr std::string_view kModule = "kvZNAlertNotification";
constexpr int kAlertNotifyComponent = 12;
constexpr size_t kMaxEntryLength = 999;
constexpr size_t kMessageTextSize = 600;
constexpr size_t kTitleTextSize = 260;
constexpr size_t kSettingSize = 260;

constexpr std::string_view kHeading =
    "\nThe Korvane/Tessel Print Monitor has detected the following error";
constexpr std::string_view kClosing =
    "Thank you for choosing Korvane as your monitoring solution!\r\n"
    "Visit the Halvern web site at https://www.halvern.example/ for product news and support.";

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

// "48 hyphens joined by single blanks".
std::string Separator() {
    std::string sep = "-";
    for (int i = 1; i < 48; ++i)
        sep += " -";
    return sep;
}

// The leading decimal digits of a port field; 0 when there are none or the number is
// out of range.
int ParsePort(std::string_view text) {
    long port = 0;
    size_t digits = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            break;
        port = port * 10 + (c - '0');
        if (port > 65535)
            return 0;
        ++digits;
    }
    return digits == 0 ? 0 : static_cast<int>(port);
}

struct Templates {
    std::string messageText;
    std::string titleText;
};

std::mutex& TemplateMutex() {
    static std::mutex m;
    return m;
}
std::optional<Templates>& CachedTemplates() {
    static std::optional<Templates> templates;
    return templates;
}

Templates EMailTemplates(const companion::Registry& registry) {
    std::scoped_lock lock(TemplateMutex());
    std::optional<Templates>& cached = CachedTemplates();
    if (!cached) {
        const std::string key = config::SubKey(config::subkey::kContacts);
        Templates t{"NONE", kDefaultTitleText};
        registry.ReadText(key, config::contacts::kMessageText, t.messageText, kMessageTextSize);
        registry.ReadText(key, config::contacts::kTitleText, t.titleText, kTitleTextSize);
        cached = std::move(t);
    }
    return *cached;
}

}  // namespace

void ResetEMailTemplatesForTesting() {
    std::scoped_lock lock(TemplateMutex());
    CachedTemplates().reset();
}

std::string FixedLayoutSubject(std::string_view computerName, std::string_view title) {
    return "* Error detected on Server " + std::string(computerName) + " (" + std::string(title) +
           ")";
}

std::string FixedLayoutBody(const FixedLayoutFields& f) {
    const std::string sep = Separator();
    std::string body;
    body += std::string(kHeading) + " on server " + f.computerName + " ...\r\n\r\n";
    body += f.message + "\r\n\r\n";
    body += sep + "\r\n\r\nAdditional information on this error follow ...\r\n\r\n";
    body += "Error/Check Being Performed: " + f.title + "\r\n";
    body += "Error Detected at: " + f.timeLogged + "\r\n";
    body += "Notification (e-mail) raised at: " + f.timeNow + "\r\n";
    body += "Source of Error: " + f.source + "\r\n";
    body += "Server Name: " + f.computerName + "\r\n";
    body += "O/S Type: " + f.osName + "\r\n";
    body += "Latest Service Pack: " + f.servicePack + "\r\n\r\n";
    body += sep + "\r\n\r\n";
    body +=
        "If this should not be considered an error, the check value is incorrect or you do "
        "not wish to receive this notification, simply edit the check using the Tessel "
        "Monitor Configuration Utility.\r\n\r\n";
    body += kClosing;
    return body;
}

std::vector<EMailRoute> ResolveRecipientList(std::string_view list, const EMailRoute& common) {
    std::vector<EMailRoute> routes;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find_first_of(",\r\n", start);
        if (end == std::string_view::npos)
            end = list.size();
        const std::string_view entry =
            TrimBlanks(list.substr(start, std::min(end - start, kMaxEntryLength)));
        start = end + 1;
        if (entry.empty())
            continue;
        EMailRoute route = common;
        const size_t tilde = entry.find('~');
        if (tilde == std::string_view::npos) {
            route.address = std::string(entry);
            routes.push_back(std::move(route));
            continue;
        }
        std::vector<std::string_view> fields;
        size_t pos = 0;
        for (;;) {
            const size_t next = entry.find('~', pos);
            fields.push_back(TrimBlanks(entry.substr(pos, next - pos)));
            if (next == std::string_view::npos)
                break;
            pos = next + 1;
        }
        route.address = std::string(fields[0]);
        if (fields.size() > 1 && !fields[1].empty())
            route.server = std::string(fields[1]);
        if (fields.size() > 2 && !fields[2].empty() && !EqualsNoCase(fields[2], "<NONE>"))
            route.sender = std::string(fields[2]);
        if (fields.size() > 3 && !fields[3].empty())
            route.port = ParsePort(fields[3]);
        routes.push_back(std::move(route));
    }
    return routes;
}

int SendEMailMessage(service::ServiceContext& ctx, std::string_view title, std::string_view subject,
                     std::string_view body, std::string_view list, const SmtpProgress& progress) {
    const companion::Logger log(kModule, "SendEMailMessage");
    const std::string key = config::SubKey(config::subkey::kContacts);
    EMailRoute common;
    ctx.registry.ReadText(key, config::contacts::kSender, common.sender, kSettingSize);
    if (common.sender.empty())
        common.sender = kDefaultSender;
    if (ctx.registry.ReadText(key, config::contacts::kEMailServer, common.server, kSettingSize) !=
        0) {
        log(2, "Unable to notify SMTP users for test ", title,
            " - no SMTP Server has been defined");
        return 0;
    }
    uint32_t port = 0;
    ctx.registry.ReadNumber(key, config::contacts::kEMailServerPort, port);
    common.port = port == 0 ? kDefaultSmtpPort : static_cast<int>(std::min<uint32_t>(port, 65536));

    std::vector<EMailRoute> routes;
    try {
        routes = ResolveRecipientList(list, common);
    } catch (const std::bad_alloc&) {
        log(2, "Unable to notify SMTP users for test ", title, " - insufficient memory available");
        return 0;
    }
    int result = 1;
    for (const EMailRoute& route : routes) {
        std::scoped_lock lock(ctx.locks.email);
        if (!kvZNNotify_SMTPConnectAndSend(route.server, route.server, route.port, route.sender,
                                           route.address, subject, body, progress)) {
            result = 0;
        }
    }
    return result;
}

int ComposeAlertEMail(service::ServiceContext& ctx, const std::string& recordPath,
                      std::string& subject, std::string& body) {
    using alerting::kRecordSection;
    using platform::GetProfileInt;
    using platform::GetProfileString;
    subject.clear();
    body.clear();
    const long messageSize =
        std::max(0L, GetProfileInt(kRecordSection, "MessageSize", 0, recordPath));
    const std::string message = GetProfileString(kRecordSection, "Message", "", recordPath,
                                                 static_cast<size_t>(messageSize) + 5);
    const std::string timeLogged = GetProfileString(kRecordSection, "Time", "", recordPath, 30);
    const std::string source = GetProfileString(kRecordSection, "AppName", "N/A", recordPath);
    const std::string title = GetProfileString(kRecordSection, "ErrorTitle", "N/A", recordPath);
    const int category =
        static_cast<int>(GetProfileInt(kRecordSection, "ErrorType", 0, recordPath));
    const std::string timeNow = alerting::StandardTimeText(ctx.clock.LocalNow(), ctx.DateFormat());
    const std::string osName = alerting::OperatingSystemName();
    const std::string servicePack = alerting::ServicePackText();

    const Templates templates = EMailTemplates(ctx.registry);
    // An empty template would give an empty body, which no session sends.
    if (!templates.messageText.empty() && !EqualsNoCase(templates.messageText, "NONE")) {
        alerting::AlertTextContext text;
        text.message = message;
        text.title = title;
        text.timeLogged = timeLogged;
        text.timeNow = timeNow;
        text.extra1 = GetProfileString(kRecordSection, "AdditionalInfo1", "", recordPath, 256);
        text.extra2 = GetProfileString(kRecordSection, "AdditionalInfo2", "", recordPath, 256);
        text.extra3 = GetProfileString(kRecordSection, "AdditionalInfo3", "", recordPath, 256);
        text.source = source;
        text.osName = osName;
        text.servicePack = servicePack;
        text.levelNumber = alerting::LevelNumber(
            static_cast<uint32_t>(GetProfileInt(kRecordSection, "AlertLevel", 0, recordPath)));
        text.server = ctx.computerName;
        const int dateFormat = ctx.DateFormat();
        if (!alerting::SubstituteParamsForString_Dynamic(category, templates.messageText, body,
                                                         text, dateFormat) ||
            !alerting::SubstituteParamsForString_Dynamic(category, templates.titleText, subject,
                                                         text, dateFormat)) {
            subject.clear();
            body.clear();
            return 0;
        }
        return 1;
    }
    body = FixedLayoutBody(
        {ctx.computerName, message, title, timeLogged, timeNow, source, osName, servicePack});
    subject = FixedLayoutSubject(ctx.computerName, title);
    return 1;
}

int SendEMailMessageFromFile(service::ServiceContext& ctx, const std::string& recordPath,
                             const std::optional<std::string>& list, const SmtpProgress& progress) {
    const companion::Logger log(kModule, "SendEMailMessageFromFile");
    try {
        std::string recipients;
        if (list) {
            recipients = *list;
        } else {
            const auto mask = static_cast<uint32_t>(
                platform::GetProfileInt(alerting::kRecordSection, "AlertLevel", 0, recordPath));
            if (alerting::BuildRecipientList(ctx, mask, alerting::kRecipientEMail, recipients,
                                             alerting::kRecipientListSize) == 0) {
                return 1;
            }
        }
        const std::string title =
            platform::GetProfileString(alerting::kRecordSection, "ErrorTitle", "N/A", recordPath);
        ctx.PostComponentStatus(kAlertNotifyComponent,
                                "Sending e-mail notification for check/alert " + title);

        std::string subject;
        std::string body;
        try {
            if (!ComposeAlertEMail(ctx, recordPath, subject, body))
                return 0;
        } catch (const std::bad_alloc&) {
            log(2, "Insufficient memory whilst generating alert text");
            return 0;
        }
        return SendEMailMessage(ctx, title, subject, body, recipients, progress);
    } catch (const std::bad_alloc&) {
        log(1, "Insufficient memory available to send network message");
        return 0;
    }
}

}  // namespace kvzn::channels
