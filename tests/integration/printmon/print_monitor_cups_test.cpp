// The printer checks of the print server monitor against a private cupsd: real queues in
// real states, the alerts they raise, the responses they carry out, and a scheduler that
// hangs or dies under the monitor.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <sstream>
#include <thread>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "alerting/dispatcher.h"
#include "config/registry_names.h"
#include "integration/platform/private_cupsd.h"
#include "platform/fake/fake_service_manager.h"
#include "platform/profile_file.h"
#include "platform/spooler.h"
#include "printmon/print_server_monitor.h"
#include "printmon/printer_actions.h"
#include "printmon/printer_checks.h"
#include "responses/response_runner.h"
#include "support/service_fixture.h"
#include "support/test_support.h"
#include "web/status_data.h"

namespace kvzn::printmon {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
namespace check_title = config::printer_check;
using SteadyClock = std::chrono::steady_clock;

constexpr const char* kNotAccessible =
    "The printer cannot be accessed at the present time - status information is unavailable";

// One check of a monitored printer as the store holds it.
struct CheckSetting {
    std::string title;
    uint32_t threshold = 0;
    uint32_t action = 0;
    bool includePaused = false;
    std::string command{};
    uint32_t countBeforeAction = 0;
    uint32_t nonNotificationPeriod = 0;
};

// A spooler that gives up quickly on a hung scheduler, so that outages cost seconds.
std::unique_ptr<platform::Spooler> QuickSpooler(const std::string& socket) {
    return platform::MakeSpooler({.server = socket, .connectTimeout = 1000ms, .ioTimeout = 1500ms});
}

// One private scheduler per suite; each test adds its own queues and removes them again,
// and has its own store, clock and data directory.
class PrintMonitorCupsTest : public ::testing::Test, protected test::ServiceFixture {
  protected:
    static void SetUpTestSuite() {
        if (!fs::exists(test::PrivateCupsd::kProgram) || ::geteuid() != 0) {
            return;
        }
        cupsd_ = std::make_unique<test::PrivateCupsd>();
        // Save queues at once, so that a scheduler killed and started again still has them.
        std::string conf = test::ReadFile(cupsd_->dir() + "/etc/cupsd.conf");
        test::WriteFile(cupsd_->dir() + "/etc/cupsd.conf", "DirtyCleanInterval 0\n" + conf);
        started_ = cupsd_->Start();
    }
    static void TearDownTestSuite() { cupsd_.reset(); }

    void SetUp() override {
        if (cupsd_ == nullptr) {
            GTEST_SKIP() << "needs cupsd and root (backends must be owned by root)";
        }
        ASSERT_TRUE(started_) << test::ReadFile(cupsd_->dir() + "/log/error_log");
        context.serviceManager = &services_;
        // Every built-in service check present and off: only printers are checked.
        for (const BuiltInService& entry : kBuiltInServices) {
            registry.WriteFlag(
                config::SubKey(config::subkey::kPrint) + "\\" + std::string(entry.title),
                config::check::kEnabled, 0);
        }
        spooler_ = QuickSpooler(cupsd_->socket());
    }
    void TearDown() override {
        if (cupsd_ != nullptr) {
            for (const std::string& queue : queues_) {
                cupsd_->Client({"lpadmin", "-x", queue});
            }
        }
    }

    void Admin(const std::vector<std::string>& argv) {
        const auto [status, output] = cupsd_->Client(argv);
        ASSERT_EQ(status, 0) << argv[0] << ": " << output;
    }
    // A queue on the test device (kvzntest://slow... keeps its jobs printing for a minute).
    void AddQueue(const std::string& name, const std::string& uri = {},
                  const std::vector<std::string>& options = {}) {
        std::vector<std::string> argv{"lpadmin", "-p", name, "-v",
                                      uri.empty() ? "kvzntest://" + name : uri};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back("-E");
        Admin(argv);
        queues_.push_back(name);
    }
    void SetReasons(const std::string& queue, const std::string& reasons) {
        Admin({"lpadmin", "-p", queue, "-o", "printer-state-reasons=" + reasons});
    }
    // Submits a document of `bytes` bytes with lp; the job id.
    int Submit(const std::string& printer, const std::string& title, size_t bytes = 3000,
               bool hold = false) {
        const std::string document = cupsd_->dir() + "/doc-" + std::to_string(bytes) + ".txt";
        if (!fs::exists(document)) {
            test::WriteFile(document, std::string(bytes, 'x'));
        }
        std::string output;
        const int id = cupsd_->Submit(printer, "alice", title, document, hold, output);
        EXPECT_NE(id, 0) << output;
        return id;
    }
    // The queue as the scheduler reports it now.
    platform::PrinterQueue Queue(const std::string& name) {
        auto snapshot = spooler_->Snapshot();
        EXPECT_TRUE(snapshot.ok()) << snapshot.status().Text();
        const platform::PrinterQueue* queue = snapshot.ok() ? snapshot->Find(name) : nullptr;
        EXPECT_NE(queue, nullptr) << name;
        return queue ? *queue : platform::PrinterQueue{};
    }

