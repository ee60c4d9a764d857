// The service status record and its reports to the init system.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/service_status.h"

namespace kvzn::service {

using platform::ServiceStatusState;

// Shared by every thread that reports status. The checkpoint counter starts at 1 and grows
// with each pending report; running and stopped carry checkpoint 0.
// @threadsafety Always: reports are serialised so checkpoints are sent in order.
class StatusReporter {
  public:
    explicit StatusReporter(platform::StatusNotifier& notifier) : notifier_(&notifier) {}

    // The reporter of this process, over the system notifier.
    static StatusReporter& Process();

    // Returns 1 when the report succeeded or was suppressed in trace mode, 0 on failure
    // (logged at level 1).
    int Report(ServiceStatusState state, uint32_t exitCode, uint32_t waitHintMs);

    void SetTraceMode(bool on) { traceMode_ = on; }
    bool TraceMode() const { return traceMode_; }
    ServiceStatusState CurrentState() const;
    // Controls accepted by the current state: false while start is pending.
    bool AcceptsStop() const;
    uint32_t NextCheckpoint() const { return checkpoint_.load(); }

  private:
    platform::StatusNotifier* notifier_;
    mutable std::mutex mutex_;
    std::atomic<bool> traceMode_{false};
    std::atomic<uint32_t> checkpoint_{1};
    ServiceStatusState state_ = ServiceStatusState::StartPending;
    uint32_t exitCode_ = 0;
    uint32_t waitHint_ = 0;
};

// ReportServiceStatus of the process reporter.
int ReportServiceStatus(ServiceStatusState state, uint32_t exitCode, uint32_t waitHintMs);
// The trace mode flag of the process (set once in main before any thread exists).
bool TraceMode();

}  // namespace kvzn::service
