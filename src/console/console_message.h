// Console messages: the "CSL" text frames that console programs and the service exchange,
// built and checked as pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kvzn::console {

inline constexpr std::string_view kSeparator = "##";
inline constexpr std::string_view kProductName = "Korvane Tessel Print Monitor";
inline constexpr std::string_view kMonitorVersion = "4.2";
// The most a message may declare; anything longer is refused rather than buffered.
inline constexpr size_t kMaxMessage = 64 * 1024;

// Request numbers (console to service).
enum Request : int {
    kRegister = 5,
    kGetFile = 16,
    kStartActivity = 23,
    kStopActivity = 24,
    kReRegister = 26,
};

// Message types (service to console).
enum Notice : int {
    kDone = 0,
    kNotSupported = 1,
    kFailed = 2,
    kAlert = 8,
    kAccessDenied = 14,
    kStopping = 15,
    kFileNotFound = 17,
    kFileFollows = 18,
    kStarted = 21,
    kActivityLine = 25,
};

inline constexpr std::string_view kNotSupportedText =
    "The Console request is not supported by this version of the Tessel Monitor. You may need "
    "to upgrade your Korvane Tessel Monitor or Console applications";
inline constexpr std::string_view kFailedText =
    "An error prevented Console client registration. Please try again later";
inline constexpr std::string_view kFileNotFoundText =
    "The requested file was not found on this server";
inline constexpr std::string_view kFileFollowsText = "The requested file is about to be sent";

// Builds a whole message: "CSL##<length>##<type>##<text>". The length counts every
// character of the message including its own digits.
std::string BuildConsoleMessage(int type, std::string_view text);
// The fields joined with the separator.
std::string JoinFields(const std::vector<std::string>& fields);

enum class Parse {
    kIncomplete,  // a prefix of a message: keep reading
    kComplete,    // `length` bytes form one message
    kInvalid,     // never a message; `error` says why
};

struct ParsedMessage {
    Parse status = Parse::kIncomplete;
    size_t length = 0;                // with kComplete: bytes of the message
    int number = 0;                   // request number (inbound) or type (outbound)
    std::vector<std::string> fields;  // the text's fields, in order
    std::string error;                // with kInvalid: the activity-log text
};

// Looks at the bytes received so far. Pure; each call looks at the whole of `data`.
ParsedMessage ParseConsoleMessage(std::string_view data);

// True when `data` may still become a console message (it starts with "CSL" or a prefix).
bool MayBeConsoleMessage(std::string_view data);

// A console's listening port: 1 to 65535 in decimal, nothing else.
std::optional<uint16_t> ParsePort(std::string_view text);

// One activity line: time stamp, component name in brackets, then the text, which may take
// at most 1,000 characters less the name's length; a longer text is cut and ends "...".
// `dateFormat` 1 puts the day first, any other value the month.
std::string FormatActivityLine(int dateFormat, int year, int month, int day, int hour, int minute,
                               int second, std::string_view component, std::string_view text);

}  // namespace kvzn::console
