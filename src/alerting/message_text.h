// Alert texts: macro substitution into messages, commands and alert engine scripts, and the
// date and time texts that records, messages and web pages show.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace kvzn::alerting {

// Sizes of the fixed value fields, terminator included: a value longer than its size minus
// one is cut to that length when it is substituted.
inline constexpr size_t kAlertTextFieldSize = 256;
inline constexpr size_t kAlertTimeFieldSize = 30;

// The values of one alert that the macros stand for. The caller fills it from the alert
// record; the texts may be of any length, substitution applies the field sizes above
// (the message is always used whole).
struct AlertTextContext {
    std::string message;      // "<$$ERROR>"
    std::string title;        // "<$$TITLE>", "<$$TEST>"
    std::string timeLogged;   // "<$$TIMELOGGED>", the record's standard time text
    std::string timeNow;      // "<$$TIMENOW>", the standard time text of the delivery
    std::string extra1;       // "<$$INFO>", "<$$INFO1>" and the first category value
    std::string extra2;       // "<$$INFO2>" and the second category value
    std::string extra3;       // "<$$INFO3>" and the third category value
    std::string source;       // "<$$SOURCE>"
    std::string osName;       // "<$$OSNAME>", see OperatingSystemName()
    std::string servicePack;  // "<$$SERVICEPACK>", see ServicePackText()
    int levelNumber = 0;      // "<$$ALERTLEVEL>", see LevelNumber()
    std::string server;       // "<$$SERVER>", the local computer name
};

// The level number of an alert level mask: 1 to 20 when exactly one of bits 0 to 19 is
// set, otherwise 0 (no level, several levels, 1023 = every level).
int LevelNumber(uint32_t mask);

// How the string form expands "<$$TIMELOGGED>": as stored (alert delivery), or in the
// process date order like the script form (the test messages of the configuration utility).
enum class TimeLoggedText { kAsStored, kInDateOrder };

// Expands the macros of `templ` for an alert of `category` ("ErrorType") into `out`, which
// is replaced. Unknown macros ("<$$" ... ">") become "[not defined]"; "<$$ERROR,n>" is not
// a macro here. `dateFormat` is the "DateFormat" value (2 = month first). `templ` may view
// `out` itself. Returns 1, or 0 when memory runs out (logged; `out` is then empty).
// @threadsafety Always.
int SubstituteParamsForString_Dynamic(int category, std::string_view templ, std::string& out,
                                      const AlertTextContext& ctx, int dateFormat,
                                      TimeLoggedText timeLogged = TimeLoggedText::kAsStored);

// Rewrites one value before it is inserted, for a consumer that gives characters a meaning
// (a command line quotes it). `textBefore` is the expansion up to the macro.
using ValueTransform =
    std::function<std::string(std::string_view value, std::string_view textBefore)>;
// The string form with each macro value passed through `transform`; "[not defined]" and
// the template's own text are inserted unchanged.
int SubstituteParamsForString_Dynamic(int category, std::string_view templ, std::string& out,
                                      const AlertTextContext& ctx, int dateFormat,
                                      const ValueTransform& transform);

// Copies the alert engine template at `templatePath` (a double quote at its start and one at
// its end are ignored) to `outputPath` (created or emptied), expanding the macros as the
// string form does and also "<$$ERROR,n>" (the first n characters of the message).
// "<$$TIMELOGGED>" is written in the date order of `dateFormat`.
// The template is read in pieces of at most 258 characters, each ending at a line feed or
// at that length; a macro is found only within one piece, so a macro that straddles the
// 258-character boundary of a longer line is copied as it stands. Every other character
// is copied whatever the line length.
// Returns 1 when the output was written; 0 when the template cannot be opened, the output
// cannot be created or writing it fails (each logged under kvZNAlertEngine).
// @threadsafety Always; two callers must not name the same output file.
// The first failure to open a missing template is logged at level 1, later ones at level 5:
// `notices` remembers it (the alert engine keeps one for the run).
struct TemplateNotices {
    std::atomic<bool> missingLogged{false};
};
// `transform`, when given, rewrites each macro value as in the string form; its text before
// is the expansion of the current piece.
int SubstituteParams(int category, const std::string& templatePath, const std::string& outputPath,
                     const AlertTextContext& ctx, int dateFormat, TemplateNotices& notices,
                     const ValueTransform* transform = nullptr);

// "dd/mm/yyyy hh:mm:ss" of `local`, or "mm/dd/yyyy hh:mm:ss" when `dateFormat` is 2.
std::string StandardTimeText(const std::tm& local, int dateFormat);
// The same for the current local time of `clock`.
std::string StandardTimeText(int dateFormat,
                             const platform::Clock& clock = platform::SystemClock());

// "6th Dec. 2026 at 09:05:01": day with its ordinal suffix, month name, year and time.
std::string LongDateText(const std::tm& local);
std::string LongDateText(const platform::Clock& clock = platform::SystemClock());

// Exchanges the first two "/"-separated fields ("31/12/2026 ..." <-> "12/31/2026 ..."),
// keeping at most 50 bytes; a text with fewer than two "/" is returned unchanged.
std::string ExchangeDateFields(std::string_view text);

// The name of the running system: PRETTY_NAME of /etc/os-release (else
// /usr/lib/os-release), "Linux" when the file does not name it, "N/A" when neither file
// can be read. The overload reads only `osReleasePath`.
std::string OperatingSystemName();
std::string OperatingSystemName(const std::string& osReleasePath);

// The kernel release, standing in for the service pack; "[None]" when it is empty.
std::string ServicePackText();

}  // namespace kvzn::alerting
