// Datagrams: one UDP message to a host and port, without reply.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/status.h"

namespace kvzn::platform {

// Sends `data` once as one UDP datagram to `host` (a dotted address is used as it is, a
// name is resolved first) and `port`. The failing step is the Status's call():
// "getaddrinfo" (the name does not resolve; no socket was created), "socket" or "sendto".
// Name resolution waits at most as long as the resolver's own time-outs allow.
// @threadsafety Always; nothing is shared between calls.
Status SendDatagram(std::string_view host, uint16_t port, std::string_view data);

}  // namespace kvzn::platform
