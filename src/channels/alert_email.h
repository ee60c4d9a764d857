// Alert e-mail: the subject and body of an alert record, and delivery to a recipient list.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "alerting/alert_record.h"
#include "alerting/dispatcher.h"
#include "channels/smtp_client.h"
#include "service/service_context.h"

namespace kvzn::channels {

inline constexpr const char* kDefaultSender = "Korvane/ZN";
inline constexpr int kDefaultSmtpPort = 25;
inline constexpr const char* kDefaultTitleText = "* Error detected on Server <$$SERVER> (<$$TEST>)";

// Where one entry of a recipient list is delivered.
struct EMailRoute {
    std::string address;
    std::string server;
    std::string sender;
    int port = kDefaultSmtpPort;
    std::string entry;  // the entry of the list it came from
};

// The alert e-mail channel of one run: it owns the e-mail send lock and the user templates
// "MessageText" and "TitleText" (read at the first e-mail of the run and kept).
// @threadsafety Always.
class EMailChannel {
  public:
    explicit EMailChannel(service::ServiceContext& ctx) : ctx_(ctx) {}
    EMailChannel(const EMailChannel&) = delete;
    EMailChannel& operator=(const EMailChannel&) = delete;

    // Sends `subject` and `body` to every entry of `list` ("," or line ends between
    // entries), one SMTP session per entry, each under the e-mail send lock. A plain entry
    // goes through the common "E-Mail Server" (port "E-Mail Server Port", sender "Sender");
    // an entry "address~server~sender~port" through its own server. `title` names the alert
    // in logs. Returns 1 when every entry's session succeeded (or the list is empty); 0 when
    // the common server is not configured or any session failed. The remaining entries are
    // served after a failure; `unserved`, when given, receives the entries that failed.
    int SendEMailMessage(std::string_view title, std::string_view subject, std::string_view body,
                         std::string_view list, const SmtpProgress& progress = {},
                         std::string* unserved = nullptr);

    // E-mails an alert record: to `list` when given, otherwise to the e-mail contacts chosen
    // for the record's "AlertLevel". Result 1 when every recipient was served or there were
    // none, 0 on any failure (the caller then records an alerting error), with the entries
    // not served.
    alerting::EMailResult SendEMailMessageFromFile(
        const alerting::AlertRecord& record, const std::optional<std::string>& list = std::nullopt,
        const SmtpProgress& progress = {});

    // The subject and body of the record's e-mail: the user templates when "MessageText" is
    // set and not "NONE", otherwise the fixed layout. Returns 1, or 0 when a template could
    // not be expanded (both texts are then empty).
    int ComposeAlertEMail(const alerting::AlertRecord& record, std::string& subject,
                          std::string& body);

    // Held while a session runs.
    std::mutex& SendLock() { return sendMutex_; }

  private:
    struct Templates {
        std::string messageText;
        std::string titleText;
    };
    Templates EMailTemplates();

    service::ServiceContext& ctx_;
    std::mutex sendMutex_;
    std::mutex templatesMutex_;
    std::optional<Templates> templates_;  // guarded by templatesMutex_
};

// The mail security settings of the store: encryption mode and trusted CAs, and the user
// name and password of the common server (scrambled values).
SmtpSecurity ReadSmtpSecurity(service::ServiceContext& ctx);

// The values shown by the fixed layout.
struct FixedLayoutFields {
    std::string computerName;
    std::string message;
    std::string title;
    std::string timeLogged;
    std::string timeNow;
    std::string source;
    std::string osName;
    std::string servicePack;
};
std::string FixedLayoutBody(const FixedLayoutFields& fields);
std::string FixedLayoutSubject(std::string_view computerName, std::string_view title);

// The entries of `list` resolved against the common route (whose address is unused). In an
// "address~server~sender~port" entry an empty server or port, and a sender that is empty or
// "<NONE>" (any case), keep the common value; a port that is not a number gives 0, which no
// connection accepts. Empty entries are left out; entries are cut to 999 characters.
std::vector<EMailRoute> ResolveRecipientList(std::string_view list, const EMailRoute& common);

}  // namespace kvzn::channels
