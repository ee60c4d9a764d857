// One alert record "PRT<n>.err": reading and writing every value of the file.
#include "alerting/alert_record.h"

#include "platform/file.h"
#include "platform/profile_file.h"
#include "platform/text.h"

namespace kvzn::alerting {

namespace {

namespace key = record_key;

// The leading decimal digits of a value ("12abc" = 12); nullopt without digits.
std::optional<long long> LeadingNumber(std::string_view value) {
    std::string_view s = platform::TrimBlanks(value);
    const bool negative = !s.empty() && s.front() == '-';
    if (negative) {
        s.remove_prefix(1);
    }
    if (s.empty() || s.front() < '0' || s.front() > '9') {
        return std::nullopt;
    }
    long long n = 0;
    for (char c : s) {
        if (c < '0' || c > '9') {
            break;
        }
        if (n > (1LL << 53)) {
            break;  // far beyond any value a record holds: keep what was read
        }
        n = n * 10 + (c - '0');
    }
    return negative ? -n : n;
}

constexpr std::array<const char*, 20> kKnownKeys = {
    key::kMessage,      key::kMessageSize,  key::kErrorType,    key::kAlertLevel,
    key::kAlertAction,  key::kAutoResponse, key::kUserId,       key::kTime,
    key::kAppName,      key::kOrigin,       key::kSent,         key::kRunningTime,
    key::kErrorTitle,   key::kApiLogged,    key::kLoggedOn,     key::kTestId,
    key::kErrorXStatus, key::kSmtpDelayed,  key::kSmtpAttempts, key::kSmtpPending};

bool IsKnownKey(std::string_view name) {
    for (const char* known : kKnownKeys) {
        if (platform::EqualsNoCase(name, known)) {
            return true;
        }
    }
    for (const char* info : key::kAdditionalInfo) {
        if (platform::EqualsNoCase(name, info)) {
            return true;
        }
    }
    return false;
}

}  // namespace

AlertRecord AlertRecord::Parse(std::string_view text) {
    const platform::ProfileFile file = platform::ProfileFile::Parse(text);
    auto get = [&](const char* name) { return file.Get(kRecordSection, name); };
    auto number = [&](const char* name) -> std::optional<long long> {
        const auto v = get(name);
        return v ? LeadingNumber(*v) : std::nullopt;
    };
    AlertRecord r;
    r.message = get(key::kMessage);
    r.messageSize = static_cast<long>(number(key::kMessageSize).value_or(0));
    r.errorType = static_cast<int>(number(key::kErrorType).value_or(0));
    if (get(key::kAlertLevel)) {
        r.alertLevel = static_cast<uint32_t>(number(key::kAlertLevel).value_or(0));
    }
    if (get(key::kAlertAction)) {
        r.alertAction = static_cast<uint32_t>(number(key::kAlertAction).value_or(0));
    }
    if (const auto v = get(key::kAutoResponse)) {
        r.autoResponse = *v == "1";
    }
    r.userId = get(key::kUserId).value_or("");
    r.time = get(key::kTime);
    r.appName = get(key::kAppName);
    r.origin = get(key::kOrigin).value_or(r.origin);
    r.sent = get(key::kSent).value_or(r.sent);
    r.runningTime = static_cast<uint64_t>(std::max(0LL, number(key::kRunningTime).value_or(0)));
    r.errorTitle = get(key::kErrorTitle);
    for (size_t i = 0; i < 3; ++i) {
        r.additionalInfo[i] = get(key::kAdditionalInfo[i]);
    }
    r.apiLogged = get(key::kApiLogged).value_or(r.apiLogged);
    r.loggedOn = get(key::kLoggedOn).value_or(r.loggedOn);
    r.testId = get(key::kTestId).value_or(r.testId);
    r.errorXStatus = get(key::kErrorXStatus).value_or(r.errorXStatus);
    if (const auto v = get(key::kSmtpDelayed)) {
        r.smtpDelayedWritten = true;
        r.smtpDelayed = platform::EqualsNoCase(platform::TrimBlanks(*v), "TRUE");
    }
    r.smtpAttempts = static_cast<uint32_t>(std::max(0LL, number(key::kSmtpAttempts).value_or(0)));
    r.smtpPending = get(key::kSmtpPending);
    for (const std::string& name : file.KeyNames(kRecordSection)) {
        if (!IsKnownKey(name)) {
            r.otherKeys.emplace_back(name, file.Get(kRecordSection, name).value_or(""));
        }
    }
    return r;
}

platform::Result<AlertRecord> AlertRecord::Load(const std::string& path) {
    auto text = platform::ReadWholeFile(path);
    if (!text.ok()) {
        return text.status();
    }
    return Parse(*text);
}

std::string AlertRecord::Serialize() const {
    platform::ProfileFile file;
    auto set = [&](const char* name, std::string_view value) {
        file.Set(kRecordSection, name, value);
    };
    if (message) {
        set(key::kMessage, *message);
    }
    set(key::kMessageSize, std::to_string(messageSize));
    set(key::kErrorType, std::to_string(errorType));
    if (alertLevel) {
        set(key::kAlertLevel, std::to_string(*alertLevel));
    }
    if (alertAction) {
        set(key::kAlertAction, std::to_string(*alertAction));
    }
    if (autoResponse) {
        set(key::kAutoResponse, *autoResponse ? "1" : "0");
    }
    set(key::kUserId, userId);
    if (time) {
        set(key::kTime, *time);
    }
    if (appName) {
        set(key::kAppName, *appName);
    }
    set(key::kOrigin, origin);
    set(key::kSent, sent);
    set(key::kRunningTime, std::to_string(runningTime));
    if (errorTitle) {
        set(key::kErrorTitle, *errorTitle);
    }
    for (size_t i = 0; i < 3; ++i) {
        if (additionalInfo[i]) {
            set(key::kAdditionalInfo[i], *additionalInfo[i]);
        }
    }
    set(key::kApiLogged, apiLogged);
    set(key::kLoggedOn, loggedOn);
    set(key::kTestId, testId);
    set(key::kErrorXStatus, errorXStatus);
    if (smtpDelayed || smtpDelayedWritten) {
        set(key::kSmtpDelayed, smtpDelayed ? "TRUE" : "FALSE");
    }
    if (smtpAttempts > 0) {
        set(key::kSmtpAttempts, std::to_string(smtpAttempts));
    }
    if (smtpPending) {
        set(key::kSmtpPending, *smtpPending);
    }
    for (const auto& [name, value] : otherKeys) {
        file.Set(kRecordSection, name, value);
    }
    return file.Serialize();
}

platform::Status AlertRecord::Save(const std::string& path, bool durable) const {
    return platform::WriteFileAtomically(
        path, Serialize(), 0644,
        durable ? platform::Durability::kData : platform::Durability::kNone);
}

std::string RecordText(const std::optional<std::string>& value, std::string_view fallback,
                       size_t maxLength) {
    std::string text = value ? *value : std::string(fallback);
    if (maxLength > 0 && text.size() > maxLength - 1) {
        text.resize(maxLength - 1);
    }
    return text;
}

}  // namespace kvzn::alerting
