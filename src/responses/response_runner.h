// The automatic response runner: server restart with repeat protection, commands, scripts
// and service starts carried out when a check fails, and the vocabulary of response codes
// and alert levels shown by the configuration lists.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/status.h"
#include "service/service_context.h"

namespace kvzn::responses {

// Response codes ("ActionToTake"): the position in the list of the check's kind.
inline constexpr uint32_t kResponseAlertOnly = 0;
inline constexpr uint32_t kResponseLogOnly = 1;
inline constexpr uint32_t kResponseReboot = 2;
inline constexpr uint32_t kResponseCommand = 3;
inline constexpr uint32_t kResponseScript = 4;
inline constexpr uint32_t kResponseRestartService = 5;  // service checks only

// Results of RunSpecifiedActions.
inline constexpr unsigned kNoResponseRun = 1;    // the caller raises its ordinary alert
inline constexpr unsigned kResponseStarted = 2;  // the caller verifies the effect
inline constexpr unsigned kRunnerAlerted = 3;    // the caller raises nothing more

// The texts of the printer list with document actions, in code order; the shorter lists
// are its beginnings.
inline constexpr std::array<std::string_view, 15> kPrinterDocumentResponseTexts = {
    "No Response - Alert Only",
    "No Response - Log Only",
    "Reboot the Server",
    "Run a Command",
    "Run a VBScript",
    "Pause the Printer",
    "Resume the Printer",
    "Set Printer Offline (2000+)",
    "Bring Printer Online (2000+)",
    "Delete all Queued Docs (inc. paused)",
    "Redirect Print Queue",
    "Pause Queued Document",
    "Resume Queued Document",
    "Restart Document Printing",
    "Delete the Queued Document",
};
inline constexpr std::array<std::string_view, 6> kServiceResponseTexts = {
    "No Response - Alert Only", "No Response - Log Only", "Reboot the Server", "Run a Command",
    "Run a VBScript",           "Restart the Service",
};

// Codes 0 to 4: disk space, performance counter, event log and log file checks.
constexpr std::span<const std::string_view> CommonResponseTexts() {
    return std::span(kPrinterDocumentResponseTexts).first(5);
}
// Codes 0 to 5: Windows service checks.
constexpr std::span<const std::string_view> ServiceResponseTexts() {
    return kServiceResponseTexts;
}
// Codes 0 to 10: printer checks.
constexpr std::span<const std::string_view> PrinterResponseTexts() {
    return std::span(kPrinterDocumentResponseTexts).first(11);
}
// Codes 0 to 14: printer checks on queued documents.
constexpr std::span<const std::string_view> PrinterDocumentResponseTexts() {
    return kPrinterDocumentResponseTexts;
}

// "Alert Level 1" to "Alert Level 20"; the lists offer the first 10, a long form all 20.
inline constexpr std::array<std::string_view, 20> kAlertLevelTexts = {
    "Alert Level 1",  "Alert Level 2",  "Alert Level 3",  "Alert Level 4",  "Alert Level 5",
    "Alert Level 6",  "Alert Level 7",  "Alert Level 8",  "Alert Level 9",  "Alert Level 10",
    "Alert Level 11", "Alert Level 12", "Alert Level 13", "Alert Level 14", "Alert Level 15",
    "Alert Level 16", "Alert Level 17", "Alert Level 18", "Alert Level 19", "Alert Level 20",
};
inline constexpr int kListedLevels = 10;

// The level mask of list position `position` (0-based) in a list of `levels` entries:
// 2 to the power `position`; a position outside the list gives 1 (position 0).
uint32_t LevelMaskFromPosition(int position, int levels = kListedLevels);
// The list position of `mask`: the number of its bit when it is a single bit within the
// first `levels` bits, else 0.
int LevelPositionFromMask(uint32_t mask, int levels = kListedLevels);

// Carries out the automatic response of a failed check, on the caller's thread.
// - restartFlag 1: restarts the server unless the same check caused the last restart
//   ("LastRebootedFor") or a restart is already under way; waits 30 s (ctx.clock) for the
//   "Server is Rebooting" alert to go out first. A stop of the service during that wait
//   cancels the restart (logged) and clears "LastRebootedFor". A failed restart request
//   raises a "Monitor/Configuration Error" alert. Result 3.
// - responseCode 5: starts the service named by `command` (aliases resolved). Result 2, or
//   3 after the "Service Restart" alert.
// - any other code: an empty `command` gives 1. Code 4 runs the script file `command`
//   (macros expanded; a value that holds "/" or makes a path component "." or ".." is
//   refused, so a value never chooses another directory) through its own "#!" interpreter
//   when it is executable, else through the program named by the product key value
//   "ScriptInterpreter" (default /bin/sh);
//   every other code runs `/bin/sh -c` with the macros of `command` expanded, each value
//   quoted by QuoteForShell. Both run in "Home" (ctx.home) when set, with the alert's
//   values also in the environment: KVZN_SERVER, KVZN_TITLE, KVZN_ERROR, KVZN_SOURCE,
//   KVZN_INFO1 to KVZN_INFO3, KVZN_TIMELOGGED, KVZN_TIMENOW, KVZN_ALERTLEVEL, KVZN_OSNAME,
//   KVZN_SERVICEPACK. The runner waits "ActionTimeout" seconds (120 when missing or below
//   1): end of the process gives 2; the time-out gives 3 after a "Timed Out" alert; the
//   stop event gives 3 without an alert. A process still running is left to run and is
//   reaped when it ends. A command that cannot start gives 3 after an alert.
// `description` is set only with result 2. Status lines go to the "Alert/Notify" component.
// @threadsafety Always; any monitor thread may call it at any time.
unsigned RunSpecifiedActions(service::ServiceContext& ctx, int category, uint32_t levelMask,
                             uint32_t responseCode, std::string_view checkName,
                             std::string_view alertMessage, int restartFlag,
                             std::string_view command, const std::optional<std::string>& info1,
                             const std::optional<std::string>& info2,
                             const std::optional<std::string>& info3, std::string& description);

// Asks the machine to restart now (ctx.Restarter()). Returns 1 when the request was
// accepted, 0 when it failed (logged at level 1; `failure`, when given, receives why).
int RestartWindows(service::ServiceContext& ctx, platform::Status* failure = nullptr);

// Starts the service `name` (an alias such as "Spooler" resolved to its installed unit)
// without stopping it first and without waiting for it to run. Returns 1 when the start
// was accepted, else 0 with the error number in `error` (when given) and in errno.
int RestartServiceFromName(service::ServiceContext& ctx, std::string_view name,
                           int* error = nullptr);

// "LastRebootedFor": the check whose failure caused the last server restart. Names compare
// without regard to case; an empty value means none. Not atomic as a pair: callers serialise
// restarts through the restart-under-way flag.
void SetLastRebootedFor(service::ServiceContext& ctx, std::string_view checkName);
bool IsLastRebootedFor(service::ServiceContext& ctx, std::string_view checkName);
// Empties "LastRebootedFor" when it names `checkName`; leaves another check's name alone.
void ResetLastRebootedFor(service::ServiceContext& ctx, std::string_view checkName);

// The run's restart-under-way flag: set when a restart begins, cleared only when a repeat
// restart is refused.
bool RestartUnderWay(const service::ServiceContext& ctx);

}  // namespace kvzn::responses
