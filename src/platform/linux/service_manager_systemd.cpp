// Service control through systemd: a unit file below the root, systemctl for everything else.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <sstream>

#include "platform/process.h"
#include "platform/service_manager.h"

namespace kvzn::platform {
namespace {

constexpr std::chrono::seconds kSystemctlTimeout{30};

std::string NormalizeRoot(const std::string& root) {
    std::string normalized = root;
    while (normalized.size() > 1 && normalized.back() == '/') {
        normalized.pop_back();
    }
    return normalized.empty() ? "/" : normalized;
}

// Unit and init script names: letters, digits and "-_.@:", not starting with '-' or '.'
// (a leading '-' would be read as an option by the tools).
bool IsServiceName(std::string_view name) {
    if (name.empty() || name.front() == '-' || name.front() == '.') {
        return false;
    }
    for (const unsigned char c : name) {
        if (!std::isalnum(c) &&
            std::string_view("-_.@:").find(static_cast<char>(c)) == std::string_view::npos) {
            return false;
        }
    }
    return true;
}

bool IsVariableName(std::string_view name) {
    if (name.empty() || std::isdigit(static_cast<unsigned char>(name.front()))) {
        return false;
    }
    for (const unsigned char c : name) {
        if (!std::isalnum(c) && c != '_') {
            return false;
        }
    }
    return true;
}

bool HasLineBreak(std::string_view text) {
    return text.find_first_of("\r\n") != std::string_view::npos;
}

// Writes `content` to a temporary file next to `path`, then renames it over `path`: readers
// see the old file or the new one, never a part.
Status WriteFileAtomically(const std::string& path, const std::string& content, mode_t mode) {
    const std::filesystem::path target(path);
    std::error_code ec;
    std::filesystem::create_directories(target.parent_path(), ec);
    if (ec) {
        return Status::Errno("mkdir", target.parent_path().string(), ec.value());
    }
    std::string temp = path + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        return Status::Errno("mkostemp", temp);
    }
    auto fail = [&](const char* call) {
        const int err = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        return Status::Errno(call, temp, err);
    };
    for (size_t done = 0; done < content.size();) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return fail("write");
        }
        done += static_cast<size_t>(n);
    }
    if (::fchmod(fd, mode) != 0) {
        return fail("fchmod");
    }
    if (::fsync(fd) != 0) {
        return fail("fsync");
    }
    ::close(fd);
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        return Status::Errno("rename", path, err);
    }
    return Status::Ok();
}

// Runs a command; an error unless it ran to exit status 0. The error text names the command
// and carries the first line of its output.
Status RunChecked(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
    std::string command;
    for (const auto& arg : argv) {
        command += (command.empty() ? "" : " ") + arg;
    }
    ProcessOptions options;
    options.timeout = timeout;
    options.maxOutput = 4096;
    auto result = RunProcess(argv, options);
    if (!result.ok()) {
        return result.status();
    }
    if (result->timedOut) {
        return Status::Error(ETIMEDOUT, command + ": no answer within " +
                                            std::to_string(timeout.count() / 1000) + " s");
    }
    if (result->exitCode != 0) {
        const std::string firstLine = result->output.substr(0, result->output.find('\n'));
        return Status::Error(EIO, command + ": exit status " + std::to_string(result->exitCode) +
                                      (firstLine.empty() ? "" : ": " + firstLine));
    }
    return Status::Ok();
}

Status RefuseStop(std::string_view name, ServiceState state) {
    const std::string service = "service " + std::string(name);
    switch (state) {
        case ServiceState::NotInstalled:
            return Status::Error(ENOENT, service + " is not installed");
        case ServiceState::StopPending:
            return Status::Error(EALREADY, service + " is already stopping");
        case ServiceState::Stopped:
            return Status::Error(ESRCH, service + " is not running");
        case ServiceState::StartPending:
            return Status::Error(EAGAIN, service + " is starting and cannot stop now");
        default:
            return Status::Error(EIO, "the state of " + service + " cannot be determined");
    }
}

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
    unit << "Restart=no\n"
         << "NotifyAccess=main\n"
         << "TimeoutStopSec=90\n"
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
        if (Status s = WriteFileAtomically(UnitPath(def.name), UnitText(def), 0644); !s.ok()) {
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
            return ServiceState::Unknown;
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
        return RunChecked(args, kSystemctlTimeout);
    }

    const std::string root_;
};

}  // namespace

std::unique_ptr<ServiceManager> MakeSystemdManager(const std::string& root) {
    return std::make_unique<SystemdManager>(root);
}

}  // namespace kvzn::platform
