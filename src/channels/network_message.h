// Network messages: an alert, or any text, written to the terminals of named users.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

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

// Sends the alert record at `recordPath` as a network message, to `recipients` when given
// (names separated by "," or line feeds), else to the "NetSend" contacts whose level and
// time window match the record's "AlertLevel". The text is the "MessageText" template of
// the Contacts key with the record's macros expanded, or the fixed layout when the
// template is "NONE". A message that is itself one of our alert notifications is not
// passed on again.
// Returns 1 when sent (single names may have failed; those are logged), when there was
// nothing to send or when the alert was ignored as repeated; 0 when memory ran out or the
// template could not be expanded.
// @threadsafety Always.
int SendNetworkMessageFromFile(service::ServiceContext& ctx, const std::string& recordPath,
                               const std::optional<std::string>& recipients = std::nullopt,
                               const NetSendOptions& options = {});

// Sends `text` to each name of `recipients` ("," or line feed between names, blanks around
// them ignored): the local computer name (any case) reaches every logged-in user, any other
// name that user's terminals. Escape and control characters are removed first. When
// "NetSend Server" names another host nothing is delivered, and each name is logged as
// failed with kTerminalRemoteHost. `title` is not used.
// Returns 1, also when names failed (each logged); 0 only when memory ran out.
// @threadsafety Always.
int SendNetworkMessage(service::ServiceContext& ctx, std::string_view title, std::string_view text,
                       std::string_view recipients, const NetSendOptions& options = {});

// "MessageText" is read at the first alert and kept for the life of the process; this
// makes the next alert read it again.
void ResetNetworkMessageTextForTesting();

}  // namespace kvzn::channels
