// The print server monitor: the configured service checks and printer checks, their
// cycle, and the print server rows of the status page.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "companion/activity_log.h"
#include "config/registry_names.h"
#include "platform/spooler.h"
#include "printmon/print_server.h"
#include "printmon/service_checks.h"
#include "service/monitor_thread.h"
#include "service/service_context.h"

namespace kvzn::printmon {

// One entry of the compiled table of built-in service checks.
struct BuiltInService {
    std::string_view title;        // check name and subkey under "Print"
    std::string_view displayName;  // shown on the status page
    std::string_view serviceName;  // the service's own name; "Service" may replace it
    bool enabledByDefault;         // what setup offers; the service reads "Enabled"
};

inline constexpr std::array<BuiltInService, 10> kBuiltInServices = {{
    {"Ensure Alerter service is running", "Alerter Service", "Alerter", true},
    {"Ensure DTC service is running", "Dist. Transaction Coordinator (DTC)", "MSDTC", false},
    {"Ensure Event Log service is running", "Event Log Service", "Eventlog", true},
    {"Ensure Messenger service is running", "Messenger Service", "Messenger", true},
    {"Ensure Security Accounts Manager (SAM) service is running",
     "Security Accounts Manager (SAM) Service", "SAMSs", false},
    {"Ensure Print Spooler service is running", "Printer Spooler", "Spooler", true},
    {"Ensure Task Scheduler service is running", "Task Scheduler", "Schedule", true},
    {"Ensure UPS service is running", "Uninterruptable Power Supply (UPS) Service", "UPS", false},
    {"Ensure WMI service is running", "Windows Mgt. Instrumentation (WMI)", "WinMgmt", false},
    {"Ensure Windows Time service is running", "Windows Time Service", "W32Time", false},
}};

// The printer checks in the order in which they are read and run.
inline constexpr std::array<const char*, 7> kPrinterCheckOrder = {
    config::printer_check::kErrorConditions, config::printer_check::kQueueLength,
    config::printer_check::kDocumentSize,    config::printer_check::kPaused,
    config::printer_check::kOffline,         config::printer_check::kPageCount,
    config::printer_check::kStalledPrinting,
};

// "Threshold" of the stalled-printing check, in minutes, when the store has none.
inline constexpr uint32_t kDefaultStallMinutes = 5;

// What PrintServer_Config reads.
struct PrintServerConfig {
    uint32_t serviceIntervalSeconds = 0;     // "PrintInterval" (minutes, 5 when missing)
    uint32_t printerIntervalSeconds = 0;     // "PrinterInterval" (seconds, 5 when missing)
    uint32_t deviceProbeSeconds = 2;         // "DeviceProbeTimeout" (0: no probe)
    std::vector<ServiceCheck> builtIns;      // all 10 entries of kBuiltInServices, in order
    std::vector<ServiceCheck> customs;       // enabled "CustomServices" entries
    std::vector<MonitoredPrinter> printers;  // printers with at least one enabled check
};

// Reads the monitor's configuration into `config` and returns the number of enabled
// checks (built-in services + custom services + printers). Built-in entries whose subkey
// has no "Enabled" are disabled and named in one "Print Server Monitor Error" alert.
int PrintServer_Config(service::ServiceContext& ctx, PrintServerConfig& config);

// The state of one printer check as the status data (metrics, JSON) show it.
struct PrinterCheckStatus {
    std::string printer;
    std::string title;
    std::string lastStatus;
    uint32_t failureCount = 0;
    int32_t lastValue = -1;
};
// One monitored printer as the last pass saw it.
struct MonitoredPrinterStatus {
    std::string printer;
    std::string stateMessage;  // the spooler's message for the printer
    DeviceReachability device;
};
struct PrinterCheckStatuses {
    std::string lastPrinterCheck;  // time text of the last printer pass
    std::vector<PrinterCheckStatus> checks;
    std::vector<MonitoredPrinterStatus> printers;
};

// The monitor's state between cycles, shared by its thread and the status page.
// @threadsafety The cycle members run on one thread at a time. WriteWebData may run on any
// number of web worker threads meanwhile: the printer pass holds the printer status page
// lock, which the page only tries to take; the other shared values have their own guard.
class PrintServerMonitor : public service::Monitor {
  public:
    using SpoolerFactory = std::function<std::unique_ptr<platform::Spooler>()>;
    // Runs the check that the check's title names; RunPrinterCheck unless replaced.
    using PrinterCheckRunner = std::function<int(PrintEnv&, const PrinterHandle*,
                                                 const std::string&, PrinterCheck&, uint32_t)>;

