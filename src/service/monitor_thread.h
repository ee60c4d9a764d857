// The shape every monitor thread shares: handshake, configuration, timed start, cycles.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

#include "service/service_context.h"

namespace kvzn::service {

// A report request: instead of running as a thread, the monitor writes its rows of the
// status page into `page` and returns (web-data mode).
struct ReportRequest {
    std::ostream& page;
    int lineCount = 0;
    int mode = 0;
};

// The fixed texts and habits of one monitor.
struct MonitorIdentity {
    std::string_view threadFunction;       // "SpecificMonitor"
    int componentCode = 0;                 // status line component
    std::string_view module;               // "kvZNPrintServerMonitor"
    std::string_view closingSentence;      // logged when there is nothing to do
    std::string_view configStatusSection;  // "Server-specific"; empty: none
    bool timedStart = false;               // honours "StartMonitoringOn"
    bool postsWarmUpLine = true;  // "Waiting for Windows to warm up" during the timed start
};

// One monitor. The skeleton calls these on the monitor's own thread; WriteWebData is called
// on a web worker's thread.
class Monitor {
  public:
    virtual ~Monitor() = default;
    virtual const MonitorIdentity& Identity() const = 0;
    // Reads the monitor's configuration; returns the number of enabled checks.
    virtual int ReadConfiguration(ServiceContext& ctx) = 0;
    // True when every interval of the monitor is 0 (it then has nothing to do).
    virtual bool IntervalsDisabled() const = 0;
    // Work after the timed start and before the first cycle.
    virtual void Prepare(ServiceContext&) {}
    // Runs the checks due at tick `now` and returns the milliseconds until the next group
    // is due. An exception is logged and the cycle counts as done.
    virtual uint32_t RunCycle(ServiceContext& ctx, uint32_t now) = 0;
    // The tick count wrapped: every last alert tick returns to 0.
    virtual void ClearAlertTicks() = 0;
    virtual void WriteWebData(ServiceContext&, ReportRequest&) {}
};

// The monitor thread: handshake with the host, configuration, the closing path with
// "NoConfigValues", the timed start, then cycles until the stop event. Every wait ends at
// once when the service stops.
void RunMonitorThread(ServiceContext& ctx, Monitor& monitor);

// Web-data mode: posts "Generating web data" and lets the monitor write its rows.
void RunMonitorWebData(ServiceContext& ctx, Monitor& monitor, ReportRequest& request);

// The monitor entry of the thread table and the status page: no request = thread.
void MonitorEntry(ServiceContext& ctx, Monitor& monitor, ReportRequest* request);

}  // namespace kvzn::service
