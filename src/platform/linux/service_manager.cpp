// Choice of the machine's service manager.
#include "platform/service_manager.h"

#include <filesystem>

namespace kvzn::platform {

std::unique_ptr<ServiceManager> MakeServiceManager(const std::string& root) {
    // The test systemd itself uses (sd_booted): the directory exists while systemd is PID 1.
    const std::string base = root.empty() || root == "/" ? "" : root;
    std::error_code ec;
    if (std::filesystem::is_directory(base + "/run/systemd/system", ec)) {
        return MakeSystemdManager(root);
    }
    return MakeSysVManager(root);
}

}  // namespace kvzn::platform
