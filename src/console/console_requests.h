// The console requests that arrive on the web server's port: what each one does to the
// client list and the reply it gets.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "console/console_clients.h"
#include "console/console_message.h"
#include "service/service_context.h"

namespace kvzn::console {

// Component code of the console handler in activity lines.
inline constexpr int kConsoleComponent = 22;

struct ConsoleReply {
    std::string message;   // the whole reply message
    int type = kDone;      // its type
    std::string filePath;  // with kFileFollows: the file whose bytes follow the reply
    int request = 0;       // the request number answered
};

// Handles one complete request from `clientAddress`. nullopt when the request is invalid:
// it is logged and gets no reply (the caller closes the connection).
std::optional<ConsoleReply> ProcessConsoleMessage(service::ServiceContext& ctx,
                                                  ConsoleClients& clients,
                                                  const ParsedMessage& message,
                                                  const std::string& clientAddress);

// The file a get-file request may send: `name` is relative to `home`, and the resolved
// path (links followed) must be a regular file inside the resolved home directory.
std::optional<std::string> ResolveHomeFile(const std::string& home, const std::string& name);

// The lines posted after a console turns its activity display on.
std::vector<std::string> ActivityBanner(const std::string& osText, uint64_t uptimeSeconds);

}  // namespace kvzn::console

namespace kvzn::console {

// Formats a component status line with the current local time and queues it for the
// consoles that watch the activity lines (dropped when the list is busy).
bool PostToConsoles(service::ServiceContext& ctx, ConsoleClients& clients, int componentCode,
                    std::string_view text);

}  // namespace kvzn::console
