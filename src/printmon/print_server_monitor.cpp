// The print server monitor: configuration, the service and printer countdowns, the printer
// pass over one spooler snapshot, and the print server tables of the status page.
#include "printmon/print_server_monitor.h"

#include <strings.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <optional>

#include "alerting/dispatcher.h"
#include "alerting/message_text.h"
#include "companion/activity_log.h"
#include "companion/html.h"
#include "config/numbered_lists.h"
#include "config/registry_names.h"
#include "platform/text.h"
#include "printmon/printer_checks.h"
#include "responses/response_runner.h"
#include "service/monitor_schedule.h"

namespace kvzn::printmon {

namespace {

constexpr std::string_view kModule = kPrintServerModule;
constexpr const char* kNotApplicable = "N/A";
constexpr const char* kRed = "#D3302C";
// The longest wait that still fits the millisecond wait of the skeleton.
constexpr int64_t kLongestWaitSeconds = std::numeric_limits<uint32_t>::max() / 1000;

// "ActionToTake" 2 restarts the server; 5 restarts the check's own service.
void ApplyServiceResponseRules(ServiceCheck& check) {
    check.fields.restart = check.fields.actionToTake == config::kActionRebootServer;
    if (check.fields.actionToTake == responses::kResponseRestartService) {
        check.fields.command = check.serviceName;
    }
}

void ReadBuiltInServices(service::ServiceContext& ctx, PrintServerConfig& config, int& count) {
    const companion::Registry& registry = ctx.registry;
    const std::string printKey = config::SubKey(config::subkey::kPrint);
    std::string missing;
    config.builtIns.clear();
    for (const BuiltInService& entry : kBuiltInServices) {
        ServiceCheck check;
        check.title = entry.title;
        check.displayName = entry.displayName;
        check.serviceName = entry.serviceName;
        const std::string key = printKey + "\\" + check.title;
        uint32_t enabled = 0;
        if (registry.ReadFlag(key, config::check::kEnabled, enabled) != 0) {
            missing += (missing.empty() ? "" : ", ") + check.title;
        } else if (enabled == 1) {
            check.fields = config::ReadCommonCheckFields(registry, key);
            registry.ReadText(key, "Service", check.serviceName, 256);
            ApplyServiceResponseRules(check);
            ++count;
        }
        config.builtIns.push_back(std::move(check));
    }
    if (!missing.empty()) {
        std::string message =
            "One or more Print server specific checks could not be initialised because "
            "configuration information is missing. Please re-run Setup to correct this error. "
            "The following options have been disabled ... " +
            missing;
        alerting::NotifyError(ctx, alerting::kCategoryPrintServer, alerting::kAllLevels, 0,
                              "Print Server Monitor Error", "Print Server Monitoring", message);
    }
}

void ReadCustomServices(const companion::Registry& registry, PrintServerConfig& config, int& count,
                        const companion::Logger& log) {
    bool outOfMemory = false;
    config.customs.clear();
    config::WalkNumberedSubkeys(
        registry, config::SubKey(config::subkey::kCustomServices), config::list::kServiceEntry,
        config::list::kServiceIdentity, true, [&](int, const std::string& key) {
            if (outOfMemory) {
                return;
            }
            try {
                ServiceCheck check;
                check.fields = config::ReadCommonCheckFields(registry, key);
                check.serviceName = check.fields.name;
                check.displayName = check.fields.displayName;
                check.title = check.fields.displayName;
                ApplyServiceResponseRules(check);
                check.fields.enabled = true;
                config.customs.push_back(std::move(check));
                ++count;
            } catch (const std::bad_alloc&) {
                log(1, "Insufficient memory available while allocating custom Services");
                outOfMemory = true;
            }
        });
}

void ReadPrinters(const companion::Registry& registry, PrintServerConfig& config, int& count,
                  const companion::Logger& log) {
    bool outOfMemory = false;
    config.printers.clear();
    config::WalkNumberedSubkeys(
        registry, config::SubKey(config::subkey::kPrinters), config::list::kPrinterEntry,
        config::list::kPrinterIdentity, false, [&](int, const std::string& key) {
            if (outOfMemory) {
                return;
            }
            std::vector<const char*> enabledChecks;
            for (const char* title : kPrinterCheckOrder) {
                uint32_t enabled = 0;
                if (registry.ReadFlag(key + "\\" + title, config::check::kEnabled, enabled) == 0 &&
                    enabled == 1) {
                    enabledChecks.push_back(title);
                }
            }
            if (enabledChecks.empty()) {
                return;
            }
            try {
                config.printers.emplace_back();
                ++count;
            } catch (const std::bad_alloc&) {
                log(1, "Insufficient memory available while allocating monitored printers");
                outOfMemory = true;
                return;
            }
            MonitoredPrinter& printer = config.printers.back();
            registry.ReadText(key, config::list::kPrinterIdentity, printer.name, 256);
            try {
                printer.checks.reserve(enabledChecks.size());  // kept for the whole run
                for (const char* title : enabledChecks) {
                    const std::string checkKey = key + "\\" + title;
                    PrinterCheck check;
                    check.title = title;
                    check.fields = config::ReadCommonCheckFields(registry, checkKey);
                    uint32_t flag = 0;
                    check.notifyOwner =
                        registry.ReadFlag(checkKey, "NotifyOwner", flag) == 0 && flag == 1;
                    flag = 0;
                    check.includePaused =
                        registry.ReadFlag(checkKey, "IncludePaused", flag) == 0 && flag == 1;
                    check.lastValue = -1;
                    if (check.title == config::printer_check::kStalledPrinting) {
                        uint32_t minutes = kDefaultStallMinutes;
                        registry.ReadNumber(checkKey, config::check::kThreshold, minutes);
                        check.fields.threshold = minutes;
                    }
                    printer.checks.push_back(std::move(check));
                }
            } catch (const std::bad_alloc&) {
                log(1, "Insufficient memory available while allocating monitored printer checks");
            }
        });
}

// The label of a printer check on the status page.
std::string_view CheckLabel(std::string_view title) {
    using namespace config::printer_check;
    if (title == kQueueLength) {
        return "--- Current Queue Length";
    }
    if (title == kDocumentSize) {
        return "--- Size of largest Job in Queue";
    }
    if (title == kPageCount) {
        return "--- Length of longest Job in Queue";
    }
    if (title == kPaused) {
        return "--- Is Printer Paused ?";
    }
    if (title == kOffline) {
        return "--- Is Printer Off-line ?";
    }
    if (title == kStalledPrinting) {
        return "--- Is Printing Stalled ?";
    }
    return "--- Current Printer Status";
}

// The value column of a printer check; `red` when the text reports a problem.
std::string CheckValue(const PrinterCheck& check, bool& red) {
    using namespace config::printer_check;
    red = false;
    if (check.lastValue != -1) {
        const std::string number = std::to_string(check.lastValue);
        if (check.title == kDocumentSize) {
            return number + " Kb";
        }
        if (check.title == kPageCount) {
            return number + " page(s)";
        }
        return number;
    }
    const std::string& status = check.state.lastStatus;
    if (status.empty()) {
        return check.title == kPaused || check.title == kOffline || check.title == kStalledPrinting
                   ? "No"
                   : "[Running or N/A]";
    }
    if (status.rfind("OK", 0) == 0 || status == "No") {
        return status;
    }
    if (status != kNotApplicable) {
        red = true;
        return status;
    }
    return "[Not Yet Checked or Disabled]";
}

// The markup around the texts. Every text goes through HtmlEscape here.
class StatusTable {
  public:
    StatusTable(std::ostream& page, std::string_view heading, std::string_view image = {},
                std::optional<std::string> lastChecked = std::nullopt)
        : page_(page) {
        page_ << "<HR>\n<TABLE WIDTH=\"777\" ALIGN=\"CENTER\" BORDER=\"0\" CELLPADDING=\"2\" "
                 "CELLSPACING=\"0\">\n<TR><TD COLSPAN=\"2\">";
        if (!image.empty()) {
            page_ << "<IMG SRC=\"" << companion::HtmlEscape(image) << "\" ALT=\"\"> ";
        }
        page_ << "<FONT FACE=\"Arial\" SIZE=\"3\"><B>" << companion::HtmlEscape(heading)
              << "</B></FONT></TD></TR>\n";
        if (lastChecked) {
            page_ << "<TR><TD COLSPAN=\"2\"><FONT FACE=\"Arial\" SIZE=\"2\"><I>"
                  << companion::HtmlEscape("Last Checked: " + *lastChecked)
                  << "</I></FONT></TD></TR>\n";
        }
    }
    ~StatusTable() { page_ << "</TABLE>\n"; }
    StatusTable(const StatusTable&) = delete;
    StatusTable& operator=(const StatusTable&) = delete;