    // Printer entry n+1 of the store, watching `queue` with the given checks.
    void Watch(const std::string& queue, const std::vector<CheckSetting>& checks) {
        const std::string key = config::SubKey(config::subkey::kPrinters) + "\\" +
                                config::Numbered(config::list::kPrinterEntry, ++printerEntries_);
        registry.WriteText(key, config::list::kPrinterIdentity, queue);
        for (const CheckSetting& setting : checks) {
            const std::string sub = key + "\\" + setting.title;
            registry.WriteFlag(sub, config::check::kEnabled, 1);
            registry.WriteNumber(sub, config::check::kAlertLevel, 4);
            registry.WriteNumber(sub, config::check::kThreshold, setting.threshold);
            registry.WriteNumber(sub, config::check::kActionToTake, setting.action);
            registry.WriteFlag(sub, "IncludePaused", setting.includePaused ? 1 : 0);
            registry.WriteFlag(sub, "NotifyOwner", 0);
            registry.WriteText(sub, config::check::kCommand, setting.command);
            registry.WriteNumber(sub, config::check::kCountBeforeAction, setting.countBeforeAction);
            registry.WriteNumber(sub, config::check::kNonNotificationPeriod,
                                 setting.nonNotificationPeriod);
        }
    }
    // The monitor over the real spooler of the private scheduler, configured from the store.
    std::unique_ptr<PrintServerMonitor> Monitor() {
        auto monitor = std::make_unique<PrintServerMonitor>(
            [socket = cupsd_->socket()] { return QuickSpooler(socket); });
        EXPECT_EQ(monitor->ReadConfiguration(context), printerEntries_);
        return monitor;
    }
    // One printer pass; the clock then moves on by a second.
    void Cycle(PrintServerMonitor& monitor) {
        monitor.RunPrinterChecks(context, clock.TickCount());
        clock.AdvanceMs(1000);
    }
    const PrinterCheck& CheckOf(const PrintServerMonitor& monitor, const std::string& printer,
                                const std::string& title) {
        for (const MonitoredPrinter& p : monitor.Printers()) {
            for (const PrinterCheck& check : p.checks) {
                if (p.name == printer && check.title == title) {
                    return check;
                }
            }
        }
        ADD_FAILURE() << "no check " << title << " for " << printer;
        static const PrinterCheck none;
        return none;
    }

    std::string Field(uint32_t slot, const std::string& key) {
        return platform::GetProfileString(alerting::kRecordSection, key, "<missing>",
                                          alerting::Alerts(context).store.RecordPath(slot), 4096);
    }

