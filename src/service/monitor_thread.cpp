// The shape every monitor thread shares: handshake, configuration, timed start, cycles.
#include "service/monitor_thread.h"

#include <chrono>
#include <exception>

#include "companion/activity_log.h"
#include "config/registry_names.h"
#include "platform/process_memory.h"
#include "service/config_status.h"
#include "service/monitor_schedule.h"

namespace kvzn::service {

namespace {

// Waits out "StartMonitoringOn"; false when the service stopped meanwhile.
bool TimedStart(ServiceContext& ctx, const MonitorIdentity& id, const companion::Logger& log) {
    std::string startOn;
    ctx.registry.ReadText(config::kProductKey, config::value::kStartMonitoringOn, startOn, 101);
    if (startOn.empty()) {
        return true;
    }
    const long minutes = MinutesUntil(ctx, startOn);
    if (minutes <= 0) {
        return true;
    }
    if (id.postsWarmUpLine) {
        ctx.PostComponentStatus(id.componentCode, "Waiting for Windows to warm up");
    }
    log(3, "Waiting until ", startOn, " before monitoring commences");
    if (ctx.WaitForStop(std::chrono::minutes(minutes))) {
        return false;
    }
    log(3, "Server timed start completed. Monitoring continues ...");
    return true;
}

}  // namespace

void RunMonitorThread(ServiceContext& ctx, Monitor& monitor) {
    const MonitorIdentity& id = monitor.Identity();
    const companion::Logger log(id.module, id.threadFunction);
    ctx.ComponentReadyAndSuspend();
    if (ctx.Stopping()) {
        return;
    }

    ctx.PostComponentStatus(id.componentCode, "Retrieving configuration details");
    const int enabled = monitor.ReadConfiguration(ctx);
    if (enabled == 0 || monitor.IntervalsDisabled()) {
        ctx.PostComponentStatus(id.componentCode, "No configuration details specified or disabled");
        log(3, id.closingSentence);
        if (!id.configStatusSection.empty()) {
            RecordConfigStatus(ctx, id.configStatusSection, kNoConfigValues, 0, {});
        }
        return;
    }
    if (id.timedStart && !TimedStart(ctx, id, log)) {
        return;
    }
    monitor.Prepare(ctx);

    uint32_t previous = 0;
    for (;;) {
        const uint32_t now = ctx.clock.TickCount();
        if (now < previous) {
            monitor.ClearAlertTicks();  // the 32-bit tick wrapped after about 49.7 days
        }
        previous = now;
        uint32_t waitMs = 60000;
        try {
            waitMs = monitor.RunCycle(ctx, now);
        } catch (const std::exception& e) {
            log(1, "The monitoring cycle ended on an unexpected error: ", e.what());
        }
        // What the cycle read and built is freed by now; its pages go back to the system
        // rather than stay with the process until the next cycle.
        platform::ReleaseFreeMemory();
        if (ctx.WaitForStop(std::chrono::milliseconds(waitMs))) {
            log(3, "The Tessel Monitor is being shutdown");
            return;
        }
    }
}

void RunMonitorWebData(ServiceContext& ctx, Monitor& monitor, ReportRequest& request) {
    ctx.PostComponentStatus(monitor.Identity().componentCode, "Generating web data");
    monitor.WriteWebData(ctx, request);
}

void MonitorEntry(ServiceContext& ctx, Monitor& monitor, ReportRequest* request) {
    if (request != nullptr) {
        RunMonitorWebData(ctx, monitor, *request);
    } else {
        RunMonitorThread(ctx, monitor);
    }
}

}  // namespace kvzn::service
