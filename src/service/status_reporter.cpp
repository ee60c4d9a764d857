// The service status record and its reports to the init system.
#include "service/status_reporter.h"

#include "companion/activity_log.h"

namespace kvzn::service {

namespace {
constexpr std::string_view kModule = "kvZNSvc";
}

StatusReporter& StatusReporter::Process() {
    static StatusReporter* reporter = new StatusReporter(platform::SystemNotifier());
    return *reporter;
}

int StatusReporter::Report(ServiceStatusState state, uint32_t exitCode, uint32_t waitHintMs) {
    if (traceMode_) {
        return 1;
    }
    std::scoped_lock lock(mutex_);
    if (state_ == ServiceStatusState::Stopped && state == ServiceStatusState::StopPending) {
        // A late stop-pending report of the stop request (ServiceStop runs on another
        // thread) must not follow the final report.
        return 1;
    }
    state_ = state;
    exitCode_ = exitCode;
    waitHint_ = waitHintMs;
    uint32_t checkpoint = 0;
    if (state != ServiceStatusState::Running && state != ServiceStatusState::Stopped) {
        checkpoint = checkpoint_.fetch_add(1);
    }
    const platform::Status status = notifier_->Notify(state, checkpoint, waitHintMs, exitCode);
    if (!status.ok()) {
        companion::Logger(kModule, "ReportServiceStatus")(
            1, "Call to SetServiceStatus failed. Error: ", status.err());
        return 0;
    }
    return 1;
}

ServiceStatusState StatusReporter::CurrentState() const {
    std::scoped_lock lock(mutex_);
    return state_;
}

bool StatusReporter::AcceptsStop() const {
    return CurrentState() != ServiceStatusState::StartPending;
}

int ReportServiceStatus(ServiceStatusState state, uint32_t exitCode, uint32_t waitHintMs) {
    return StatusReporter::Process().Report(state, exitCode, waitHintMs);
}

bool TraceMode() {
    return StatusReporter::Process().TraceMode();
}

}  // namespace kvzn::service