    static inline std::unique_ptr<test::PrivateCupsd> cupsd_;
    static inline bool started_ = false;
    platform::FakeServiceManager services_;
    std::unique_ptr<platform::Spooler> spooler_;
    std::vector<std::string> queues_;
    int printerEntries_ = 0;
};

TEST_F(PrintMonitorCupsTest, PrinterErrorsComeFromTheSchedulersReasons) {
    AddQueue("Jam");
    SetReasons("Jam", "media-jam-error");
    AddQueue("JamOut");
    SetReasons("JamOut", "media-empty-error,media-jam-error");
    AddQueue("LowToner");
    SetReasons("LowToner", "toner-low-warning");  // a warning is no error
    AddQueue("Printing", "kvzntest://slow-printing");
    Submit("Printing", "Long job");
    ASSERT_TRUE(test::WaitUntil(
        [&] {
            const auto jobs = Queue("Printing").jobs;
            return !jobs.empty() && jobs[0].state == platform::kIppJobProcessing;
        },
        5s));
    Watch("Jam", {{.title = check_title::kErrorConditions, .nonNotificationPeriod = 5}});
    Watch("JamOut", {{.title = check_title::kErrorConditions, .countBeforeAction = 1}});
    Watch("LowToner", {{.title = check_title::kErrorConditions}});
    Watch("Printing", {{.title = check_title::kErrorConditions}});
    auto monitor = Monitor();

    Cycle(*monitor);
    ASSERT_EQ(RecordedAlerts(), 1u) << "JamOut tolerates its first failure";
    EXPECT_EQ(Field(1, "ErrorTitle"), "Printer Error");
    EXPECT_EQ(Field(1, "AppName"), "Jam");
    EXPECT_EQ(Field(1, "AdditionalInfo1"), "Jam");
    EXPECT_EQ(Field(1, "ErrorType"), "2");
    EXPECT_EQ(Field(1, "AlertLevel"), "4");
    EXPECT_EQ(Field(1, "Message"),
              "A monitored error condition has been detected on printer Jam. A paper jam has "
              "occurred. Printing has stopped ...");
    EXPECT_EQ(CheckOf(*monitor, "LowToner", check_title::kErrorConditions).state.lastStatus,
              "OK - no issues are currently being reported (Queue On-line)");
    EXPECT_EQ(CheckOf(*monitor, "Printing", check_title::kErrorConditions).state.lastStatus,
              "OK - no errors are currently being reported")
        << "a healthy printer with jobs";

    Cycle(*monitor);
    ASSERT_EQ(RecordedAlerts(), 2u) << "Jam waits out its non-notification period";
    EXPECT_EQ(Field(2, "AppName"), "JamOut");
    EXPECT_EQ(Field(2, "Message"),
              "A monitored error condition has been detected on printer JamOut. A paper jam has "
              "occurred. Printing has stopped ...")
        << "a jam is reported before paper out";
    EXPECT_EQ(CheckOf(*monitor, "Jam", check_title::kErrorConditions).state.lastStatus,
              "A paper jam has occurred. Printing has stopped");
}

// A raw queue whose network printer is switched off: the job stays "processing" and CUPS
// retries for ever. The probe shows the device off-line at once, the stalled-printing check
// alerts once the job has made no progress for longer than its threshold; when a printer
// answers on the port and takes the job, both checks pass and nothing more is alerted.
TEST_F(PrintMonitorCupsTest, AJobStalledOnAnUnreachableDeviceIsReportedUntilThePrinterAnswers) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), len), 0);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    const std::string port = std::to_string(ntohs(addr.sin_port));  // bound, not listening yet

    AddQueue("Dead", "socket://127.0.0.1:" + port);
    Watch("Dead", {{.title = check_title::kStalledPrinting, .threshold = 5},
                   {.title = check_title::kOffline}});
    const int job = Submit("Dead", "minutes.txt");
    ASSERT_TRUE(test::WaitUntil(
        [&] {
            const auto queue = Queue("Dead");
            return !queue.jobs.empty() && queue.jobs[0].state == platform::kIppJobProcessing;
        },
        10s))
        << test::ReadFile(cupsd_->dir() + "/log/error_log");
    auto monitor = Monitor();

    // The device refuses: off-line at the first pass, with the probe's finding on the page.
    Cycle(*monitor);
    EXPECT_EQ(CheckOf(*monitor, "Dead", check_title::kOffline)
                  .state.lastStatus.rfind("The print queue is currently off-line", 0),
              0u);
    std::ostringstream html;
    service::ReportRequest page{html};
    monitor->WriteWebData(context, page);
    EXPECT_NE(html.str().find("--- Device 127.0.0.1:" + port), std::string::npos);
    EXPECT_NE(html.str().find("Not reachable - Connection refused"), std::string::npos);
    // Scrapers see the probe and the printer's message too.
    web::StatusData data;
    data.checks = monitor->CheckStatuses().value_or(printmon::PrinterCheckStatuses{});
    EXPECT_NE(web::RenderMetrics(data).find("kvzn_printer_device_reachable{printer=\"Dead\",target="
                                            "\"127.0.0.1:" +
                                            port + "\"} 0\n"),
              std::string::npos);
    const std::string json = web::RenderStatusJson(data);
    EXPECT_NE(json.find("{\"printer\":\"Dead\",\"stateMessage\":"), std::string::npos) << json;
    EXPECT_NE(json.find("\"reachable\":false,\"detail\":\"Connection refused\"}"),
              std::string::npos);

    // Minutes pass (on the monitor's clock) while the job shows no progress. The backend
    // may still change its message in its first seconds, which counts as progress.
    bool stalled = false;
    for (int attempt = 0; attempt < 6 && !stalled; ++attempt) {
        clock.AdvanceMs(6 * 60 * 1000);
        Cycle(*monitor);
        stalled = CheckOf(*monitor, "Dead", check_title::kStalledPrinting).state.lastAlertTick != 0;
        std::this_thread::sleep_for(1s);
    }
    ASSERT_TRUE(stalled);
    bool found = false;
    for (uint32_t slot = 1; slot <= RecordedAlerts(); ++slot) {
        const std::string message = Field(slot, "Message");
        if (message.find("has made no progress") != std::string::npos) {
            found = true;
            EXPECT_EQ(Field(slot, "ErrorTitle"), "Printer Error");
            EXPECT_EQ(
                message.rfind("A monitored condition has been detected on printer Dead. Job " +
                                  std::to_string(job) +
                                  " (minutes.txt, owned by alice) has made no progress for 6 "
                                  "minute(s)",
                              0),
                0u)
                << message;
        }
    }
    EXPECT_TRUE(found);

    // A small raw printer answers on the port and takes the job to its end.
    ASSERT_EQ(::listen(listener, 4), 0);
    std::atomic<size_t> received{0};
    std::jthread printer([&](std::stop_token stop) {
        while (!stop.stop_requested()) {
            pollfd wait{listener, POLLIN, 0};
            if (::poll(&wait, 1, 200) <= 0) {
                continue;
            }
            const int connection = ::accept(listener, nullptr, nullptr);
            char buffer[4096];
            for (ssize_t n;
                 connection >= 0 && (n = ::read(connection, buffer, sizeof buffer)) > 0;) {
                received += static_cast<size_t>(n);
            }
            if (connection >= 0) {
                ::close(connection);
            }
        }
    });
    ASSERT_TRUE(test::WaitUntil([&] { return Queue("Dead").jobs.empty(); }, 60s))
        << test::ReadFile(cupsd_->dir() + "/log/error_log");
    printer.request_stop();
    printer.join();
    ::close(listener);
    EXPECT_GE(received.load(), 3000u);

    const uint32_t before = RecordedAlerts();
    clock.AdvanceMs(60 * 1000);
    Cycle(*monitor);
    Cycle(*monitor);
    EXPECT_EQ(CheckOf(*monitor, "Dead", check_title::kOffline).state.lastStatus, "");
    EXPECT_EQ(CheckOf(*monitor, "Dead", check_title::kStalledPrinting).state.lastStatus, "");
    EXPECT_EQ(RecordedAlerts(), before);
}

