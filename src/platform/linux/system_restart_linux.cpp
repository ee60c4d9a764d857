// Restart of the local server through systemd or the SysV shutdown command.
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <vector>

#include "platform/process.h"
#include "platform/system_restart.h"

namespace kvzn::platform {
namespace {

constexpr std::chrono::seconds kRestartRequestTimeout{30};

class LinuxRestarter final : public SystemRestarter {
  public:
    explicit LinuxRestarter(std::string root) : root_(std::move(root)) {}

    Status RestartNow() override {
        const std::vector<std::string> argv =
            SystemdRuns(root_) ? std::vector<std::string>{"systemctl", "reboot"}
                               : std::vector<std::string>{"shutdown", "-r", "now"};
        return RunCommandChecked(argv, kRestartRequestTimeout);
    }

  private:
    const std::string root_;
};

}  // namespace

SystemRestarter& SystemRestart() {
    static LinuxRestarter restarter("/");
    return restarter;
}

std::unique_ptr<SystemRestarter> MakeSystemRestarter(const std::string& root) {
    return std::make_unique<LinuxRestarter>(root);
}

}  // namespace kvzn::platform