    void Message(std::string_view text) {
        page_ << "<TR><TD COLSPAN=\"2\"><FONT FACE=\"Arial\" SIZE=\"2\">"
              << companion::HtmlEscape(text) << "</FONT></TD></TR>\n";
    }
    void Header(std::string_view left, std::string_view right) {
        page_ << "<TR><TD WIDTH=\"50%\"><FONT FACE=\"Arial\" SIZE=\"2\"><B>"
              << companion::HtmlEscape(left)
              << "</B></FONT></TD><TD><FONT FACE=\"Arial\" SIZE=\"2\"><B>"
              << companion::HtmlEscape(right) << "</B></FONT></TD></TR>\n";
    }
    void Row(std::string_view left, std::string_view right, bool red = false) {
        page_ << "<TR><TD WIDTH=\"50%\"><FONT FACE=\"Arial\" SIZE=\"2\">"
              << companion::HtmlEscape(left) << "</FONT></TD><TD><FONT FACE=\"Arial\" SIZE=\"2\"";
        if (red) {
            page_ << " COLOR=\"" << kRed << "\"";
        }
        page_ << ">" << companion::HtmlEscape(right) << "</FONT></TD></TR>\n";
    }
    void Link(std::string_view label, std::string_view target) {
        page_ << "<TR><TD WIDTH=\"50%\"><FONT FACE=\"Arial\" SIZE=\"2\">"
              << companion::HtmlEscape(label)
              << "</FONT></TD><TD><FONT FACE=\"Arial\" SIZE=\"2\"><A HREF=\""
              << companion::HtmlEscape(target) << "\">" << companion::HtmlEscape("Click Here")
              << "</A>" << companion::HtmlEscape(" for more information") << "</FONT></TD></TR>\n";
    }
    void Empty() { page_ << "<TR><TD COLSPAN=\"2\">&nbsp;</TD></TR>\n"; }

