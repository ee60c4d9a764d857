// Choice of the machine's service manager.
#include "platform/service_manager.h"
#include "platform/process.h"

#include <filesystem>

namespace kvzn::platform {

std::unique_ptr<ServiceManager> MakeServiceManager(const std::string& root) {
    // The test systemd itself uses (sd_booted): the directory exists while systemd is PID 1.
    if (SystemdRuns(root)) {
        return MakeSystemdManager(root);
    }
    return MakeSysVManager(root);
}

}  // namespace kvzn::platform
