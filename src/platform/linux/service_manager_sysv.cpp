// Service control through SysV init scripts: an LSB script driving start-stop-daemon,
// registered with update-rc.d; any installed script is queried, started and stopped.
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

constexpr std::chrono::seconds kStatusTimeout{30};
constexpr std::chrono::seconds kStartTimeout{60};
// The script's stop waits for the service as long as its definition allows, then kills it
// (kKillWait): the stop request waits for that whole schedule.
constexpr std::chrono::seconds kKillWait{5};
constexpr std::chrono::seconds kStopTimeout =
    kMaxStopTimeout + kKillWait + std::chrono::seconds(15);
constexpr std::chrono::seconds kUpdateRcTimeout{30};

std::string ShellQuote(std::string_view text) {
    std::string out = "'";
    for (const char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

// The init script. start-stop-daemon's --status exit codes are the LSB ones (0 running,
// 1 dead with a pid file, 3 stopped, 4 unknown). Options for the program may be set as
// DAEMON_ARGS in ROOT/etc/default/NAME, the usual Debian place.
std::string InitScriptText(const ServiceDefinition& def, const std::string& base) {
    const std::string runDir = base + "/run";
    std::ostringstream script;
    script << "#!/bin/sh\n"
           << "### BEGIN INIT INFO\n"
           << "# Provides:          " << def.name << "\n"
           << "# Required-Start:    $remote_fs $syslog $network\n"
           << "# Required-Stop:     $remote_fs $syslog $network\n"
           << "# Default-Start:     2 3 4 5\n"
           << "# Default-Stop:      0 1 6\n"
           << "# Short-Description: " << def.displayName << "\n"
           << "# Description:       " << def.description << "\n"
           << "### END INIT INFO\n"
           << "\n"
           << "PATH=/sbin:/usr/sbin:/bin:/usr/bin\n"
           << "DAEMON=" << ShellQuote(def.executable) << "\n"
           << "PIDFILE=" << ShellQuote(runDir + "/" + def.name + ".pid") << "\n"
           << "DAEMON_ARGS=\n";
    for (const auto& entry : def.environment) {
        const size_t eq = entry.find('=');
        script << "export " << entry.substr(0, eq) << "=" << ShellQuote(entry.substr(eq + 1))
               << "\n";
    }
    const std::string defaults = ShellQuote(base + "/etc/default/" + def.name);
    script << "[ -r " << defaults << " ] && . " << defaults << "\n"
           << "\n"
           << "do_status() {\n"
           << "\tstart-stop-daemon --status --pidfile \"$PIDFILE\" --exec \"$DAEMON\"\n"
           << "}\n"
           << "\n"
           << "do_start() {\n"
           << "\tmkdir -p " << ShellQuote(runDir) << " || return 1\n"
           << "\tstart-stop-daemon --start --quiet --oknodo --background --make-pidfile \\\n"
           << "\t\t--pidfile \"$PIDFILE\" --exec \"$DAEMON\" -- $DAEMON_ARGS || return $?\n"
           << "\t# With --background it returns before the program runs: wait for it, so that\n"
           << "\t# a program that cannot start fails the start.\n"
           << "\ttries=30\n"
           << "\twhile [ $tries -gt 0 ]; do\n"
           << "\t\tdo_status && return 0\n"
           << "\t\tsleep 0.1\n"
           << "\t\ttries=$((tries - 1))\n"
           << "\tdone\n"
           << "\treturn 1\n"
           << "}\n"
           << "\n"
           << "do_stop() {\n"
           << "\t# TERM to the daemon alone, which ends what it runs in order; KILL only\n"
           << "\t# once that had its time. Commands it started run on in their own sessions.\n"
           << "\tstart-stop-daemon --stop --quiet --oknodo --retry TERM/" << def.stopTimeout.count()
           << "/KILL/" << kKillWait.count() << " \\\n"
           << "\t\t--pidfile \"$PIDFILE\" --exec \"$DAEMON\" || return $?\n"
           << "\trm -f \"$PIDFILE\"\n"
           << "}\n"
           << "\n"
           << "case \"$1\" in\n"
           << "start)\n"
           << "\tdo_start\n"
           << "\t;;\n"
           << "stop)\n"
           << "\tdo_stop\n"
           << "\t;;\n"
           << "status)\n"
           << "\tdo_status\n"
           << "\t;;\n"
           << "restart|force-reload)\n"
           << "\tdo_stop && do_start\n"
           << "\t;;\n"
           << "*)\n"
           << "\techo \"Usage: $0 {start|stop|status|restart|force-reload}\" >&2\n"
           << "\texit 3\n"
           << "\t;;\n"
           << "esac\n";
    return script.str();
}

class SysVManager : public ServiceManager {
  public:
    explicit SysVManager(const std::string& root) {
        const std::string normalized = NormalizeRoot(root);
        base_ = normalized == "/" ? std::string() : normalized;
    }

    std::string_view Kind() const override { return "sysv"; }

    Status Install(const ServiceDefinition& def) override {
        if (!IsServiceName(def.name)) {
            return Status::Error(EINVAL, "invalid service name: " + def.name);
        }
        if (def.executable.empty() || def.executable.front() != '/' ||
            HasLineBreak(def.executable) || HasLineBreak(def.displayName) ||
            HasLineBreak(def.description)) {
            return Status::Error(EINVAL, "service " + def.name +
                                             ": the program must be an absolute path and no "
                                             "setting may contain a line break");
        }
        for (const auto& entry : def.environment) {
            const size_t eq = entry.find('=');
            if (eq == std::string::npos || !IsVariableName(std::string_view(entry).substr(0, eq))) {
                return Status::Error(EINVAL, "invalid environment entry: " + entry);
            }
        }
        if (Status s = CheckStopTimeout(def); !s.ok()) {
            return s;
        }
        if (Status s = WriteServiceFile(ScriptPath(def.name), InitScriptText(def, base_), 0755);
            !s.ok()) {
            return s;
        }
        return RunCommandChecked({"update-rc.d", def.name, "defaults"}, kUpdateRcTimeout);
    }

    Status Remove(std::string_view name) override {
        if (!IsServiceName(name)) {
            return Status::Error(EINVAL, "invalid service name: " + std::string(name));
        }
        const Status unregistered =
            RunCommandChecked({"update-rc.d", "-f", std::string(name), "remove"}, kUpdateRcTimeout);
        const std::string path = ScriptPath(name);
        if (::unlink(path.c_str()) != 0) {
            return Status::Errno("unlink", path);
        }
        return unregistered;
    }

    ServiceState Query(std::string_view name) override {
        if (!IsInstalled(name)) {
            return ServiceState::NotInstalled;
        }
        ProcessOptions options;
        options.timeout = kStatusTimeout;
        options.maxOutput = 4096;
        auto result = RunProcess({ScriptPath(name), "status"}, options);
        if (!result.ok() || result->timedOut) {
            return ServiceState::Unknown;
        }
        switch (result->exitCode) {
            case 0:
                return ServiceState::Running;
            case 1:
            case 2:
            case 3:
                return ServiceState::Stopped;
            default:
                return ServiceState::Unknown;
        }
    }

    Status Start(std::string_view name) override {
        if (!IsInstalled(name)) {
            return Status::Error(ENOENT, "service " + std::string(name) + " is not installed");
        }
        return RunCommandChecked({ScriptPath(name), "start"}, kStartTimeout);
    }

    Status RequestStop(std::string_view name) override {
        if (const ServiceState state = Query(name); state != ServiceState::Running) {
            return RefuseStop(name, state);
        }
        return RunCommandChecked({ScriptPath(name), "stop"}, kStopTimeout);
    }

  private:
    std::string ScriptPath(std::string_view name) const {
        return base_ + "/etc/init.d/" + std::string(name);
    }

    bool IsInstalled(std::string_view name) const {
        struct stat st {};
        return IsServiceName(name) && ::stat(ScriptPath(name).c_str(), &st) == 0 &&
               S_ISREG(st.st_mode);
    }

    std::string base_;  // the root without its final "/": "" for the real system
};

}  // namespace

std::unique_ptr<ServiceManager> MakeSysVManager(const std::string& root) {
    return std::make_unique<SysVManager>(root);
}

}  // namespace kvzn::platform