  private:
    std::ostream& page_;
};

// What the status page shows of a service check, copied under the monitor's guard.
struct ServiceRow {
    std::string displayName;
    std::string serviceName;
};

}  // namespace

namespace {
const service::MonitorIdentity kIdentity{
    "SpecificMonitor",
    kPrintServerComponent,
    kPrintServerModule,
    "There are no monitoring tasks to perform or the monitoring interval is disabled. The "
    "Print Specific Monitor will close",
    "Server-specific",
    true,
    true};
}  // namespace

int PrintServer_Config(service::ServiceContext& ctx, PrintServerConfig& config) {
    const companion::Logger log(kModule, "PrintServer_Config");
    const companion::Registry& registry = ctx.registry;
    uint32_t printInterval = 5;
    uint32_t printerInterval = 5;
    registry.ReadNumber(config::kProductKey, config::value::kPrintInterval, printInterval);
    registry.ReadNumber(config::kProductKey, config::value::kPrinterInterval, printerInterval);
    registry.ReadNumber(config::kProductKey, config::value::kDeviceProbeTimeout,
                        config.deviceProbeSeconds);
    config.serviceIntervalSeconds = printInterval > std::numeric_limits<uint32_t>::max() / 60
                                        ? std::numeric_limits<uint32_t>::max()
                                        : printInterval * 60;
    config.printerIntervalSeconds = printerInterval;

    int count = 0;
    ReadBuiltInServices(ctx, config, count);
    ReadCustomServices(registry, config, count, log);
    ReadPrinters(registry, config, count, log);
    return count;
}

struct PrintServerMonitor::State {
    SpoolerFactory makeSpooler;
    std::unique_ptr<platform::Spooler> spooler;  // opened at the first printer pass
    PrinterCheckRunner runCheck = RunPrinterCheck;
    DeviceProber prober;
    std::atomic<uint32_t> deviceProbeSeconds{2};
    std::optional<uint32_t> printActionWaitTime;  // kept from pass to pass

