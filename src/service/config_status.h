// The configuration-status file: checks that cannot work on this server, by monitor.
#pragma once

#include <string>
#include <string_view>

#include "service/service_context.h"

namespace kvzn::service {

inline constexpr const char* kNoConfigValues = "NoConfigValues";
inline constexpr const char* kPermanentError = "PermanentError";
inline constexpr const char* kNoKeywordError = "NoKeywordError";

// "<home>/kvZNConfigStatus_PRT.err".
std::string ConfigStatusPath(const ServiceContext& ctx);

// Under the date and time lock: an empty key deletes the section; the flag keys are
// written as "1"; any other key is written as key + number ("Title3") with the value.
// On the first run, when `registryKey` is given, "Enabled" of registryKey\registrySubkey
// is set to 0 so that the failing check is switched off.
void RecordConfigStatus(ServiceContext& ctx, std::string_view section, std::string_view key,
                        int number, std::string_view value, std::string_view registryKey = {},
                        std::string_view registrySubkey = {});

// Switches off every log check of `section` ("LogFiles" or "EventLogs") whose "File" is
// `fileName` and lists it with `reason`; returns the counter advanced past the entries
// written.
int DisableLogChecks(ServiceContext& ctx, std::string_view section, int counter,
                     std::string_view fileName, std::string_view reason);

}  // namespace kvzn::service
