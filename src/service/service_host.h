// Start-up, supervision and shut-down of the service's worker threads.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "service/service_context.h"

namespace kvzn::service {

// One worker of the thread table.
struct ComponentEntry {
    std::string name;            // thread function, e.g. "SpecificMonitor"
    int slot = 0;                // 0 to 14, or kWebSlot for the web server's own handle
    int componentCode = 0;       // component code of its status lines
    std::string failureMessage;  // logged (with the error number) when it cannot start
    // Started only when this returns true (null: always).
    std::function<bool(ServiceContext&)> startCondition;
    std::function<void(ServiceContext&)> body;
};

inline constexpr int kWebSlot = -1;
inline constexpr int kThreadSlots = 15;

// The thread table: the performance monitor, started first, then the components in order,
// and the alert path the run's workers raise and deliver alerts through.
struct ComponentTable {
    ComponentEntry performance;
    std::vector<ComponentEntry> components;
    // Creates the run's alert path once the directories are known (null: the run has none).
    std::function<std::shared_ptr<AlertPath>(ServiceContext&)> makeAlertPath;
    // Asks the web server to close its listening socket; ServiceStop calls it first, from
    // its own thread, whether or not the web server thread runs (null: no web server).
    std::function<void()> closeWebListener;
};

// Time limits of start-up and shut-down. Tests shorten them; the service uses these.
struct HostTimings {
    uint32_t stopGraceMs = 2500;         // ServiceStop's pause after closing the listener
    uint32_t webStopPolls = 30;          // one second each
    uint32_t cleanupBudgetSeconds = 30;  // shared by all workers
    uint32_t readyPolls = 120;           // WaitForComponentsReady
    uint32_t readyPollMs = 500;
    uint32_t performancePollMs = 1000;  // the wait for the performance data, per look
};

// The longest the service's own orderly shut-down takes with these timings: ServiceStop's
// pause and its wait for the web server, then the clean-up budget with one more second for
// each further thread that does not end.
constexpr uint32_t ShutdownBudgetSeconds(const HostTimings& timings) {
    return (timings.stopGraceMs + 999) / 1000 + timings.webStopPolls +
           timings.cleanupBudgetSeconds + (kThreadSlots - 1);
}

// The life of one service run: ServiceMain on the service (or trace) thread, ServiceStop
// from the control handler's thread.
// @threadsafety ServiceStop and CleanupMonitor may be called from any thread, more than once.
class ServiceHost {
  public:
    ServiceHost(companion::Registry& registry, platform::Clock& clock, StatusReporter& status,
                ComponentTable table, HostTimings timings = {});
    ~ServiceHost();
    ServiceHost(const ServiceHost&) = delete;
    ServiceHost& operator=(const ServiceHost&) = delete;

    void ServiceMain(int argc, char** argv);
    void ServiceStop();
    void CleanupMonitor();
    void FetchAndSetLogging();
    int WaitForComponentsReady(int wait, uint32_t expected);
    int CreateRequiredDirectories();
    void DeleteOldReportPages();

    ServiceContext& Context() { return *context_; }
    // Slot numbers of the workers that were started, in start order (web = kWebSlot).
    std::vector<int> StartedSlots() const;

  private:
    struct ThreadSlot {
        std::thread thread;
        std::shared_ptr<platform::Event> finished;
        bool used() const { return finished != nullptr; }
    };

    bool Report(ServiceStatusState state, uint32_t waitHint = 30000);
    void Abort(const std::string& message);
    void AbortAndClean(const std::string& message, int error = -1);
    bool StartComponent(const ComponentEntry& entry);
    void PrepareDataDirectory();
    // Joins a finished thread or lets one that still runs go on alone.
    static void Release(ThreadSlot& slot);

    std::shared_ptr<ServiceContext> context_;
    ComponentTable table_;
    HostTimings timings_;
    std::array<ThreadSlot, kThreadSlots> slots_;
    ThreadSlot web_;
    mutable std::mutex tableMutex_;  // slots_, web_ and startedSlots_
    std::vector<int> startedSlots_;
    std::atomic<bool> cleanedUp_{false};
    std::atomic<int64_t> runStartNs_{0};  // file clock at the start of ServiceMain
};

}  // namespace kvzn::service