    std::atomic<int> enabledChecks{0};
    std::atomic<uint32_t> serviceInterval{0};  // seconds
    std::atomic<uint32_t> printerInterval{0};  // seconds
    int64_t serviceCountdown = 0;              // seconds until the service group is due
    int64_t printerCountdown = 0;              // seconds until the printer group is due

    // The printer status page lock: the printer pass holds it, the page tries it.
    std::mutex printerStatusPage;
    // Replaced under the printer status page lock.
    std::vector<MonitoredPrinter> printers;

    // Guards the texts below, the printer names and the service tables as a whole
    // (replacing them; the monitor's thread alone changes the check states).
    mutable std::mutex shared;
    std::vector<ServiceCheck> builtIns;
    std::vector<ServiceCheck> customs;
    std::vector<std::string> printerNames;
    std::string lastServiceCheck = kNotApplicable;
    std::string lastPrinterCheck = kNotApplicable;
};

PrintServerMonitor::PrintServerMonitor(SpoolerFactory makeSpooler)
    : state_(std::make_unique<State>()) {
    state_->makeSpooler = std::move(makeSpooler);
}

PrintServerMonitor::~PrintServerMonitor() = default;

const service::MonitorIdentity& PrintServerMonitor::Identity() const {
    return kIdentity;
}

int PrintServerMonitor::ReadConfiguration(service::ServiceContext& ctx) {
    State& s = *state_;
    PrintServerConfig config;
    const int count = PrintServer_Config(ctx, config);
    if (count > 0 && (config.serviceIntervalSeconds != 0 || config.printerIntervalSeconds != 0)) {
        ctx.PostComponentStatus(kPrintServerComponent, "Verifying configured services");
        VerifyLocalServices(ctx, config.builtIns, config.customs);
    }

    std::vector<std::string> names;
    for (const MonitoredPrinter& printer : config.printers) {
        names.push_back(printer.name);
    }
    {
        std::scoped_lock lock(s.printerStatusPage);
        s.printers = std::move(config.printers);
    }
    {
        std::scoped_lock lock(s.shared);
        s.builtIns = std::move(config.builtIns);
        s.customs = std::move(config.customs);
        s.printerNames = std::move(names);
    }
    s.serviceInterval = config.serviceIntervalSeconds;
    s.printerInterval = config.printerIntervalSeconds;
    s.deviceProbeSeconds = config.deviceProbeSeconds;
    s.serviceCountdown = 0;
    s.printerCountdown = 0;
    s.enabledChecks = count;
    return count;
}

bool PrintServerMonitor::IntervalsDisabled() const {
    return state_->serviceInterval == 0 && state_->printerInterval == 0;
}

uint32_t PrintServerMonitor::RunCycle(service::ServiceContext& ctx, uint32_t now) {
    State& s = *state_;
    const int64_t serviceInterval = s.serviceInterval;
    const int64_t printerInterval = s.printerInterval;
    if (serviceInterval == 0 && printerInterval == 0) {
        return 60000;  // nothing is ever due
    }
    if (serviceInterval != 0 && s.serviceCountdown <= 0) {
        RunServiceChecks(ctx, now);
        s.serviceCountdown = serviceInterval;
    }
    if (printerInterval != 0 && s.printerCountdown <= 0) {
        ctx.PostComponentStatus(kPrintServerComponent, "Verifying printer/print queue status");
        RunPrinterChecks(ctx, now);
        s.printerCountdown = printerInterval;
    }

    int64_t wait = 0;
    if (serviceInterval != 0 && printerInterval != 0) {
        wait = std::min(s.serviceCountdown, s.printerCountdown);
    } else {
        wait = serviceInterval != 0 ? s.serviceCountdown : s.printerCountdown;
    }
    wait = std::min(wait, kLongestWaitSeconds);
    ctx.PostComponentStatus(kPrintServerComponent,
                            "Waiting for next check time in " + std::to_string(wait) + " seconds");
    // The time the checks took is not subtracted: each group's period is its interval plus
    // the time its checks take.
    s.serviceCountdown -= wait;
    s.printerCountdown -= wait;
    return static_cast<uint32_t>(wait * 1000);
}

void PrintServerMonitor::RunServiceChecks(service::ServiceContext& ctx, uint32_t now) {
    State& s = *state_;
    const companion::Logger log(kModule, "SpecificMonitor");
    const auto evaluate = [&](ServiceCheck& check) {
        try {
            EvaluateServiceCheck(ctx, check, now);
        } catch (const std::exception& e) {
            log(1, "The check ", check.title, " ended on an unexpected error: ", e.what());
        }
    };
    ctx.PostComponentStatus(kPrintServerComponent, "Verifying status of services");
    for (ServiceCheck& check : s.builtIns) {
        evaluate(check);
    }
    ctx.PostComponentStatus(kPrintServerComponent, "Verifying status of custom services");
    for (ServiceCheck& check : s.customs) {
        evaluate(check);
    }
    std::string time = alerting::StandardTimeText(ctx.DateFormat(), ctx.clock);
    std::scoped_lock lock(s.shared);
    s.lastServiceCheck = std::move(time);
}

// The probe of the pass: the devices of the monitored printers that have jobs, once, before
// any check reads the snapshot; the printers whose device did not answer show as off-line.
void PrintServerMonitor::ProbeDevices(State& s, SpoolerSession& session,
                                      const companion::Logger& log) {
    const uint32_t seconds = s.deviceProbeSeconds;
    if (seconds == 0) {
        return;
    }
    auto snapshot = session.Current();
    if (!snapshot.ok()) {
        return;
    }
    std::vector<std::string> names;
    for (const MonitoredPrinter& printer : s.printers) {
        names.push_back(printer.name);
    }
    const std::vector<std::string> before = s.prober.Unreachable();
    try {
        s.prober.Probe(**snapshot, names, std::chrono::seconds(seconds));
    } catch (const std::exception& e) {
        log(1, "The printer devices could not be probed: ", e.what());
        return;
    }
    std::vector<std::string> unreachable = s.prober.Unreachable();
    for (const std::string& name : unreachable) {
        if (std::none_of(before.begin(), before.end(),
                         [&](const std::string& b) { return platform::EqualsNoCase(b, name); })) {
            const DeviceReachability device = s.prober.Of(name);
            log(2, "The device of printer ", name, " (", device.target,
                ") does not answer: ", device.detail);
        }
    }
    session.SetUnreachableDevices(std::move(unreachable));
}

void PrintServerMonitor::RunPrinterChecks(service::ServiceContext& ctx, uint32_t now) {
    State& s = *state_;
    const companion::Logger log(kModule, "SpecificMonitor");
    {
        std::scoped_lock pageLock(s.printerStatusPage);
        if (!s.spooler && s.makeSpooler) {
            s.spooler = s.makeSpooler();
        }
        if (!s.spooler) {
            s.spooler = platform::MakeSpooler();
        }
        SpoolerSession session(*s.spooler);
        ProbeDevices(s, session, log);
        PrintEnv env{ctx, session, s.printActionWaitTime};
        for (MonitoredPrinter& printer : s.printers) {
            try {
                printer.device = s.prober.Of(printer.name);
                if (auto snapshot = session.Current(); snapshot.ok()) {
                    const platform::PrinterQueue* queue = (*snapshot)->Find(printer.name);
                    printer.stateMessage = queue != nullptr ? queue->printer.stateMessage : "";
                }
                const std::optional<PrinterHandle> handle = OpenPrinter(session, printer.name);
                bool failed = false;
                for (PrinterCheck& check : printer.checks) {
                    if (service::IsIntervalElapsed(now, check.state.lastAlertTick,
                                                   check.fields.nonNotificationPeriod) == 0) {
                        continue;
                    }
                    check.state.lastStatus.clear();
                    check.lastValue = -1;
                    if (s.runCheck(env, handle ? &*handle : nullptr, printer.name, check, now) !=
                        0) {
                        failed = true;
                    }
                }
                if (!failed) {
                    responses::ResetLastRebootedFor(ctx, printer.name);
                }
            } catch (const std::exception& e) {
                log(1, "The checks of the printer ", printer.name,
                    " ended on an unexpected error: ", e.what());
            }
        }
        s.printActionWaitTime = env.printActionWaitTime;
    }
    std::string time = alerting::StandardTimeText(ctx.DateFormat(), ctx.clock);
    std::scoped_lock lock(s.shared);
    s.lastPrinterCheck = std::move(time);
}

void PrintServerMonitor::ClearAlertTicks() {
    State& s = *state_;
    for (ServiceCheck& check : s.builtIns) {
        check.state.lastAlertTick = 0;
    }
    for (ServiceCheck& check : s.customs) {
        check.state.lastAlertTick = 0;
    }
    for (MonitoredPrinter& printer : s.printers) {
        for (PrinterCheck& check : printer.checks) {
            check.state.lastAlertTick = 0;
        }
    }
}

void PrintServerMonitor::WriteWebData(service::ServiceContext& ctx,
                                      service::ReportRequest& request) {
    State& s = *state_;
    std::ostream& page = request.page;
    const bool configured = s.enabledChecks != 0;

    std::string lastPrinterCheck;
    std::string lastServiceCheck;
    std::vector<ServiceRow> builtInRows;
    std::vector<ServiceRow> customRows;
    {
        std::scoped_lock lock(s.shared);
        lastPrinterCheck = s.lastPrinterCheck;
        lastServiceCheck = s.lastServiceCheck;
        for (const ServiceCheck& check : s.builtIns) {
            if (check.fields.enabled) {
                builtInRows.push_back({check.displayName, check.serviceName});
            }
        }
        for (const ServiceCheck& check : s.customs) {
            if (check.fields.enabled) {
                customRows.push_back({check.displayName, check.serviceName});
            }
        }
    }

    {
        StatusTable table(page, "Local Printer Status ...", "images/Printer.bmp", lastPrinterCheck);
        if (!configured || s.printerInterval == 0) {
            table.Message("Not being monitored ...");
        } else {
            table.Header("Printer Name/Check", "Most Recent Status/Value");
            std::unique_lock lock(s.printerStatusPage, std::try_to_lock);
            if (!lock.owns_lock()) {
                table.Message("Printer monitoring in progress ...");
            } else if (s.printers.empty()) {
                table.Message("No monitored Printers are currently enabled ...");
            } else {
                for (const MonitoredPrinter& printer : s.printers) {
                    table.Row(printer.name, "");
                    for (const PrinterCheck& check : printer.checks) {
                        bool red = false;
                        const std::string value = CheckValue(check, red);
                        table.Row(CheckLabel(check.title), value, red);
                    }
                    if (!printer.stateMessage.empty()) {
                        table.Row("--- Printer Message", printer.stateMessage);
                    }
                    if (printer.device.probed) {
                        table.Row("--- Device " + printer.device.target,
                                  printer.device.reachable
                                      ? std::string("Reachable")
                                      : "Not reachable - " + printer.device.detail,
                                  !printer.device.reachable);
                    }
                }
            }
        }
    }

    {
        StatusTable table(page, "Printer & Print Queue Activity ...");
        table.Link("View Local Printer Summary :", "PrintPrinterSummary.kvp");
        table.Link("View Local Printer Status :", "PrintPrinters.kvp");
        table.Link("View Local Printer Queue Status :", "PrintPrintQ.kvp");
    }

    StatusTable table(page, "Local Service Status ...", "images/Monitor.bmp", lastServiceCheck);
    if (!configured || s.serviceInterval == 0) {
        table.Message("Not being monitored ...");
        return;
    }
    table.Header("Service Name", "Current Status");
    const auto serviceRow = [&](const ServiceRow& row) {
        std::string text;
        if (CheckServiceRunning(ctx, row.serviceName, text) == 0) {
            table.Row(row.displayName, "Running OK");
        } else {
            table.Row(row.displayName, text, true);
        }
    };
    for (const ServiceRow& row : builtInRows) {
        serviceRow(row);
    }
    if (!customRows.empty()) {
        if (!builtInRows.empty()) {
            table.Empty();
        }
        table.Message("Custom Services ...");
        for (const ServiceRow& row : customRows) {
            serviceRow(row);
        }
    }
    if (builtInRows.empty() && customRows.empty()) {
        table.Message("No monitored Services are currently enabled ...");
    }
}

const std::vector<MonitoredPrinter>& PrintServerMonitor::Printers() const {
    return state_->printers;
}

const std::vector<ServiceCheck>& PrintServerMonitor::BuiltInServices() const {
    return state_->builtIns;
}

const std::vector<ServiceCheck>& PrintServerMonitor::CustomServices() const {
    return state_->customs;
}

int PrintServerMonitor::IsPrinterMonitored(std::string_view name) const {
    std::scoped_lock lock(state_->shared);
    const auto& names = state_->printerNames;
    return std::any_of(
               names.begin(), names.end(),
               [&](const std::string& printer) { return platform::EqualsNoCase(printer, name); })
               ? 1
               : 0;
}

std::optional<PrinterCheckStatuses> PrintServerMonitor::CheckStatuses() const {
    State& s = *state_;
    PrinterCheckStatuses out;
    {
        std::scoped_lock lock(s.shared);
        out.lastPrinterCheck = s.lastPrinterCheck;
    }
    std::unique_lock lock(s.printerStatusPage, std::try_to_lock);
    if (!lock.owns_lock()) {
        return std::nullopt;
    }
    for (const MonitoredPrinter& printer : s.printers) {
        for (const PrinterCheck& check : printer.checks) {
            out.checks.push_back({printer.name, check.title, check.state.lastStatus,
                                  check.state.failureCount, check.lastValue});
        }
        out.printers.push_back({printer.name, printer.stateMessage, printer.device});
    }
    return out;
}

std::optional<MonitoredPrinter> PrintServerMonitor::PrinterState(std::string_view name) const {
    std::unique_lock lock(state_->printerStatusPage, std::try_to_lock);
    if (!lock.owns_lock()) {
        return std::nullopt;
    }
    for (const MonitoredPrinter& printer : state_->printers) {
        if (platform::EqualsNoCase(printer.name, name)) {
            return printer;
        }
    }
    return std::nullopt;
}

std::mutex& PrintServerMonitor::PrinterStatusPageLock() {
    return state_->printerStatusPage;
}

void PrintServerMonitor::SetPrinterCheckRunner(PrinterCheckRunner runner) {
    state_->runCheck = runner ? std::move(runner) : PrinterCheckRunner(RunPrinterCheck);
}

void PrintServerMonitor::SetDeviceProbe(ProbeFunction probe) {
    state_->prober = DeviceProber(std::move(probe));
}

void SpecificMonitor(service::ServiceContext& ctx) {
    auto monitor = std::make_shared<PrintServerMonitor>();
    ctx.PublishMonitor(kPrintServerComponent, monitor);
    try {
        service::MonitorEntry(ctx, *monitor, nullptr);
    } catch (const std::exception& e) {
        companion::Logger(kModule, "SpecificMonitor")(
            1, "The print server monitor ended on an unexpected error: ", e.what());
    }
    if (ctx.Stopping()) {
        ctx.WithdrawMonitor(kPrintServerComponent, monitor.get());
    }
}

std::shared_ptr<PrintServerMonitor> CurrentPrintServerMonitor(const service::ServiceContext& ctx) {
    return std::dynamic_pointer_cast<PrintServerMonitor>(
        ctx.PublishedMonitor(kPrintServerComponent));
}

void SpecificMonitorWebData(service::ServiceContext& ctx, service::ReportRequest& request) {
    std::shared_ptr<PrintServerMonitor> monitor = CurrentPrintServerMonitor(ctx);
    if (!monitor) {
        monitor = std::make_shared<PrintServerMonitor>();  // nothing configured
    }
    service::MonitorEntry(ctx, *monitor, &request);
}

}  // namespace kvzn::printmon
