// Process entry of kvZNPrint: command line, service control, trace console, installation.
#include "service/service_entry.h"

#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "companion/activity_log.h"
#include "config/log_settings.h"
#include "platform/account_logon.h"
#include "platform/config_store.h"
#include "platform/signals.h"
#include "service/service_identity.h"
#include "service/trace.h"

namespace kvzn::service {

namespace {

constexpr std::string_view kModule = "kvZNSvc";
constexpr std::chrono::seconds kStopAllowance{ShutdownBudgetSeconds(HostTimings{}) + 15};

void Print(const std::string& line) {
    std::cout << line << '\n' << std::flush;
}

std::string ExecutablePath() {
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0 || n > 260) {
        return {};
    }
    return std::string(path, static_cast<size_t>(n));
}

// Before ServiceMain configures the log, records go to the configured log file (a relative
// name in the home directory) so that command-line errors land where the administrator looks.
void PrepareLogging() {
    config::ApplyLogSettings(companion::Registry::Process(), companion::ActivityLog::Process());
}

// The stop control (SIGTERM) of a service run.
void ServiceControlHandler(ServiceHost& host) {
    StatusReporter& status = host.Context().status;
    status.Report(ServiceStatusState::StopPending, 0, 0);
    host.ServiceStop();
    status.Report(status.CurrentState(), 0, 0);
}

// Ctrl-C (SIGINT) and Ctrl-Break (SIGQUIT) of a trace run: the first starts the stop,
// later ones do nothing. `stopping` is the run's stopping flag.
void ConsoleControlHandler(ServiceHost& host, bool& stopping) {
    if (stopping) {
        return;
    }
    stopping = true;
    TraceLine("Stopping the Service. Please wait ...");
    host.ServiceStop();
}

void RunInTraceMode(int argc, char** argv, ServiceHost& host) {
    // Only the watcher's thread touches the flag.
    bool stopping = false;
    platform::SignalWatcher console({SIGINT, SIGQUIT},
                                    [&](int) { ConsoleControlHandler(host, stopping); });
    ShowTraceBanner(kDisplayName);
    host.ServiceMain(argc, argv);
}

bool IsStartedByServiceManager() {
    const char* notify = std::getenv("NOTIFY_SOCKET");
    return (notify != nullptr && *notify != '\0') || !::isatty(STDIN_FILENO);
}

}  // namespace

void ServiceStart(int argc, char** argv, ServiceHost& host) {
    const companion::Logger log(kModule, "ServiceStart");
    // Without its stop control the service could not be stopped: it does not run at all.
    platform::SignalWatcher control({SIGTERM}, [&host](int) { ServiceControlHandler(host); });
    if (!control.status().ok()) {
        log(1, "Call to RegisterServiceCtrlHandler failed. Error: ", control.status().err());
        return;
    }
    StatusReporter& status = host.Context().status;
    if (!status.Report(ServiceStatusState::StartPending, 0, 30000)) {
        log(1, "Couldn't report the status to the SCM");
        return;
    }
    host.ServiceMain(argc, argv);
    status.Report(ServiceStatusState::Stopped, 0, 0);
}

std::string GetLastErrorText(int error, size_t bufferSize) {
    std::string text = std::strerror(error);
    if (bufferSize < text.size() + 14) {
        return {};
    }
    char hex[24];
    std::snprintf(hex, sizeof hex, " (0x%x)", static_cast<unsigned>(error));
    return text + hex;
}

