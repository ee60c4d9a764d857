// Alert e-mail: the subject and body of an alert record, and delivery to a recipient list.
#include "channels/alert_email.h"

#include <algorithm>
#include <cctype>
#include <mutex>
#include <new>

#include "alerting/dispatcher.h"
#include "alerting/message_text.h"
#include "alerting/recipients.h"
#include "companion/activity_log.h"
#include "config/registry_names.h"
#include "config/scrambled_values.h"
#include "platform/profile_file.h"
#include "platform/text.h"

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

}  // namespace

SmtpSecurity ReadSmtpSecurity(service::ServiceContext& ctx) {
    const std::string key = config::SubKey(config::subkey::kContacts);
    SmtpSecurity security;
    uint32_t mode = 1;
    ctx.registry.ReadNumber(key, config::contacts::kSmtpTls, mode);
    security.tls =
        mode == 0 ? SmtpTls::kOff : (mode >= 2 ? SmtpTls::kRequired : SmtpTls::kWhenOffered);
    ctx.registry.ReadText(key, config::contacts::kSmtpCAFile, security.trust.caFile, kSettingSize);
    config::kvHlpSvc2(ctx.registry, ctx.registry.Store(), key, config::contacts::kSmtpUser,
                      security.user, kSettingSize);
    config::kvHlpSvc2(ctx.registry, ctx.registry.Store(), key, config::contacts::kSmtpPassword,
                      security.password, kSettingSize);
    return security;
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
            platform::TrimBlanks(list.substr(start, std::min(end - start, kMaxEntryLength)));
        start = end + 1;
        if (entry.empty())
            continue;
        EMailRoute route = common;
        route.entry = std::string(entry);
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
            fields.push_back(platform::TrimBlanks(entry.substr(pos, next - pos)));
            if (next == std::string_view::npos)
                break;
            pos = next + 1;
        }
        route.address = std::string(fields[0]);
        if (fields.size() > 1 && !fields[1].empty())
            route.server = std::string(fields[1]);
        if (fields.size() > 2 && !fields[2].empty() && !platform::EqualsNoCase(fields[2], "<NONE>"))
            route.sender = std::string(fields[2]);
        if (fields.size() > 3 && !fields[3].empty())
            route.port = ParsePort(fields[3]);
        routes.push_back(std::move(route));
    }
    return routes;
}

EMailChannel::Templates EMailChannel::EMailTemplates() {
    std::scoped_lock lock(templatesMutex_);
    if (!templates_) {
        const std::string key = config::SubKey(config::subkey::kContacts);
        Templates t{"NONE", kDefaultTitleText};
        ctx_.registry.ReadText(key, config::contacts::kMessageText, t.messageText,
                               kMessageTextSize);
        ctx_.registry.ReadText(key, config::contacts::kTitleText, t.titleText, kTitleTextSize);
        templates_ = std::move(t);
    }
    return *templates_;
}

int EMailChannel::SendEMailMessage(std::string_view title, std::string_view subject,
                                   std::string_view body, std::string_view list,
                                   const SmtpProgress& progress, std::string* unserved) {
    const companion::Logger log(kModule, "SendEMailMessage");
    service::ServiceContext& ctx = ctx_;
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
    const SmtpSecurity security = ReadSmtpSecurity(ctx);
    SmtpSecurity ownServer = security;  // the common server's logon is for that server only
    ownServer.user.clear();
    ownServer.password.clear();
    int result = 1;
    for (const EMailRoute& route : routes) {
        std::scoped_lock lock(sendMutex_);
        const bool commonServer = platform::EqualsNoCase(route.server, common.server);
        if (!kvZNNotify_SMTPConnectAndSend(route.server, route.server, route.port, route.sender,
                                           route.address, subject, body, progress,
                                           commonServer ? security : ownServer)) {
            result = 0;
            if (unserved != nullptr) {
                if (!unserved->empty()) {
                    *unserved += ',';
                }
                *unserved += route.entry;
            }
        }
    }
    return result;
}

int EMailChannel::ComposeAlertEMail(const alerting::AlertRecord& record, std::string& subject,
                                    std::string& body) {
    using alerting::RecordText;
    service::ServiceContext& ctx = ctx_;
    subject.clear();
    body.clear();
    const std::string message =
        RecordText(record.message, "", static_cast<size_t>(std::max(0L, record.messageSize)) + 5);
    const std::string timeLogged = RecordText(record.time, "", 30);
    const std::string source = RecordText(record.appName, "N/A");
    const std::string title = RecordText(record.errorTitle, "N/A");
    const int category = record.errorType;
    const std::string timeNow = alerting::StandardTimeText(ctx.clock.LocalNow(), ctx.DateFormat());
    const std::string osName = alerting::OperatingSystemName();
    const std::string servicePack = alerting::ServicePackText();

    const Templates templates = EMailTemplates();
    // An empty template would give an empty body, which no session sends.
    if (!templates.messageText.empty() && !platform::EqualsNoCase(templates.messageText, "NONE")) {
        alerting::AlertTextContext text;
        text.message = message;
        text.title = title;
        text.timeLogged = timeLogged;
        text.timeNow = timeNow;
        text.extra1 = RecordText(record.additionalInfo[0], "", 256);
        text.extra2 = RecordText(record.additionalInfo[1], "", 256);
        text.extra3 = RecordText(record.additionalInfo[2], "", 256);
        text.source = source;
        text.osName = osName;
        text.servicePack = servicePack;
        text.levelNumber = alerting::LevelNumber(record.LevelMask());
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

alerting::EMailResult EMailChannel::SendEMailMessageFromFile(const alerting::AlertRecord& record,
                                                             const std::optional<std::string>& list,
                                                             const SmtpProgress& progress) {
    const companion::Logger log(kModule, "SendEMailMessageFromFile");
    alerting::EMailResult sent;
    try {
        std::string recipients;
        if (list) {
            recipients = *list;
        } else if (alerting::BuildRecipientList(ctx_, record.LevelMask(), alerting::kRecipientEMail,
                                                recipients, alerting::kRecipientListSize) == 0) {
            return sent;
        }
        const std::string title = alerting::RecordText(record.errorTitle, "N/A");
        ctx_.PostComponentStatus(kAlertNotifyComponent,
                                 "Sending e-mail notification for check/alert " + title);

        std::string subject;
        std::string body;
        try {
            if (!ComposeAlertEMail(record, subject, body)) {
                sent.result = 0;
                return sent;
            }
        } catch (const std::bad_alloc&) {
            log(2, "Insufficient memory whilst generating alert text");
            sent.result = 0;
            return sent;
        }
        sent.result = SendEMailMessage(title, subject, body, recipients, progress, &sent.unserved);
        return sent;
    } catch (const std::bad_alloc&) {
        log(1, "Insufficient memory available to send network message");
        sent.result = 0;
        return sent;
    }
}

}  // namespace kvzn::channels
