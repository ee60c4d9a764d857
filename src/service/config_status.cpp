// The configuration-status file: checks that cannot work on this server, by monitor.
#include "service/config_status.h"

#include <strings.h>

#include "config/registry_names.h"
#include "platform/profile_file.h"
#include "platform/text.h"

namespace kvzn::service {

namespace {

bool IsFlagKey(std::string_view key) {
    return key == kNoConfigValues || key == kPermanentError || key == kNoKeywordError;
}

// Log types of the text log file checks; the others are event log checks.
bool IsLogFileType(uint32_t type) {
    return type == 3 || type == 4 || type == 6 || type == 7;
}

}  // namespace

std::string ConfigStatusPath(const ServiceContext& ctx) {
    return ctx.home + "/kvZNConfigStatus_PRT.err";
}

void RecordConfigStatus(ServiceContext& ctx, std::string_view section, std::string_view key,
                        int number, std::string_view value, std::string_view registryKey,
                        std::string_view registrySubkey) {
    std::scoped_lock lock(ctx.locks.dateTime);
    const std::string path = ConfigStatusPath(ctx);
    if (key.empty()) {
        platform::DeleteProfileSection(section, path);
    } else if (IsFlagKey(key)) {
        platform::WriteProfileString(section, key, "1", path);
    } else {
        platform::WriteProfileString(section, std::string(key) + std::to_string(number), value,
                                     path);
    }
    if (ctx.firstRun && !registryKey.empty()) {
        ctx.registry.WriteFlag(std::string(registryKey) + "\\" + std::string(registrySubkey),
                               config::check::kEnabled, 0);
    }
}

int DisableLogChecks(ServiceContext& ctx, std::string_view section, int counter,
                     std::string_view fileName, std::string_view reason) {
    std::scoped_lock lock(ctx.locks.dateTime);
    const std::string path = ConfigStatusPath(ctx);
    const bool logFiles = platform::EqualsNoCase(section, "LogFiles");
    const std::string logs = config::SubKey(config::subkey::kLogs);
    for (int n = 1;; ++n) {
        const std::string entry = logs + "\\" + config::Numbered(config::list::kLogEntry, n);
        std::string file;
        if (ctx.registry.ReadText(entry, "File", file) != 0) {
            return counter;
        }
        uint32_t type = 0;
        ctx.registry.ReadNumber(entry, config::list::kLogType, type);
        if (IsLogFileType(type) != logFiles || !platform::EqualsNoCase(file, fileName)) {
            continue;
        }
        ctx.registry.WriteFlag(entry, config::check::kEnabled, 0);
        std::string name;
        if (ctx.registry.ReadText(entry, config::check::kName, name) == 0) {
            platform::WriteProfileString(section, "Title" + std::to_string(counter), name, path);
            platform::WriteProfileString(section, "Reason" + std::to_string(counter), reason, path);
            ++counter;
        }
    }
}

}  // namespace kvzn::service