TEST_F(PrintMonitorCupsTest, PausedAndOfflinePrintersFailTheirChecks) {
    AddQueue("Paused");
    Admin({"cupsdisable", "Paused"});
    AddQueue("Offline");
    SetReasons("Offline", "offline-report");  // what a backend reports for a dead device
    AddQueue("Rejecting");
    Admin({"cupsreject", "Rejecting"});
    const std::vector<CheckSetting> checks{{.title = check_title::kErrorConditions},
                                           {.title = check_title::kPaused},
                                           {.title = check_title::kOffline}};
    Watch("Paused", checks);
    Watch("Offline", checks);
    Watch("Rejecting", checks);
    auto monitor = Monitor();

    Cycle(*monitor);
    ASSERT_EQ(RecordedAlerts(), 2u);
    EXPECT_EQ(Field(1, "AppName"), "Paused");
    EXPECT_EQ(Field(1, "Message"),
              "A monitored condition has been detected on printer Paused. The printer is "
              "currently paused ...");
    EXPECT_EQ(Field(2, "AppName"), "Offline");
    EXPECT_EQ(Field(2, "Message"),
              "A monitored condition has been detected on printer Offline. The print queue is "
              "currently off-line ...");

    // A paused printer is no error; its other checks stay quiet.
    EXPECT_EQ(CheckOf(*monitor, "Paused", check_title::kErrorConditions).state.lastStatus,
              "OK - no issues are currently being reported (Queue On-line)");
    EXPECT_EQ(CheckOf(*monitor, "Paused", check_title::kOffline).state.lastStatus, "");
    EXPECT_EQ(CheckOf(*monitor, "Offline", check_title::kPaused).state.lastStatus, "");
    // A queue that rejects jobs is worked off-line: shown, not alerted.
    EXPECT_EQ(CheckOf(*monitor, "Rejecting", check_title::kErrorConditions).state.lastStatus,
              "OK - no issues are currently being reported (Queue Off-line)");
    EXPECT_EQ(CheckOf(*monitor, "Rejecting", check_title::kOffline).state.lastStatus, "");
}

