// One alert record "PRT<n>.err": a profile file with the section "Default" and fixed keys.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/status.h"

namespace kvzn::alerting {

inline constexpr const char* kRecordSection = "Default";

// The key names of a record, in the order they are written.
namespace record_key {
inline constexpr const char* kMessage = "Message";
inline constexpr const char* kMessageSize = "MessageSize";
inline constexpr const char* kErrorType = "ErrorType";
inline constexpr const char* kAlertLevel = "AlertLevel";
inline constexpr const char* kAlertAction = "AlertAction";
inline constexpr const char* kAutoResponse = "Auto-Response";
inline constexpr const char* kUserId = "UserID";
inline constexpr const char* kTime = "Time";
inline constexpr const char* kAppName = "AppName";
inline constexpr const char* kOrigin = "Origin";
inline constexpr const char* kSent = "Sent";
inline constexpr const char* kRunningTime = "RunningTime";
inline constexpr const char* kErrorTitle = "ErrorTitle";
inline constexpr std::array<const char*, 3> kAdditionalInfo = {"AdditionalInfo1", "AdditionalInfo2",
                                                               "AdditionalInfo3"};
inline constexpr const char* kApiLogged = "APILogged";
inline constexpr const char* kLoggedOn = "LoggedOn";
inline constexpr const char* kTestId = "TestID";
inline constexpr const char* kErrorXStatus = "ErrorXStatus";
// Delivery state of an e-mail that is to be sent again.
inline constexpr const char* kSmtpDelayed = "SMTPDelayed";
inline constexpr const char* kSmtpAttempts = "SMTPAttempts";
inline constexpr const char* kSmtpPending = "SMTPPending";
}  // namespace record_key

// Every value of an alert record. Texts that a record may lack are optional, so each
// consumer keeps its own default for a damaged or foreign record; numbers read their
// leading digits (0 when there are none).
struct AlertRecord {
    std::optional<std::string> message;
    long messageSize = 0;
    int errorType = 0;
    std::optional<uint32_t> alertLevel;  // not in internal records
    std::optional<uint32_t> alertAction;
    std::optional<bool> autoResponse;
    std::string userId;
    std::optional<std::string> time;
    std::optional<std::string> appName;
    std::string origin = "50";
    std::string sent = "N";
    uint64_t runningTime = 0;
    std::optional<std::string> errorTitle;
    std::array<std::optional<std::string>, 3> additionalInfo;
    std::string apiLogged = "N";
    std::string loggedOn = "N/A";
    std::string testId = "N/A";
    std::string errorXStatus = "5";

    // The e-mail failed and is to be sent again by the delayed e-mail thread.
    bool smtpDelayed = false;
    bool smtpDelayedWritten = false;  // "SMTPDelayed" is in the file (TRUE or FALSE)
    uint32_t smtpAttempts = 0;        // failed deliveries of the e-mail so far
    // The recipient entries still to be served (the list form of the e-mail channel);
    // absent: every recipient of the record's level.
    std::optional<std::string> smtpPending;

    // Keys of the file this type does not know, kept in order so that saving loses nothing.
    std::vector<std::pair<std::string, std::string>> otherKeys;

    // The level mask ("AlertLevel"), 0 when absent.
    uint32_t LevelMask() const { return alertLevel.value_or(0); }
    std::string TitleOr(std::string_view fallback) const {
        return errorTitle ? *errorTitle : std::string(fallback);
    }

    static AlertRecord Parse(std::string_view text);
    // A missing file is a failure with err() == ENOENT.
    static platform::Result<AlertRecord> Load(const std::string& path);
    std::string Serialize() const;
    // Replaces the file atomically. `durable`: its data is on disk when this returns.
    platform::Status Save(const std::string& path, bool durable = true) const;
};

// A text of a record as a consumer reads it: `fallback` when the key is missing, cut to
// `maxLength` - 1 characters (the consumer's field size; 0: no limit).
std::string RecordText(const std::optional<std::string>& value, std::string_view fallback,
                       size_t maxLength = 260);

}  // namespace kvzn::alerting