void RegisterOrRemoveService(int doRegister, platform::ServiceManager& manager,
                             const std::string& executable, platform::Clock& clock) {
    if (doRegister) {
        Print("Please wait, registering the Tessel Monitor service ...");
        if (executable.empty()) {
            Print("Error. Unable to determine the current (running) directory ...");
            return;
        }
        // The service manager lets the whole orderly shut-down run before it kills.
        platform::ServiceDefinition def{.name = kServiceName,
                                        .displayName = kDisplayName,
                                        .description = kDescription,
                                        .executable = executable,
                                        .environment = {},
                                        .stopTimeout = kStopAllowance};
        // The service uses the same store as the program that registered it.
        if (const char* store = std::getenv(platform::kStoreEnvironmentVariable); store && *store) {
            def.environment.push_back(std::string(platform::kStoreEnvironmentVariable) + "=" +
                                      store);
        }
        const platform::Status status = manager.Install(def);
        if (!status.ok()) {
            Print("Error. Unable to create the Tessel Monitor service entry ...");
            std::cerr << "kvZNPrint: " << status.Text() << '\n';
            return;
        }
        Print("The Tessel Monitor service has been registered ...");
        return;
    }

    Print("Please wait, unregistering the Tessel Monitor service ...");
    const char* const kUnreachable = "Error. Unable to contact the Service Control Manager ...";
    switch (manager.Query(kServiceName)) {
        case platform::ServiceState::ManagerUnreachable:
            Print(kUnreachable);
            return;
        case platform::ServiceState::NotInstalled:
            Print("Error. Unable to create the Tessel Monitor service entry ...");
            return;
        default:
            break;
    }
    Print("Verifying/stopping the Tessel Monitor service ...");
    if (manager.RequestStop(kServiceName).ok()) {
        clock.SleepMs(1000);
        bool stopped = false;
        for (int poll = 0; poll < 30 && !stopped; ++poll) {
            switch (manager.Query(kServiceName)) {
                case platform::ServiceState::StopPending:
                case platform::ServiceState::Running:  // the stop was sent; still on its way
                    clock.SleepMs(1000);
                    break;
                case platform::ServiceState::Stopped:
                case platform::ServiceState::NotInstalled:
                    stopped = true;
                    break;
                case platform::ServiceState::ManagerUnreachable:
                    Print(kUnreachable);  // the service is left as it is
                    return;
                default:
                    break;
            }
        }
        if (!stopped) {
            Print("Error. Unable to stop the Tessel Monitor service ...");
            return;
        }
        Print("The Tessel Monitor service is stopped ...");
    }
    Print("Removing the Tessel Monitor service ...");
    const platform::Status status = manager.Remove(kServiceName);
    if (status.ok()) {
        Print("The Tessel Monitor service has been removed ...");
    } else {
        Print("The Tessel Monitor service could not be removed due to error " +
              GetLastErrorText(status.err()) + " ...");
    }
}

int ServiceProgramMain(int argc, char** argv, ComponentTable table) {
    // Optional store selection ahead of the documented arguments.
    int first = 1;
    if (argc > 1 && std::strncmp(argv[1], "--registry", 10) == 0) {
        const char* arg = argv[1];
        if (arg[10] == '=') {
            ::setenv(platform::kStoreEnvironmentVariable, arg + 11, 1);
            first = 2;
        } else if (arg[10] == '\0' && argc > 2) {
            ::setenv(platform::kStoreEnvironmentVariable, argv[2], 1);
            first = 3;
        }
    }
    companion::Registry::SetProcessStore(platform::OpenFileStore(platform::DefaultStorePath()));
    PrepareLogging();

    if (argc > first) {
        const char* arg = argv[first];
        if (::strcasecmp(arg, "/register") == 0 || ::strcasecmp(arg, "/unregister") == 0) {
            const char* root = std::getenv(kSystemRootVariable);
            auto manager = platform::MakeServiceManager(root && *root ? root : "/");
            const bool doRegister = ::strcasecmp(arg, "/register") == 0;
            RegisterOrRemoveService(doRegister ? 1 : 0, *manager, ExecutablePath(),
                                    platform::SystemClock());
            if (doRegister) {
                // The remote command page logs accounts on through our own PAM service.
                const platform::Status pam =
                    platform::InstallPamServiceFile(root && *root ? root : "/");
                if (!pam.ok()) {
                    std::cerr << "kvZNPrint: the PAM service file could not be written: "
                              << pam.Text() << '\n';
                }
            }
            return 0;
        }
        if (ParseTraceSwitch(arg)) {
            StatusReporter::Process().SetTraceMode(true);
            ServiceHost host(companion::Registry::Process(), platform::SystemClock(),
                             StatusReporter::Process(), std::move(table));
            RunInTraceMode(argc - first + 1, argv + first - 1, host);
            return 0;
        }
        companion::Logger(kModule, "main")
            .Milestone(1, "The Tessel Monitor was started with an unrecognised parameter - ", arg);
        std::cerr << "kvZNPrint: unrecognised parameter " << arg
                  << " (use /register, /unregister or /TRACE)\n";
        return 1;
    }

    if (!IsStartedByServiceManager()) {
        companion::Logger(kModule, "main")
            .Milestone(1, "Call to StartServiceCtrlDispatcher failed. Error: ", ENOTTY);
        std::cerr << "kvZNPrint: not started by the service manager; run it as the kvZNPrint "
                     "service, or with /TRACE for a console run\n";
        return 0;
    }
    ServiceHost host(companion::Registry::Process(), platform::SystemClock(),
                     StatusReporter::Process(), std::move(table));
    ServiceStart(argc, argv, host);
    return 0;
}

}  // namespace kvzn::service