TEST_F(PrintMonitorCupsTest, AStoppedJobFailsErrorConditionsWithItsJobText) {
    // A driver whose filter cannot run: the scheduler stops the job, the printer stays idle.
    const std::string filter = cupsd_->dir() + "/broken-filter";
    test::WriteFile(filter, "#!/bin/sh\necho 'ERROR: cannot convert' >&2\nexit 1\n", 0700);
    const std::string ppd = cupsd_->dir() + "/broken.ppd";
    test::WriteFile(ppd,
                    "*PPD-Adobe: \"4.3\"\n*FormatVersion: \"4.3\"\n*FileVersion: \"1.0\"\n"
                    "*LanguageVersion: English\n*LanguageEncoding: ISOLatin1\n"
                    "*PCFileName: \"BROKEN.PPD\"\n*Manufacturer: \"Test\"\n*Product: \"(Test)\"\n"
                    "*ModelName: \"Broken\"\n*ShortNickName: \"Broken\"\n*NickName: \"Broken\"\n"
                    "*PSVersion: \"(3010.000) 0\"\n*LanguageLevel: \"3\"\n*ColorDevice: False\n"
                    "*DefaultColorSpace: Gray\n*FileSystem: False\n*Throughput: \"1\"\n"
                    "*cupsFilter: \"text/plain 0 " +
                        filter +
                        "\"\n*OpenUI *PageSize: PickOne\n*DefaultPageSize: A4\n"
                        "*PageSize A4/A4: \"\"\n*CloseUI: *PageSize\n*DefaultImageableArea: A4\n"
                        "*ImageableArea A4/A4: \"0 0 595 842\"\n*DefaultPaperDimension: A4\n"
                        "*PaperDimension A4/A4: \"595 842\"\n");
    AddQueue("Broken", {}, {"-P", ppd});
    const int job = Submit("Broken", "Unprintable");
    ASSERT_TRUE(test::WaitUntil(
        [&] {
            const auto jobs = Queue("Broken").jobs;
            return !jobs.empty() && jobs[0].state == platform::kIppJobStopped;
        },
        10s))
        << "job " << job << " never stopped";
    ASSERT_EQ(Queue("Broken").printer.status, 0u) << "only the job is in error";
    Watch("Broken", {{.title = check_title::kErrorConditions}});
    auto monitor = Monitor();

    Cycle(*monitor);
    ASSERT_EQ(RecordedAlerts(), 1u);
    EXPECT_EQ(Field(1, "Message"),
              "A monitored error condition has been detected on printer Broken. Printer Error "
              "detected. The printer reports: Filter failed ...");
    // The scheduler's own message goes with the status text.
    EXPECT_EQ(CheckOf(*monitor, "Broken", check_title::kErrorConditions).state.lastStatus,
              "Printer Error detected. The printer reports: Filter failed");
}

TEST_F(PrintMonitorCupsTest, QueueLengthCountsWaitingJobsAndHeldOnesOnlyWhenIncluded) {
    for (const char* queue : {"Busy", "BusyHeldCounted", "BusyHeldSkipped"}) {
        AddQueue(queue);
        Admin({"cupsdisable", queue});  // the jobs stay queued
        for (int i = 1; i <= 4; ++i) {
            Submit(queue, "Waiting " + std::to_string(i));
        }
        Submit(queue, "Held", 3000, true);
    }
    Watch("Busy", {{.title = check_title::kQueueLength, .threshold = 3}});
    Watch("BusyHeldCounted",
          {{.title = check_title::kQueueLength, .threshold = 4, .includePaused = true}});
    Watch("BusyHeldSkipped", {{.title = check_title::kQueueLength, .threshold = 4}});
    auto monitor = Monitor();

    Cycle(*monitor);
    ASSERT_EQ(RecordedAlerts(), 2u);
    EXPECT_EQ(Field(1, "AppName"), "Busy");
    EXPECT_EQ(Field(1, "Message"),
              "An error has been detected on printer Busy. Print queue length (3) exceeded. "
              "There are currently 4 job(s) in the print queue ...");
    EXPECT_EQ(Field(1, "AdditionalInfo2"), "5") << "every job the spooler returned";
    EXPECT_EQ(Field(2, "AppName"), "BusyHeldCounted");
    EXPECT_EQ(Field(2, "Message"),
              "An error has been detected on printer BusyHeldCounted. Print queue length (4) "
              "exceeded. There are currently 5 job(s) in the print queue ...");
    const PrinterCheck& skipped = CheckOf(*monitor, "BusyHeldSkipped", check_title::kQueueLength);
    EXPECT_EQ(skipped.lastValue, 4);
    EXPECT_EQ(skipped.state.lastStatus, "");
}

