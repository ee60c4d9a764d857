// Network messages: an alert, or any text, written to the terminals of named users.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "alerting/alert_record.h"
#include "platform/terminal_messages.h"
#include "service/service_context.h"

namespace kvzn::channels {

// Receives each progress line of a delivery (the configuration utility's test dialog shows
// them); the service passes none.
using NetSendProgress = std::function<void(std::string_view line)>;

struct NetSendOptions {
    NetSendProgress progress;                         // none: no progress lines
    platform::TerminalMessages* terminals = nullptr;  // none: the terminals of this machine
};

// The network message channel of one run: it keeps the "MessageText" template of the
// Contacts key, read at the first alert of the run ("NONE" when missing).
// @threadsafety Always.
class NetworkMessageChannel {
  public:
    explicit NetworkMessageChannel(service::ServiceContext& ctx) : ctx_(ctx) {}
    NetworkMessageChannel(const NetworkMessageChannel&) = delete;
    NetworkMessageChannel& operator=(const NetworkMessageChannel&) = delete;

    // Sends an alert record as a network message, to `recipients` when given (names
    // separated by "," or line feeds), else to the "NetSend" contacts whose level and time
    // window match the record's "AlertLevel". The text is the template with the record's
    // macros expanded, or the fixed layout when the template is "NONE". A message that is
    // itself one of our alert notifications is not passed on again.
    // Returns 1 when sent (single names may have failed; those are logged), when there was
    // nothing to send or when the alert was ignored as repeated; 0 when memory ran out or
    // the template could not be expanded.
    int SendNetworkMessageFromFile(const alerting::AlertRecord& record,
                                   const std::optional<std::string>& recipients = std::nullopt,
                                   const NetSendOptions& options = {});

  private:
    std::string MessageTemplate();

    service::ServiceContext& ctx_;
    std::mutex templateMutex_;
    std::optional<std::string> template_;  // guarded by templateMutex_
};

// Sends `text` to each name of `recipients` ("," or line feed between names, blanks around
// them ignored): the local computer name (any case) reaches every logged-in user, any other
// name that user's terminals. Escape and control characters are removed first. When
// "NetSend Server" names another host nothing is delivered, and each name is logged as
// failed with kTerminalRemoteHost. `title` is not used.
// Returns 1, also when names failed (each logged); 0 only when memory ran out.
// @threadsafety Always.
int SendNetworkMessage(service::ServiceContext& ctx, std::string_view title, std::string_view text,
                       std::string_view recipients, const NetSendOptions& options = {});

}  // namespace kvzn::channels
