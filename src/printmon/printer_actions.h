// Automatic responses of the printer checks: printer and job operations (codes 5 to 14),
// owner notices, and every other code handed to the common response runner.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "printmon/print_server.h"

namespace kvzn::printmon {

inline constexpr uint32_t kPausePrinter = 5;
inline constexpr uint32_t kResumePrinter = 6;
inline constexpr uint32_t kTakeOffline = 7;
inline constexpr uint32_t kBringOnline = 8;
inline constexpr uint32_t kPurgePrinter = 9;
inline constexpr uint32_t kRedirectQueue = 10;
inline constexpr uint32_t kPauseDocument = 11;
inline constexpr uint32_t kResumeDocument = 12;
inline constexpr uint32_t kRestartDocument = 13;
inline constexpr uint32_t kDeleteDocument = 14;

// Carries out the response of `check` for `printer`. `jobId`, `document` and `user` are
// given by the document checks (codes 11 to 14 need them); the state checks give none.
// Returns 1 (no response run), 2 (carried out; `description` set) or 3 (failed and
// alerted, or the common runner's result 3). After a printer operation the spooler session
// is read again, and the monitor waits "PrintActionWaitTime" seconds (a stop ends the
// wait).
unsigned RunSpecifiedPrinterActions(PrintEnv& env, const PrinterHandle* handle,
                                    std::string_view stateText, int jobId,
                                    const std::optional<std::string>& document,
                                    const std::optional<std::string>& user,
                                    const std::string& printer, PrinterCheck& check,
                                    std::optional<std::string>& description);

}  // namespace kvzn::printmon