TEST_F(PrintMonitorCupsTest, DocumentsOverTheLimitAreDeletedAndOneSuccessIsReported) {
    context.notifyRunningActions = 1;
    AddQueue("Docs");
    Admin({"cupsdisable", "Docs"});
    const int bigA = Submit("Docs", "Big A", 150 * 1024);
    const int small = Submit("Docs", "Small", 3000);
    const int bigB = Submit("Docs", "Big B", 200 * 1024);
    AddQueue("Pages");
    Admin({"cupsdisable", "Pages"});
    Submit("Pages", "No page count");  // lp sends none: it counts as one page
    Watch("Docs",
          {{.title = check_title::kDocumentSize, .threshold = 100, .action = kDeleteDocument}});
    Watch("Pages", {{.title = check_title::kPageCount, .threshold = 0}});
    auto monitor = Monitor();

    Cycle(*monitor);
    std::vector<int> left;
    for (const platform::JobInfo& job : Queue("Docs").jobs) {
        left.push_back(job.id);
    }
    EXPECT_EQ(left, std::vector<int>{small}) << "deleted " << bigA << " and " << bigB;
    EXPECT_EQ(CheckOf(*monitor, "Docs", check_title::kDocumentSize).lastValue, 3)
        << "the largest document left, in Kb";

    ASSERT_EQ(RecordedAlerts(), 2u);
    EXPECT_EQ(Field(1, "ErrorTitle"), "Printer Error");
    EXPECT_EQ(Field(1, "AppName"), "Docs");
    EXPECT_EQ(Field(1, "Auto-Response"), "1");
    EXPECT_EQ(Field(1, "Message"),
              "Automatic response was successful. One or more documents being printed on Docs "
              "were larger than the permitted limit. The Korvane/Tessel Monitor has "
              "automatically deleted the print job(s) in response to the error ...");
    EXPECT_EQ(Field(2, "ErrorTitle"), "Print Document Size Error");
    EXPECT_EQ(Field(2, "AdditionalInfo2"), "No page count");
    EXPECT_EQ(Field(2, "AdditionalInfo3"), "1");
    EXPECT_EQ(Field(2, "Message"),
              "The document No page count being printed on Pages contains more pages than the "
              "permitted limit. The no. pages in this document is 1 pages - the limit is 0 "
              "pages");
}

TEST_F(PrintMonitorCupsTest, PrinterResponsesWaitAndTheRecheckDecidesTheFollowUp) {
    context.notifyRunningActions = 1;
    registry.WriteNumber(config::kProductKey, config::value::kPrintActionWaitTime, 1);
    AddQueue("JamPause");
    SetReasons("JamPause", "media-jam-error");
    AddQueue("PausedResume");
    Admin({"cupsdisable", "PausedResume"});
    Watch("JamPause", {{.title = check_title::kErrorConditions, .action = kPausePrinter}});
    Watch("PausedResume", {{.title = check_title::kPaused, .action = kResumePrinter}});
    auto monitor = Monitor();

    const auto start = SteadyClock::now();
    Cycle(*monitor);
    const auto took = SteadyClock::now() - start;
    EXPECT_GE(took, 2s) << "one second after each of the two responses";
    EXPECT_LT(took, 10s);

    EXPECT_EQ(Queue("JamPause").printer.status,
              platform::kPrinterPaused | platform::kPrinterPaperJam);
    EXPECT_EQ(Queue("PausedResume").printer.status, 0u);
    ASSERT_EQ(RecordedAlerts(), 2u);
    // Pausing does not clear a jam: the re-check still fails.
    EXPECT_EQ(Field(1, "AppName"), "JamPause");
    EXPECT_EQ(Field(1, "Auto-Response"), "0");
    EXPECT_EQ(Field(1, "Message"),
              "Automatic response failed. A monitored error condition has been detected on "
              "printer JamPause. A paper jam has occurred. Printing has stopped. The printer "
              "reports: Paused. The Korvane/Tessel Monitor has automatically paused the printer in "
              "response to the "
              "error but the problem persists. Further investigation is now required ...");
    // Resuming clears the pause: the re-check passes.
    EXPECT_EQ(Field(2, "AppName"), "PausedResume");
    EXPECT_EQ(Field(2, "Auto-Response"), "1");
    EXPECT_EQ(Field(2, "Message"),
              "Automatic response was successful. A monitored condition was previously "
              "detected on printer PausedResume. The printer is currently paused. The "
              "Korvane/Tessel Monitor has automatically resumed the printer in response to the "
              "error ...");
}