    // `makeSpooler` gives the monitor its spooler connection; none: this machine's spooler
    // (the client default, which honours CUPS_SERVER). It is called once, at the first
    // printer pass, on the thread of that pass.
    explicit PrintServerMonitor(SpoolerFactory makeSpooler = {});
    ~PrintServerMonitor() override;

    const service::MonitorIdentity& Identity() const override;
    // PrintServer_Config; when there is work to do, also posts "Verifying configured
    // services" and runs VerifyLocalServices, before the skeleton's timed start.
    int ReadConfiguration(service::ServiceContext& ctx) override;
    bool IntervalsDisabled() const override;
    // Runs the service group and the printer group when their countdowns have run out and
    // returns the wait until the next group is due (the smaller countdown).
    uint32_t RunCycle(service::ServiceContext& ctx, uint32_t now) override;
    void ClearAlertTicks() override;
    // The three print server tables of the status page; every text is HTML-escaped.
    void WriteWebData(service::ServiceContext& ctx, service::ReportRequest& request) override;

    // One pass over every monitored printer: the network devices of the printers with jobs
    // are probed (an unreachable one shows as off-line), then the checks outside their
    // non-notification period run against one spooler snapshot (read again after a
    // response).
    void RunPrinterChecks(service::ServiceContext& ctx, uint32_t now);
    // One pass over the enabled built-in, then the enabled custom service checks.
    void RunServiceChecks(service::ServiceContext& ctx, uint32_t now);

    // The tables as configured, with the state of the last pass. For the monitor's own
    // thread, or while no cycle runs (tests, benchmarks); pages use WriteWebData.
    const std::vector<MonitoredPrinter>& Printers() const;
    const std::vector<ServiceCheck>& BuiltInServices() const;
    const std::vector<ServiceCheck>& CustomServices() const;
    // 1 when the printer list holds `name` (compared without regard to case).
    // @threadsafety Always.
    int IsPrinterMonitored(std::string_view name) const;

    // A copy of every printer check's state and of every printer's message and device probe;
    // nullopt while a printer pass runs.
    // @threadsafety Always.
    std::optional<PrinterCheckStatuses> CheckStatuses() const;
    // A copy of the monitored printer `name` (compared without regard to case) as the last
    // pass left it; nullopt when it is not monitored or a printer pass runs.
    // @threadsafety Always.
    std::optional<MonitoredPrinter> PrinterState(std::string_view name) const;

    // Held by a printer pass; the status page shows "Printer monitoring in progress ..."
    // while it cannot take it.
    std::mutex& PrinterStatusPageLock();

    // Replaces the printer check dispatcher (tests observe the pass with it).
    void SetPrinterCheckRunner(PrinterCheckRunner runner);
    // Replaces the device probe (tests, benchmarks); none: TCP connections.
    void SetDeviceProbe(ProbeFunction probe);

  private:
    struct State;
    static void ProbeDevices(State& s, SpoolerSession& session, const companion::Logger& log);
    std::unique_ptr<State> state_;
};

// The thread entry of the print server monitor. While it runs, CurrentPrintServerMonitor()
// gives its monitor (published in the run's context); when it ends for lack of work the monitor
// stays published (the status page then says "Not being monitored ..."), when the service stops it
// is withdrawn.
void SpecificMonitor(service::ServiceContext& ctx);

// The monitor of the running SpecificMonitor thread, or null. The status page keeps the
// returned pointer for the length of one request; the monitor lives as long as it is held.
// @threadsafety Always.
std::shared_ptr<PrintServerMonitor> CurrentPrintServerMonitor(const service::ServiceContext& ctx);

// The web-data mode of SpecificMonitor for the status page: posts "Generating web data"
// and writes the print server tables of the current monitor, or the "Not being monitored
// ..." tables when no monitor has been published.
// @threadsafety Always.
void SpecificMonitorWebData(service::ServiceContext& ctx, service::ReportRequest& request);

}  // namespace kvzn::printmon
