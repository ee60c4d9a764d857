// Service control for the configuration utility: the wait texts, the polling after a stop
// and the messages of each failure.
#include "cfgutil/service_controller.h"

#include "companion/activity_log.h"

namespace kvzn::cfgutil {

namespace {

constexpr std::string_view kModule = "kvZNPrintCfg";
using platform::ServiceState;

const char* const kStartTitle = "Cannot Start the Tessel Monitor";
const char* const kStopTitle = "Cannot Stop the Tessel Monitor";
const char* const kRestartTitle = "Cannot Restart Tessel Monitor";

std::string NoManager(const char* verb) {
    return std::string("The Configuration Utility was unable to ") + verb +
           " the Tessel Monitor service because a connection could not be established ...";
}
std::string NotRegistered(const char* verb) {
    return std::string("The Configuration Utility was unable to ") + verb +
           " the Tessel Monitor service because the service is not registered with Windows ...";
}
const char* const kRestartFailed =
    "The Configuration Utility was unable to restart the Tessel Monitor service. Please restart "
    "this service manually in order to apply any configuration changes made ...";
const char* const kRestartTimedOut =
    "The Configuration Utility was unable to stop the Tessel Monitor service within the "
    "timeout period. Please restart this service manually in order to apply any configuration "
    "changes made ...";

}  // namespace

bool ServiceController::IsRunning() {
    switch (manager_.Query(name_)) {
        case ServiceState::Running:
        case ServiceState::StartPending:
        case ServiceState::Unknown:
            return true;
        default:
            return false;
    }
}

ServiceController::Stop ServiceController::SendStopAndWait() {
    switch (manager_.Query(name_)) {
        case ServiceState::ManagerUnreachable:
            return Stop::Unreachable;
        case ServiceState::NotInstalled:
            return Stop::NotInstalled;
        default:
            break;
    }
    if (!manager_.RequestStop(name_).ok()) {
        return Stop::Refused;
    }
    clock_.SleepMs(1000);
    for (int poll = 0; poll < kStopPolls; ++poll) {
        switch (manager_.Query(name_)) {
            case ServiceState::Stopped:
            case ServiceState::NotInstalled:
                return Stop::Stopped;
            case ServiceState::ManagerUnreachable:
                return Stop::Unreachable;
            default:
                clock_.SleepMs(1000);
        }
    }
    return Stop::TimedOut;
}

bool ServiceController::StartServer() {
    const companion::Logger log(kModule, "CServiceController::StartServer");
    prompt_.Wait("Please wait while the Tessel Monitor is started ...");
    switch (manager_.Query(name_)) {
        case ServiceState::ManagerUnreachable:
            log(2, "Warning: Unable to attach to the SCM");
            prompt_.Message(kStartTitle, NoManager("start"));
            return false;
        case ServiceState::NotInstalled:
            log(2, "Warning: Unable to find the service");
            prompt_.Message(kStartTitle, NotRegistered("start"));
            return false;
        case ServiceState::Running:
            return true;  // already running counts as started
        default:
            break;
    }
    if (const platform::Status started = manager_.Start(name_); !started.ok()) {
        if (manager_.Query(name_) == ServiceState::Running) {
            return true;
        }
        log(2, "Warning: Unable to start the service");
        prompt_.Message(kStartTitle,
                        "The Configuration Utility was unable to start the Tessel Monitor "
                        "service ...");
        return false;
    }
    return true;
}

bool ServiceController::StopServer() {
    const companion::Logger log(kModule, "CServiceController::StopServer");
    prompt_.Wait("Please wait while the Tessel Monitor is stopped ...");
    switch (SendStopAndWait()) {
        case Stop::Stopped:
            return true;
        case Stop::Unreachable:
            log(2, "Warning: Unable to attach to the SCM");
            prompt_.Message(kStopTitle, NoManager("stop"));
            return false;
        case Stop::NotInstalled:
            log(2, "Warning: Unable to find the service");
            prompt_.Message(kStopTitle, NotRegistered("stop"));
            return false;
        case Stop::Refused:
            if (manager_.Query(name_) == ServiceState::Stopped) {
                return true;
            }
            [[fallthrough]];
        case Stop::TimedOut:
            log(2, "Warning: Unable to stop the service");
            prompt_.Message(kStopTitle,
                            "The Configuration Utility was unable to stop the Tessel Monitor "
                            "service ...");
            return false;
    }
    return false;
}

bool ServiceController::RestartServer() {
    const companion::Logger log(kModule, "CServiceController::RestartServer");
    prompt_.Wait("Please wait while the Tessel Monitor is restarted ...");
    switch (SendStopAndWait()) {
        case Stop::Unreachable:
            log(2, "Warning: Unable to attach to the SCM");
            prompt_.Message(kRestartTitle, kRestartFailed);
            return false;
        case Stop::NotInstalled:
            log(2, "Warning: Unable to find the service");
            prompt_.Message(kRestartTitle, kRestartFailed);
            return false;
        case Stop::TimedOut:
            log(2, "Warning: Unable to stop the service");
            prompt_.Message(kRestartTitle, kRestartTimedOut);
            return false;
        case Stop::Refused:  // not running: start it directly
        case Stop::Stopped:
            break;
    }
    if (!manager_.Start(name_).ok() && manager_.Query(name_) != ServiceState::Running) {
        log(2, "Warning: Unable to start the service");
        prompt_.Message(kRestartTitle, kRestartFailed);
        return false;
    }
    return true;
}

}  // namespace kvzn::cfgutil