// Command and script responses change the spooler behind the monitor's back: the re-check
// reads the spooler as it is after the response, not as it was before.
TEST_F(PrintMonitorCupsTest, CommandAndScriptResponsesAreJudgedOnTheSpoolerAfterThem) {
    context.notifyRunningActions = 1;
    const std::string server = "CUPS_SERVER=" + cupsd_->socket() + " ";
    for (const char* queue : {"CmdResume", "ScriptResume", "CmdNoHelp"}) {
        AddQueue(queue);
        Admin({"cupsdisable", queue});
    }
    test::WriteFile(dir / "resume.sh", server + "cupsenable \"$KVZN_INFO1\"\n", 0644);
    const std::string command = server + "cupsenable <$$PRINTER>";
    Watch("CmdResume", {{.title = check_title::kPaused,
                         .action = responses::kResponseCommand,
                         .command = command}});
    Watch("ScriptResume", {{.title = check_title::kPaused,
                            .action = responses::kResponseScript,
                            .command = "resume.sh"}});
    Watch("CmdNoHelp", {{.title = check_title::kPaused,
                         .action = responses::kResponseCommand,
                         .command = "true"}});
    auto monitor = Monitor();

    Cycle(*monitor);
    ASSERT_EQ(RecordedAlerts(), 3u);
    const std::pair<const char*, std::string> succeeded[] = {{"CmdResume", command},
                                                             {"ScriptResume", "resume.sh"}};
    for (uint32_t slot = 1; const auto& [printer, response] : succeeded) {
        EXPECT_EQ(Queue(printer).printer.status, 0u) << printer;
        EXPECT_EQ(Field(slot, "Auto-Response"), "1") << printer;
        EXPECT_EQ(Field(slot++, "Message"),
                  "Automatic response was successful. A monitored condition was previously "
                  "detected on printer " +
                      std::string(printer) +
                      ". The printer is currently paused. The Korvane/Tessel Monitor "
                      "automatically initiated the command " +
                      response + " in response to the error ...");
    }
    // A command that changes nothing leaves the printer paused.
    EXPECT_EQ(Field(3, "Message"),
              "Automatic response failed. A monitored condition has been detected on printer "
              "CmdNoHelp. The printer is currently paused. The Korvane/Tessel Monitor "
              "automatically initiated the command true in response to the error but the "
              "problem persists. Further investigation is now required ...");
}

TEST_F(PrintMonitorCupsTest, RedirectWithoutAPortRaisesTheRequeueFailure) {
    test::LogCapture log;
    AddQueue("NoPort");
    SetReasons("NoPort", "media-jam-error");
    Watch("NoPort", {{.title = check_title::kErrorConditions, .action = kRedirectQueue}});
    auto monitor = Monitor();

    Cycle(*monitor);
    EXPECT_TRUE(
        log.Contains("Cannot redirect the print queue for printer NoPortbecause no port "
                     "was specified",
                     kPrintServerModule));
    ASSERT_EQ(RecordedAlerts(), 1u) << "the failed response is the only alert";
    EXPECT_EQ(Field(1, "ErrorTitle"), "Monitor/Configuration Error");
    EXPECT_EQ(Field(1, "AppName"), "Check Error Conditions");
    EXPECT_EQ(Field(1, "Message"),
              "The Korvane/Tessel Monitor was unable to automatically requeue jobs for the "
              "printer NoPort in response to the failure of check Check Error Conditions. The "
              "original error was A paper jam has occurred. Printing has stopped ...");
    EXPECT_EQ(Queue("NoPort").printer.deviceUri, "kvzntest://NoPort");
}

