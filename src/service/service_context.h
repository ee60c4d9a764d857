// What the service host shares with every worker thread: settings, events and locks.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "companion/registry.h"
#include "companion/tcpip.h"
#include "config/check_fields.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "service/status_reporter.h"

namespace kvzn::platform {
class AccountLogon;
class ServiceManager;
class SystemRestarter;
}  // namespace kvzn::platform

namespace kvzn::service {

// Locks of the run whose data has no owning object of its own yet. The alert store, the
// e-mail channel, the dispatcher (error page) and the print server monitor (printer status
// page) keep their locks with their data.
struct ServiceLocks {
    std::mutex recentEntries;  // recent entries of the event log and log file monitors
    std::mutex dateTime;       // date and time conversions and the configuration-status file
    std::mutex libraryLoad;    // loading of helper libraries
    std::mutex consoleClient;  // registered consoles and activity lines
};

// The alert path of one run: the alerting layer's store and dispatcher, created by the
// program for the run and owned by its context.
class AlertPath {
  public:
    virtual ~AlertPath() = default;
    // Saves what must outlive the run. Called once the workers have ended.
    virtual void Close() = 0;
};

class Monitor;

// Process-wide values and shared objects of one service run. Settings are written by
// ServiceMain before any worker starts and only read afterwards.
// @threadsafety Settings: read-only once workers run. Events, locks and counters: Always.
class ServiceContext {
  public:
    ServiceContext(companion::Registry& registry, platform::Clock& clock, StatusReporter& status)
        : registry(registry), clock(clock), status(status) {}
    ~ServiceContext();
    ServiceContext(const ServiceContext&) = delete;
    ServiceContext& operator=(const ServiceContext&) = delete;

    companion::Registry& registry;
    platform::Clock& clock;
    StatusReporter& status;

    // Settings read at start-up.
    std::string home;
    std::string dataDirectory;
    std::string htmlTargetDirectory;
    std::string imagesDirectory;
    std::string errorPagePath;
    std::string computerName;
    bool enableWebReports = false;
    bool enableConsoleSupport = true;
    bool autoAdjustPrivileges = false;
    bool sendOneOffWarnings = true;
    uint32_t notifyRunningActions = 0;
    uint32_t initialStartupDelay = 0;
    bool firstRun = false;
    // "DateFormat", read at its first use in this run.
    int DateFormat() { return dateFormat_.Get(registry); }

    // Shared objects.
    platform::Event stopEvent;  // set once when the service stops
    ServiceLocks locks;
    // Alert store and dispatcher of the run (null until the host or a test attaches one).
    std::shared_ptr<AlertPath> alertPath;

    // Set when a server restart begins: every further restart request of the run is refused.
    std::atomic<bool> restartUnderWay{false};

    // Service control and server restart for the automatic responses. Null means the
    // machine's own (created at first use); tests set fakes or private-root managers
    // before any worker runs.
    platform::ServiceManager* serviceManager = nullptr;
    platform::SystemRestarter* restarter = nullptr;
    platform::ServiceManager& Services();
    platform::SystemRestarter& Restarter();
    // Logon of local accounts (the remote command page): null means this machine's PAM.
    platform::AccountLogon* accountLogon = nullptr;
    platform::AccountLogon& Accounts();

    // Worker start-up handshake: count this worker ready, then wait until the host resumes
    // all workers together (a resume that comes first is not lost).
    void ComponentReadyAndSuspend();
    // The same, but a worker that is told to stop on its own event also wakes on that.
    void ComponentReadyAndSuspend(const platform::Event& ownStop);
    void ResumeAll() { resume_.Set(); }
    uint32_t ReadyCount() const { return readyCount_.load(); }

    // The performance monitor's "counters loaded" flag, under the performance data lock.
    void SetPerformanceReady();
    bool PerformanceReady();

    // Sends a component status line (code 1 to 29) to the consoles; until console
    // support is present the line goes to the activity log at detail level.
    void PostComponentStatus(int componentCode, std::string_view text);
    void SetComponentStatusSink(std::function<void(int, std::string_view)> sink);

    // Monitors publish themselves for the status page while their thread runs. A page keeps
    // the returned pointer for the length of one request.
    // @threadsafety Always.
    void PublishMonitor(int componentCode, std::shared_ptr<Monitor> monitor);
    void WithdrawMonitor(int componentCode, const Monitor* monitor);
    std::shared_ptr<Monitor> PublishedMonitor(int componentCode) const;

    // Waits on the stop event; true when the service is stopping.
    bool WaitForStop(std::chrono::milliseconds timeout) const { return stopEvent.WaitFor(timeout); }
    bool Stopping() const { return stopEvent.IsSet(); }

  private:
    config::DateFormatSetting dateFormat_;
    std::atomic<uint32_t> readyCount_{0};
    platform::Event resume_;
    std::mutex performanceData_;     // the performance counter library and the ready flag
    bool performanceReady_ = false;  // guarded by performanceData_
    std::mutex servicesMutex_;
    std::shared_ptr<platform::ServiceManager> machineServices_;  // created at first use
    std::shared_ptr<platform::AccountLogon> machineAccounts_;    // created at first use
    mutable std::mutex monitorsMutex_;
    std::map<int, std::shared_ptr<Monitor>> monitors_;  // guarded by monitorsMutex_
    std::mutex sinkMutex_;
    std::function<void(int, std::string_view)> statusSink_;
};

// Name of a component code (1 to 29); empty outside that range.
std::string_view ComponentName(int code);

}  // namespace kvzn::service
