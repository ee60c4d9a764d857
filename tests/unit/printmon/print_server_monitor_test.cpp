// The print server monitor: configuration, countdowns, the printer pass and the status page.
#include "printmon/print_server_monitor.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "alerting/dispatcher.h"
#include "platform/fake/fake_service_manager.h"
#include "platform/fake/fake_spooler.h"
#include "platform/profile_file.h"
#include "responses/response_runner.h"
#include "service/config_status.h"
#include "support/service_fixture.h"

namespace kvzn::printmon {
namespace {

using platform::ServiceState;
namespace check = config::printer_check;
constexpr size_t npos = std::string::npos;

class PrintServerMonitorTest : public ::testing::Test, protected test::ServiceFixture {
  protected:
    PrintServerMonitorTest() {
        context.serviceManager = &services;
        context.SetComponentStatusSink([this](int, std::string_view t) { lines.emplace_back(t); });
        for (const BuiltInService& entry : kBuiltInServices) {
            SetBuiltIn(entry.title, 0);
        }
    }

    void SetIntervals(uint32_t printMinutes, uint32_t printerSeconds) {
        registry.WriteNumber(config::kProductKey, config::value::kPrintInterval, printMinutes);
        registry.WriteNumber(config::kProductKey, config::value::kPrinterInterval, printerSeconds);
    }
    void SetBuiltIn(std::string_view title, uint32_t enabled) {
        registry.WriteNumber(config::SubKey("Print") + "\\" + std::string(title), "Enabled",
                             enabled);
    }
    // Printer<n> named `name` with the given checks enabled and the others disabled.
    std::string AddPrinter(int n, const std::string& name, std::set<std::string> enabled) {
        const std::string key = config::SubKey("Printers") + "\\Printer" + std::to_string(n);
        registry.WriteText(key, "Printer", name);
        for (const char* title : kPrinterCheckOrder) {
            registry.WriteNumber(key + "\\" + title, "Enabled", enabled.count(title) ? 1 : 0);
        }
        return key + "\\";
    }
    void AddCustom(int n, const std::string& name, const std::string& display, uint32_t enabled) {
        const std::string key = config::SubKey("CustomServices") + "\\Service" + std::to_string(n);
        registry.WriteNumber(key, "Enabled", enabled);
        registry.WriteText(key, "Name", name);
        registry.WriteText(key, "DisplayName", display);
    }
    std::string Record(uint32_t slot, const char* key) {
        return platform::GetProfileString("Default", key, "",
                                          alerting::Alerts(context).store.RecordPath(slot), 1000);
    }
    std::string WebData() {
        std::ostringstream page;
        service::ReportRequest request{page};
        service::MonitorEntry(context, monitor, &request);
        return page.str();
    }
    // The line of the page that shows `text` (one table row per line).
    static std::string RowOf(const std::string& html, const std::string& text) {
        const size_t at = html.find(text);
        if (at == npos) {
            return "<no row with " + text + ">";
        }
        const size_t begin = html.rfind('\n', at) + 1;
        return html.substr(begin, html.find('\n', at) - begin);
    }