// The scheduler stopped (SIGSTOP) or killed under the monitor. Every check of the printer
// fails with its own text, the pass ends within the spooler's time-outs, and the checks pass
// again once the scheduler is back.
TEST_F(PrintMonitorCupsTest, AnUnreachableSchedulerFailsTheChecksQuicklyAndTheyRecover) {
    AddQueue("Steady");
    ASSERT_TRUE(test::WaitUntil(
        [&] {
            return test::ReadFile(cupsd_->dir() + "/etc/printers.conf").find("<Printer Steady>") !=
                   std::string::npos;
        },
        5s));
    Watch("Steady", {{.title = check_title::kErrorConditions},
                     {.title = check_title::kQueueLength, .threshold = 5},
                     {.title = check_title::kDocumentSize, .threshold = 1000},
                     {.title = check_title::kPaused},
                     {.title = check_title::kOffline}});
    auto monitor = Monitor();
    Cycle(*monitor);
    ASSERT_EQ(RecordedAlerts(), 0u);

    const std::vector<std::pair<std::string, std::string>> expected{
        {check_title::kErrorConditions, kNotAccessible},
        {check_title::kQueueLength, kNotAccessible},
        {check_title::kDocumentSize, kNotAccessible},
        {check_title::kPaused,
         "The printer cannot be accessed at the present time - paused status information is "
         "unavailable"},
        {check_title::kOffline,
         "The printer cannot be accessed at the present time - off-line status information is "
         "unavailable"}};
    auto failsEveryCheck = [&](const std::string& outage) {
        const uint32_t before = RecordedAlerts();
        const auto start = SteadyClock::now();
        Cycle(*monitor);
        EXPECT_LT(SteadyClock::now() - start, 6s) << outage;
        EXPECT_EQ(RecordedAlerts(), before + 5) << outage;
        for (const auto& [title, text] : expected) {
            EXPECT_EQ(CheckOf(*monitor, "Steady", title).state.lastStatus, text)
                << outage << ": " << title;
        }
        EXPECT_EQ(Field(before + 1, "Message"),
                  "A monitored error condition has been detected on printer Steady. " +
                      std::string(kNotAccessible) + " ...")
            << outage;
        EXPECT_EQ(Field(before + 3, "Message"),
                  "An error has been detected on printer Steady, whilst checking print queue "
                  "information. " +
                      std::string(kNotAccessible) + ".")
            << outage;
    };
    auto passesEveryCheck = [&](const std::string& after) {
        const uint32_t before = RecordedAlerts();
        Cycle(*monitor);
        EXPECT_EQ(RecordedAlerts(), before) << after;
        EXPECT_EQ(CheckOf(*monitor, "Steady", check_title::kErrorConditions).state.lastStatus,
                  "OK - no issues are currently being reported (Queue On-line)")
            << after;
        EXPECT_EQ(CheckOf(*monitor, "Steady", check_title::kQueueLength).lastValue, 0) << after;
    };

    cupsd_->Signal(SIGSTOP);
    failsEveryCheck("hung scheduler");
    cupsd_->Signal(SIGCONT);
    passesEveryCheck("after SIGCONT");

    // A response changed the spooler, and then the scheduler hung: the printer was opened,
    // but its state cannot be read again.
    SpoolerSession session(*spooler_);
    PrintEnv env{context, session, 0u, {}};
    const std::optional<PrinterHandle> handle = OpenPrinter(session, "Steady");
    ASSERT_TRUE(handle.has_value());
    cupsd_->Signal(SIGSTOP);
    session.Invalidate();
    auto direct = [&](const char* title, auto check) {
        PrinterCheck record;
        record.title = title;
        record.fields.enabled = true;
        record.fields.alertLevel = 4;
        EXPECT_EQ(check(env, &*handle, "Steady", record, clock.TickCount()), 1) << title;
        return record.state.lastStatus;
    };
    const auto start = SteadyClock::now();
    EXPECT_EQ(direct(check_title::kErrorConditions, CheckPrinterStatus),
              "The status of the printer cannot be determined at the present time - the "
              "information is currently unavailable");
    EXPECT_EQ(direct(check_title::kPaused, CheckPrinterPaused),
              "The paused status of the printer cannot be determined at the present time - the "
              "information is currently unavailable");
    EXPECT_EQ(direct(check_title::kOffline, CheckPrinterOffline),
              "The off-line status of the printer cannot be determined at the present time - "
              "the information is currently unavailable");
    EXPECT_LT(SteadyClock::now() - start, 6s);
    cupsd_->Signal(SIGCONT);

    // Killed: nobody serves the socket any more; started again, it has the queue.
    cupsd_->Signal(SIGKILL);
    failsEveryCheck("killed scheduler");
    ASSERT_TRUE(cupsd_->Start()) << test::ReadFile(cupsd_->dir() + "/log/error_log");
    passesEveryCheck("after the restart");
}

}  // namespace
}  // namespace kvzn::printmon
