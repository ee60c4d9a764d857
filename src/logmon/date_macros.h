// Date macros in log file names: "$$YYMMDD" and friends are replaced by today's date (or a
// date some days away), so that a monitor follows a log that is named by the day.
#pragma once

#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kvzn::logmon {

// The length limit of a path (the longest name is one less).
inline constexpr size_t kPathBuffer = 260;

// Looks up an environment variable; none when it is not set.
using EnvironmentLookup = std::function<std::optional<std::string>(std::string_view)>;
// The process environment.
EnvironmentLookup ProcessEnvironment();

// Replaces each "%NAME%" whose variable is set by its value; other text is kept as it is.
// @threadsafety As `env`.
std::string ExpandEnvironment(std::string_view text, const EnvironmentLookup& env);

struct DateMacroExpansion {
    std::string text;  // the expanded name; when it did not fit, what fitted
    int replaced = 0;  // date macros replaced
    bool fits = true;  // false: the name would need more than size - 1 characters
};

// Expands the environment, then the date macros of `name` for the local date `today` (its
// year, month, day of the month and day of the week are used). An offset macro ("$$DD+n",
// "$$DD-n": the date n days away; "$$DN+n", "$$DN-n": the weekday n days away, taken
// modulo 7) applies the first one found to the whole name. The bracket forms ("$$DD[+2]")
// leave the sign and digits as literal text.
// @threadsafety As `env`.
DateMacroExpansion ExpandDateMacroText(std::string_view name, size_t size, const std::tm& today,
                                       const EnvironmentLookup& env);

// 1 when at least one date macro was replaced and the result fits in size - 1 characters;
// 0 when there was none or the name would not fit (`out` then holds what fitted).
int ExpandDateMacros(std::string_view name, std::string& out, size_t size, const std::tm& today,
                     const EnvironmentLookup& env);

}  // namespace kvzn::logmon
