// Service control through systemd: a unit file below the root, systemctl for everything else.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <sstream>

#include "platform/linux/service_manager_common.h"
#include "platform/process.h"
#include "platform/service_manager.h"

namespace kvzn::platform {
namespace {

using namespace service_detail;

constexpr std::chrono::seconds kSystemctlTimeout{30};

// systemd expands "%x" sequences in these settings; "%%" stands for "%".
std::string EscapePercent(std::string_view text) {
    std::string out;
    for (const char c : text) {
        out += c;
        if (c == '%') {
            out += '%';
        }
    }
    return out;
}

std::string QuoteUnitWord(std::string_view text) {
    std::string out = "\"";
    for (const char c : EscapePercent(text)) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

// The program path, quoted when it holds blanks, quotes or backslashes. ExecStart expands
// "$NAME" only in the arguments, so a '$' in the path stays as it is.
std::string ExecStartValue(std::string_view executable) {
    if (executable.find_first_of(" \t\"'\\") != std::string_view::npos) {
        return QuoteUnitWord(executable);
    }
    return EscapePercent(executable);
}

std::string UnitText(const ServiceDefinition& def) {
    std::ostringstream unit;
    unit << "[Unit]\n"
         << "Description=" << EscapePercent(def.displayName) << "\n"
         << "\n"
         << "[Service]\n"
         << "Type=notify\n"
         << "ExecStart=" << ExecStartValue(def.executable) << "\n";
    for (const auto& entry : def.environment) {
        unit << "Environment=" << QuoteUnitWord(entry) << "\n";
    }
    // Only the main process gets SIGTERM, and SIGKILL once the stop time-out has passed:
    // commands it started run on.
    unit << "Restart=no\n"
         << "NotifyAccess=main\n"
         << "KillMode=process\n"
         << "TimeoutStopSec=" << def.stopTimeout.count() << "\n"
         << "\n"
         << "[Install]\n"
         << "WantedBy=multi-user.target\n";
    return unit.str();
}

ServiceState ParseShowOutput(const std::string& output) {
    std::string loadState;
    std::string activeState;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("LoadState=", 0) == 0) {
            loadState = line.substr(10);
        } else if (line.rfind("ActiveState=", 0) == 0) {
            activeState = line.substr(12);
        }
    }
    if (loadState == "not-found") {
        return ServiceState::NotInstalled;
    }
    if (activeState == "active" || activeState == "reloading") {
        return ServiceState::Running;
    }
    if (activeState == "activating") {
        return ServiceState::StartPending;
    }
    if (activeState == "deactivating") {
        return ServiceState::StopPending;
    }
    if (activeState == "inactive" || activeState == "failed") {
        return ServiceState::Stopped;
    }
    return ServiceState::Unknown;
}

class SystemdManager : public ServiceManager {
  public:
    explicit SystemdManager(const std::string& root) : root_(NormalizeRoot(root)) {}

    std::string_view Kind() const override { return "systemd"; }

    Status Install(const ServiceDefinition& def) override {
        if (!IsServiceName(def.name)) {
            return Status::Error(EINVAL, "invalid service name: " + def.name);
        }
        if (def.executable.empty() || def.executable.front() != '/' ||
            HasLineBreak(def.executable) || HasLineBreak(def.displayName)) {
            return Status::Error(EINVAL, "service " + def.name +
                                             ": the program must be an absolute path and no "
                                             "setting may contain a line break");
        }
        for (const auto& entry : def.environment) {
            const size_t eq = entry.find('=');
            if (eq == std::string::npos || !IsVariableName(std::string_view(entry).substr(0, eq)) ||
                HasLineBreak(entry)) {
                return Status::Error(EINVAL, "invalid environment entry: " + entry);
            }
        }
        if (Status s = CheckStopTimeout(def); !s.ok()) {
            return s;
        }
        if (Status s = WriteServiceFile(UnitPath(def.name), UnitText(def), 0644); !s.ok()) {
            return s;
        }
        if (IsRealRoot()) {
            if (Status s = Systemctl({"daemon-reload"}); !s.ok()) {
                return s;
            }
        }
        return Systemctl(WithRoot({"enable", def.name}));
    }

    Status Remove(std::string_view name) override {
        if (!IsServiceName(name)) {
            return Status::Error(EINVAL, "invalid service name: " + std::string(name));
        }
        const Status disabled = Systemctl(WithRoot({"disable", std::string(name)}));
        const std::string path = UnitPath(name);
        Status removed;
        if (::unlink(path.c_str()) != 0) {
            removed = Status::Errno("unlink", path);
        }
        if (IsRealRoot()) {
            Systemctl({"daemon-reload"});
        }
        return removed.ok() ? disabled : removed;
    }

    ServiceState Query(std::string_view name) override {
        if (!IsServiceName(name)) {
            return ServiceState::NotInstalled;
        }
        ProcessOptions options;
        options.timeout = kSystemctlTimeout;
        options.maxOutput = 4096;
        auto result = RunProcess(
            {"systemctl", "show", "-p", "LoadState", "-p", "ActiveState", std::string(name)},
            options);
        if (!result.ok() || result->timedOut || result->exitCode != 0) {
            // `systemctl show` answers even for units that do not exist: a failure here means
            // systemd could not be reached.
            return ServiceState::ManagerUnreachable;
        }
        return ParseShowOutput(result->output);
    }

    Status Start(std::string_view name) override {
        if (!IsServiceName(name)) {
            return Status::Error(EINVAL, "invalid service name: " + std::string(name));
        }
        return Systemctl({"start", std::string(name)});
    }

    Status RequestStop(std::string_view name) override {
        if (const ServiceState state = Query(name); state != ServiceState::Running) {
            return RefuseStop(name, state);
        }
        return Systemctl({"stop", "--no-block", std::string(name)});
    }

  private:
    bool IsRealRoot() const { return root_ == "/"; }

    std::string UnitPath(std::string_view name) const {
        return (IsRealRoot() ? std::string() : root_) + "/etc/systemd/system/" + std::string(name) +
               ".service";
    }

    // Unit file operations act on the files below the root, not on the running manager.
    std::vector<std::string> WithRoot(std::vector<std::string> args) const {
        if (!IsRealRoot()) {
            args.insert(args.begin(), "--root=" + root_);
        }
        return args;
    }

    static Status Systemctl(std::vector<std::string> args) {
        args.insert(args.begin(), "systemctl");
        return RunCommandChecked(args, kSystemctlTimeout);
    }

    const std::string root_;
};

}  // namespace

std::unique_ptr<ServiceManager> MakeSystemdManager(const std::string& root) {
    return std::make_unique<SystemdManager>(root);
}

}  // namespace kvzn::platform
