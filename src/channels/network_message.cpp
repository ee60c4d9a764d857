// Network messages: an alert, or any text, written to the terminals of named users.
#include "channels/network_message.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <mutex>
#include <new>
#include <vector>

#include "alerting/dispatcher.h"
#include "alerting/message_text.h"
#include "alerting/recipients.h"
#include "companion/activity_log.h"
#include "config/registry_names.h"
#include "platform/profile_file.h"
#include "platform/text.h"

namespace kvzn::channels {

namespace {

constexpr std::string_view kModule = "kvZNNetSend";
constexpr int kAlertNotifyComponent = 12;
constexpr size_t kMessageTextSize = 600;
constexpr size_t kServerNameSize = 260;
constexpr size_t kFixedLayoutAllowance = 2700;  // buffer of "MessageSize" + 2700 bytes

constexpr std::string_view kHeading =
    "\nThe Korvane/Tessel Print Monitor has detected the following error";
constexpr std::string_view kNoMemoryProgress =
    "Error: Insufficient memory available to complete the request ...";

// A notification of this system that found its way back into an alert (a relayed copy).
bool IsOwnNotification(std::string_view message) {
    return platform::ContainsNoCase(message, "Korvane") &&
           platform::ContainsNoCase(message, "has detected the following error");
}

std::vector<std::string> SplitNames(std::string_view list) {
    std::vector<std::string> names;
    size_t pos = 0;
    while (pos <= list.size()) {
        size_t end = list.find_first_of(",\n", pos);
        if (end == std::string_view::npos) {
            end = list.size();
        }
        std::string_view name = list.substr(pos, end - pos);
        const size_t first = name.find_first_not_of(" \t\r");
        if (first != std::string_view::npos) {
            name = name.substr(first, name.find_last_not_of(" \t\r") - first + 1);
            names.emplace_back(name);
        }
        pos = end + 1;
    }
    return names;
}

// The relaying server: empty for the local computer, else "\\NAME". Only the local
// computer (its name in any case, or localhost) delivers here.
bool IsLocalServer(const service::ServiceContext& ctx, std::string_view server) {
    std::string_view host = server;
    host.remove_prefix(std::min(host.find_first_not_of('\\'), host.size()));
    return host.empty() || platform::EqualsNoCase(host, ctx.computerName) ||
           platform::EqualsNoCase(host, "localhost");
}

void Progress(const NetSendOptions& options, std::string_view line) {
    if (options.progress) {
        options.progress(line);
    }
}

// The values of one alert record, as the message texts use them.
struct RecordValues {
    alerting::AlertTextContext text;
    int category = 0;
    uint32_t levelMask = 0;
    size_t messageSize = 0;  // "MessageSize"
};

RecordValues ReadRecord(service::ServiceContext& ctx, const alerting::AlertRecord& record) {
    using alerting::RecordText;
    RecordValues r;
    r.levelMask = record.LevelMask();
    r.text.timeLogged = RecordText(record.time, "N/A", alerting::kAlertTimeFieldSize);
    r.text.source = RecordText(record.appName, "N/A");
    r.text.title = RecordText(record.errorTitle, "N/A");
    r.category = record.errorType;
    r.text.timeNow = alerting::StandardTimeText(ctx.DateFormat(), ctx.clock);
    r.text.osName = alerting::OperatingSystemName();
    r.text.servicePack = alerting::ServicePackText();
    r.messageSize = static_cast<size_t>(std::max(0L, record.messageSize));
    r.text.message = RecordText(record.message, "N/A", r.messageSize + 5);
    r.text.server = ctx.computerName;
    r.text.levelNumber = alerting::LevelNumber(r.levelMask);
    return r;
}

std::string FixedLayoutText(const service::ServiceContext& ctx,
                            const alerting::AlertTextContext& a) {
    std::string text;
    text.append(kHeading).append(" on server ").append(ctx.computerName).append(" ...\n\n");
    text.append(a.message).append("\n\nAdditional information follows ...\n\n");
    text.append("Error/Check Performed: ").append(a.title).append("\n");
    text.append("Error Detected at: ").append(a.timeLogged).append("\n");
    text.append("Notification raised at: ").append(a.timeNow).append("\n");
    text.append("Error Source: ").append(a.source).append("\n");
    text.append("O/S Type: ").append(a.osName).append("\n");
    text.append("Latest Service Pack: ").append(a.servicePack).append("\n\n");
    text.append(
        "If this should not be considered an error, the check value is incorrect or you do not "
        "wish to receive this notification, please edit the check using the Tessel Monitor "
        "Configuration Utility.\n\n");
    return text;
}

}  // namespace

std::string NetworkMessageChannel::MessageTemplate() {
    std::scoped_lock lock(templateMutex_);
    if (!template_) {
        std::string text = "NONE";
        ctx_.registry.ReadText(config::SubKey(config::subkey::kContacts),
                               config::contacts::kMessageText, text, kMessageTextSize);
        template_ = std::move(text);
    }
    return *template_;
}

int NetworkMessageChannel::SendNetworkMessageFromFile(const alerting::AlertRecord& recordFile,
                                                      const std::optional<std::string>& recipients,
                                                      const NetSendOptions& options) {
    service::ServiceContext& ctx = ctx_;
    const companion::Logger log(kModule, "SendNetworkMessageFromFile");
    RecordValues record;
    std::string list;
    try {
        if (recipients) {
            list = *recipients;
        } else {
            if (alerting::BuildRecipientList(ctx, recordFile.LevelMask(),
                                             alerting::kRecipientNetworkMessage, list,
                                             alerting::kRecipientListSize) == 0) {
                return 1;
            }
        }
        record = ReadRecord(ctx, recordFile);
    } catch (const std::bad_alloc&) {
        log(1, "Insufficient memory available to send network message");
        Progress(options, kNoMemoryProgress);
        return 0;
    }
    if (IsOwnNotification(record.text.message)) {
        log(2, "Repeated error detected and will be ignored");
        return 1;
    }

    const std::string messageText = MessageTemplate();
    std::string text;
    if (!platform::EqualsNoCase(messageText, "NONE")) {
        alerting::AlertTextContext values;
        try {
            values = record.text;
            for (size_t i = 0; i < 3; ++i) {
                std::string& extra =
                    i == 0 ? values.extra1 : (i == 1 ? values.extra2 : values.extra3);
                extra = alerting::RecordText(recordFile.additionalInfo[i], "N/A",
                                             alerting::kAlertTextFieldSize);
            }
        } catch (const std::bad_alloc&) {
            log(2, "Insufficient memory whilst generating alert text");
            return 0;
        }
        if (alerting::SubstituteParamsForString_Dynamic(record.category, messageText, text, values,
                                                        ctx.DateFormat()) == 0) {
            return 0;
        }
    } else {
        try {
            text = FixedLayoutText(ctx, record.text);
            text.resize(std::min(text.size(), record.messageSize + kFixedLayoutAllowance - 1));
        } catch (const std::bad_alloc&) {
            log(1, "Insufficient memory available to send network message");
            Progress(options, kNoMemoryProgress);
            return 0;
        }
    }
    Progress(options, "Sending the test network message ...");
    ctx.PostComponentStatus(kAlertNotifyComponent,
                            "Sending network message alert for check " + record.text.title);
    return SendNetworkMessage(ctx, record.text.title, text, list, options);
}

int SendNetworkMessage(service::ServiceContext& ctx, std::string_view /*title*/,
                       std::string_view text, std::string_view recipients,
                       const NetSendOptions& options) {
    const companion::Logger log(kModule, "SendNetworkMessage");
    try {
        std::string server;
        ctx.registry.ReadText(config::SubKey(config::subkey::kContacts),
                              config::contacts::kNetSendServer, server, kServerNameSize);
        if (!server.empty() && server.front() != '\\') {
            server.insert(0, "\\\\");
        }
        const std::vector<std::string> names = SplitNames(recipients);
        if (names.empty()) {
            return 1;
        }
        const std::string clean = platform::CleanTerminalText(text);
        const bool local = IsLocalServer(ctx, server);
        platform::TerminalMessages& terminals =
            options.terminals ? *options.terminals : platform::LocalTerminals();

        for (const std::string& name : names) {
            platform::TerminalDelivery result;
            if (!local) {
                result.code = platform::kTerminalRemoteHost;
                result.detail = "messages are not relayed through " + server +
                                "; only the local computer delivers them";
            } else if (platform::EqualsNoCase(name, ctx.computerName)) {
                result = terminals.SendToAll(clean);
            } else {
                result = terminals.SendToUser(name, clean);
            }
            if (result.code == platform::kTerminalDelivered) {
                log(4, "Network message sent to ", name, " on ", result.terminals, " terminal(s)",
                    result.detail.empty() ? "" : "; a terminal failed: ", result.detail);
                continue;
            }
            Progress(options, "Error: The network message could not be sent ...");
            Progress(
                options,
                "Please check the user ID & that the Messenger service is running on both the ");
            Progress(options, "server & target machine.");
            log(1, "Unable to send network message to ", name,
                ". Please check that the Messenger service is running on the specified machine. "
                "The result was ",
                result.code);
            log(2, "Network message to ", name, ": ", result.detail);
        }
        return 1;
    } catch (const std::bad_alloc&) {
        log(1, "Insufficient memory available to send network message");
        Progress(options, kNoMemoryProgress);
        return 0;
    }
}

}  // namespace kvzn::channels
