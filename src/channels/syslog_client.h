// SysLog delivery: one alert text as one BSD SysLog datagram over UDP.
#pragma once

#include <ctime>
#include <functional>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace kvzn::channels {

inline constexpr size_t kSysLogMaxDatagram = 1023;
inline constexpr int kSysLogDefaultPort = 514;
inline constexpr int kSysLogDefaultFacility = 14;
inline constexpr int kSysLogDefaultSeverity = 1;

// Receives the progress lines of a delivery (the configuration utility shows them).
using SysLogProgress = std::function<void(std::string_view line)>;

// "<PRI> Mmm dd hh:mm:ss HOST TEXT": priority facility * 8 + severity, the local time
// `local`, the host name and the text with control characters made blanks, cut (never
// inside a UTF-8 character) so that the datagram stays within 1023 bytes.
std::string BuildSysLogDatagram(int facility, int severity, const std::tm& local,
                                std::string_view host, std::string_view text);

// Sends the datagram of `text` to `server` (name or dotted address) and `port`. 1 when it
// was handed to the network, 0 on failure (logged at level 1 under kvZNSysLog).
// @threadsafety Always.
int kvZNSysLog_Send(const SysLogProgress& progress, std::string_view server, int port, int facility,
                    int severity, std::string_view host, std::string_view text,
                    const platform::Clock& clock = platform::SystemClock());

}  // namespace kvzn::channels
