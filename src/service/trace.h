// The trace-mode console: banner, time-stamped progress lines and the trace switches.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

namespace kvzn::service {

// 1 when the argument holds "/TRACENOMSG", "/TRACEFULL" or "/TRACE" anywhere (any case).
int ParseTraceSwitch(std::string_view argument);
// "HH:MM.SS - text": the local time, a full stop before the seconds.
std::string FormatTraceLine(const std::tm& localTime, std::string_view text);
// Prints FormatTraceLine of the current local time and a line feed to standard output, in
// trace mode only (a service run has no console).
// @threadsafety Always; lines never interleave.
void TraceLine(std::string_view text);
// The banner printed when trace mode starts (without setting the title).
std::string TraceBannerText(std::string_view name);
void ShowTraceBanner(std::string_view name);

}  // namespace kvzn::service