    platform::FakeServiceManager services;
    std::unique_ptr<platform::FakeSpooler> pending = std::make_unique<platform::FakeSpooler>();
    platform::FakeSpooler& spooler = *pending;
    PrintServerMonitor monitor{
        [this] { return std::unique_ptr<platform::Spooler>(std::move(pending)); }};
    std::vector<std::string> lines;
    test::LogCapture log;
};

TEST_F(PrintServerMonitorTest, ReadsServicesCustomListAndPrintersWithEnabledChecks) {
    SetBuiltIn("Ensure Print Spooler service is running", 1);
    registry.WriteNumber(config::SubKey("Print") + "\\Ensure Print Spooler service is running",
                         "ActionToTake", 5);
    AddCustom(1, "kvzn-a", "Service A", 0);
    AddCustom(2, "kvzn-b", "Service B", 1);
    AddCustom(4, "kvzn-d", "After the gap", 1);
    AddPrinter(1, "AllOff", {});
    AddPrinter(2, "Q2", {check::kPaused, check::kErrorConditions});
    registry.WriteNumber(AddPrinter(3, "Label", {check::kPageCount}) + check::kPageCount,
                         "NotifyOwner", 1);
    services.SetState("cups", ServiceState::Running);
    services.SetState("kvzn-b", ServiceState::Running);

    EXPECT_EQ(monitor.ReadConfiguration(context), 4);  // 1 built-in + 1 custom + 2 printers
    const ServiceCheck& spoolerCheck = monitor.BuiltInServices().at(5);
    EXPECT_TRUE(spoolerCheck.fields.enabled);
    EXPECT_EQ(spoolerCheck.fields.command, "Spooler");  // restart code: its own service
    ASSERT_EQ(monitor.CustomServices().size(), 1u);
    EXPECT_EQ(monitor.CustomServices()[0].title, "Service B");
    ASSERT_EQ(monitor.Printers().size(), 2u);
    const auto& q2 = monitor.Printers()[0].checks;
    ASSERT_EQ(q2.size(), 2u);
    EXPECT_EQ(q2[0].title, check::kErrorConditions);  // table order, not registry order
    EXPECT_TRUE(monitor.Printers()[1].checks.at(0).notifyOwner);
    EXPECT_EQ(monitor.IsPrinterMonitored("label"), 1);
    EXPECT_EQ(monitor.IsPrinterMonitored("AllOff"), 0);
}

TEST_F(PrintServerMonitorTest, MissingBuiltInSubkeysAreDisabledAndNamedInOneAlert) {
    context.firstRun = true;
    registry.DeleteKey(config::SubKey("Print") + "\\Ensure Alerter service is running");
    registry.DeleteKey(config::SubKey("Print") + "\\Ensure Windows Time service is running");
    AddPrinter(1, "Q1", {check::kPaused});
    EXPECT_EQ(monitor.ReadConfiguration(context), 1);
    EXPECT_FALSE(monitor.BuiltInServices()[0].fields.enabled);
    EXPECT_EQ(Record(1, "ErrorTitle"), "Print Server Monitor Error");
    EXPECT_EQ(Record(1, "AlertLevel"), "1023");
    EXPECT_EQ(Record(1, "Message"),
              "One or more Print server specific checks could not be initialised because "
              "configuration information is missing. Please re-run Setup to correct this error. "
              "The following options have been disabled ... Ensure Alerter service is running, "
              "Ensure Windows Time service is running");
    EXPECT_EQ(Record(2, "ErrorTitle"), "");
}

TEST_F(PrintServerMonitorTest, CountdownsDecideWhichGroupRunsAndHowLongToWait) {
    struct Case {
        uint32_t printMinutes, printerSeconds;
        std::vector<int> serviceAt, printerAt;  // seconds after the first cycle
    };
    for (const Case& c :
         {Case{1, 30, {0, 60, 120}, {0, 30, 60, 90, 120}}, Case{0, 10, {}, {0, 10, 20, 30, 40}}}) {
        SCOPED_TRACE(c.printerSeconds);
        PrintServerMonitor m([] { return std::make_unique<platform::FakeSpooler>(); });
        SetIntervals(c.printMinutes, c.printerSeconds);
        SetBuiltIn("Ensure Print Spooler service is running", 1);
        services.SetState("cups", ServiceState::Running);
        AddPrinter(1, "Q1", {check::kPaused});
        std::vector<int> serviceAt, printerAt;
        int elapsed = 0;
        m.SetPrinterCheckRunner([&](auto&&...) {
            printerAt.push_back(elapsed);
            return 0;
        });
        ASSERT_EQ(m.ReadConfiguration(context), 2);
        for (int cycle = 0; cycle < 5; ++cycle) {
            lines.clear();
            const uint32_t wait = m.RunCycle(context, clock.TickCount());
            if (std::count(lines.begin(), lines.end(), "Verifying status of services")) {
                serviceAt.push_back(elapsed);
            }
            EXPECT_EQ(wait, c.printerSeconds * 1000);
            EXPECT_EQ(lines.back(), "Waiting for next check time in " +
                                        std::to_string(c.printerSeconds) + " seconds");
            elapsed += static_cast<int>(wait / 1000);
        }
        EXPECT_EQ(serviceAt, c.serviceAt);
        EXPECT_EQ(printerAt, c.printerAt);
    }
}

TEST_F(PrintServerMonitorTest, BothIntervalsZeroEndTheThreadAndThePageSaysNotMonitored) {
    SetIntervals(0, 0);
    AddPrinter(1, "Q1", {check::kPaused});
    context.ResumeAll();
    SpecificMonitor(context);  // returns at once: nothing to do
    EXPECT_TRUE(
        log.Contains("There are no monitoring tasks to perform or the monitoring interval "
                     "is disabled. The Print Specific Monitor will close"));
    EXPECT_EQ(platform::GetProfileString("Server-specific", "NoConfigValues", "",
                                         service::ConfigStatusPath(context)),
              "1");
    ASSERT_NE(CurrentPrintServerMonitor(context), nullptr);  // the status page still finds it
    std::ostringstream page;
    service::ReportRequest request{page};
    SpecificMonitorWebData(context, request);
    const std::string html = page.str();
    const size_t services = html.find("Local Service Status ...");
    EXPECT_LT(html.find("Not being monitored ..."), services);   // printer table
    EXPECT_GT(html.rfind("Not being monitored ..."), services);  // service table
}

TEST_F(PrintServerMonitorTest, PassRunsDueChecksOnOneSnapshotAndResetsTheLastRestart) {
    spooler.SetPrinter({.name = "Q1"});
    spooler.SetPrinter({.name = "Q2"});
    registry.WriteNumber(
        AddPrinter(1, "Q1", {check::kErrorConditions, check::kPaused}) + check::kErrorConditions,
        "NonNotificationPeriod", 15);
    AddPrinter(2, "q2", {check::kQueueLength});
    AddPrinter(3, "Gone", {check::kOffline});
    ASSERT_EQ(monitor.ReadConfiguration(context), 3);
    std::vector<std::string> ran;
    monitor.SetPrinterCheckRunner([&](PrintEnv& env, const PrinterHandle* handle,
                                      const std::string& printer, PrinterCheck& c, uint32_t now) {
        ran.push_back(printer + ":" + c.title);
        EXPECT_TRUE(c.state.lastStatus.empty() && c.lastValue == -1) << "cleared before the check";
        EXPECT_EQ(handle == nullptr, printer == "Gone");
        EXPECT_TRUE(handle == nullptr || ReadPrinter(*handle).ok());
        EXPECT_EQ(env.session.Reads(), 1);
        const bool jam = c.title == check::kErrorConditions;  // fails whenever it runs
        c.state.lastStatus = jam ? "Paper jam" : "OK";
        c.state.lastAlertTick = jam ? now : 0;
        c.lastValue = 3;
        return jam ? 1 : 0;
    });
    registry.WriteText(config::kProductKey, config::value::kLastRebootedFor, "Q1");

    monitor.RunPrinterChecks(context, 1000);
    EXPECT_EQ(ran.size(), 4u);
    EXPECT_TRUE(responses::IsLastRebootedFor(context, "Q1"));  // a check of Q1 failed
    EXPECT_EQ(spooler.Calls(), std::vector<std::string>{"Snapshot"});

    // Five minutes on, the failed check is inside its 15 minutes: not run, its text kept.
    ran.clear();
    monitor.RunPrinterChecks(context, 1000 + 5 * 60000);
    EXPECT_EQ(ran.front(), "Q1:Check Printer Paused");
    EXPECT_EQ(monitor.Printers()[0].checks[0].state.lastStatus, "Paper jam");
    EXPECT_EQ(monitor.Printers()[0].checks[0].lastValue, 3);
    EXPECT_FALSE(responses::IsLastRebootedFor(context, "Q1"));  // none failed this time
    EXPECT_EQ(spooler.Calls().size(), 2u);                      // one snapshot per pass

    monitor.ClearAlertTicks();  // the tick count wrapped: the check runs again
    ran.clear();
    monitor.RunPrinterChecks(context, 2000);
    EXPECT_EQ(ran.front(), "Q1:Check Error Conditions");
}

TEST_F(PrintServerMonitorTest, WebDataShowsEveryRowWithItsTextEscaped) {
    test::ScopedEnv tz("TZ", "UTC");
    tzset();
    SetBuiltIn("Ensure Print Spooler service is running", 1);
    services.SetState("cups", ServiceState::Running);
    services.SetState("kvzn-x", ServiceState::Running);
    AddCustom(1, "kvzn-x", "X <svc>", 1);
    AddPrinter(1, "<script>alert(1)</script>",
               {check::kErrorConditions, check::kQueueLength, check::kDocumentSize, check::kPaused,
                check::kOffline, check::kPageCount});
    AddPrinter(2, "Q2", {check::kErrorConditions, check::kQueueLength});
    ASSERT_EQ(monitor.ReadConfiguration(context), 4);
    const std::map<std::string, std::pair<std::string, int32_t>> results = {
        {check::kErrorConditions, {"Paper jam & <b>", -1}},
        {check::kQueueLength, {"", 4}},
        {check::kDocumentSize, {"", 120}},
        {check::kPageCount, {"", 3}},
        {check::kPaused, {"", -1}},
        {check::kOffline, {"N/A", -1}}};
    monitor.SetPrinterCheckRunner([&](PrintEnv&, const PrinterHandle*, const std::string& printer,
                                      PrinterCheck& c, uint32_t) {
        if (printer == "Q2") {
            c.state.lastStatus = c.title == check::kErrorConditions ? "OK" : "";
        } else {
            std::tie(c.state.lastStatus, c.lastValue) = results.at(c.title);
        }
        return 0;
    });
    EXPECT_NE(WebData().find("Last Checked: N/A"), npos);
    monitor.RunCycle(context, clock.TickCount());
    services.SetState("kvzn-x", ServiceState::Stopped);

    const std::string html = WebData();
    EXPECT_EQ(lines.back(), "Generating web data");
    EXPECT_EQ(html.find("<script>"), npos);
    EXPECT_NE(html.find("&lt;script&gt;alert(1)&lt;/script&gt;"), npos);
    EXPECT_NE(RowOf(html, "Local Printer Status ...").find("images/Printer.bmp"), npos);
    EXPECT_NE(html.find("Last Checked: 01/01/2026 00:00:00"), npos);
    EXPECT_NE(RowOf(html, "Printer Name/Check").find("Most Recent Status/Value"), npos);
    for (const auto& [label, value] : std::vector<std::pair<std::string, std::string>>{
             {"--- Current Printer Status", "#D3302C\">Paper jam &amp; &lt;b&gt;<"},
             {"--- Current Queue Length", ">4<"},
             {"--- Size of largest Job in Queue", ">120 Kb<"},
             {"--- Length of longest Job in Queue", ">3 page(s)<"},
             {"--- Is Printer Paused ?", ">No<"},
             {"--- Is Printer Off-line ?", ">[Not Yet Checked or Disabled]<"}}) {
        EXPECT_NE(RowOf(html, label).find(value), npos) << RowOf(html, label);
    }
    const std::string q2 = html.substr(html.find(">Q2<"));
    EXPECT_NE(RowOf(q2, "--- Current Printer Status").find("2\">OK<"), npos);  // not red
    EXPECT_NE(RowOf(q2, "--- Current Queue Length").find("[Running or N/A]"), npos);

    EXPECT_NE(html.find("Printer &amp; Print Queue Activity ..."), npos);
    EXPECT_NE(RowOf(html, "View Local Printer Queue Status :")
                  .find("HREF=\"PrintPrintQ.kvp\">Click Here</A> for more information"),
              npos);
    EXPECT_NE(RowOf(html, "Local Service Status ...").find("images/Monitor.bmp"), npos);
    EXPECT_NE(RowOf(html, "Printer Spooler").find("Running OK"), npos);
    EXPECT_LT(html.find("Printer Spooler"), html.find("Custom Services ..."));
    EXPECT_NE(RowOf(html, "X &lt;svc&gt;").find("#D3302C\">is stopped on this host<"), npos);
}

TEST_F(PrintServerMonitorTest, PrinterRowsGiveWayToARunningPass) {
    AddPrinter(1, "Q1", {check::kPaused});
    ASSERT_EQ(monitor.ReadConfiguration(context), 1);
    std::string html;
    {
        std::scoped_lock busy(monitor.PrinterStatusPageLock());  // a printer pass under way
        std::thread([&] { html = WebData(); }).join();
    }
    EXPECT_NE(html.find("Printer monitoring in progress ..."), npos);
    EXPECT_EQ(html.find(">Q1<"), npos);
    EXPECT_NE(html.find("No monitored Services are currently enabled ..."), npos);
    EXPECT_NE(WebData().find(">Q1<"), npos);
}

}  // namespace
}  // namespace kvzn::printmon
