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
        const std::string base = root_.empty() || root_ == "/" ? "" : root_;
        std::error_code ec;
        const std::vector<std::string> argv =
            std::filesystem::is_directory(base + "/run/systemd/system", ec)
                ? std::vector<std::string>{"systemctl", "reboot"}
                : std::vector<std::string>{"shutdown", "-r", "now"};
        const std::string command = argv.size() == 2 ? "systemctl reboot" : "shutdown -r now";
        ProcessOptions options;
        options.timeout = kRestartRequestTimeout;
        options.maxOutput = 4096;
        auto result = RunProcess(argv, options);
        if (!result.ok()) {
            return result.status();
        }
        if (result->timedOut) {
            return Status::Error(ETIMEDOUT, command + ": no answer within " +
                                                std::to_string(kRestartRequestTimeout.count()) +
                                                " s");
        }
        if (result->exitCode != 0) {
            const std::string firstLine = result->output.substr(0, result->output.find('\n'));
            return Status::Error(EIO, command + ": exit status " +
                                          std::to_string(result->exitCode) +
                                          (firstLine.empty() ? "" : ": " + firstLine));
        }
        return Status::Ok();
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
