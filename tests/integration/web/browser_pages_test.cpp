// The pages in a real browser: headless Chromium against the web server, whose print
// server monitor watches a private scheduler with a jammed, a paused and a healthy printer.
// A screenshot of each page is kept in the build tree (test-artefacts/web) for people to
// look at.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <thread>

#include "../platform/private_cupsd.h"
#include "alerting/dispatcher.h"
#include "config/registry_names.h"
#include "platform/fake/fake_service_manager.h"
#include "platform/profile_file.h"
#include "printmon/print_server_monitor.h"
#include "service/config_status.h"
#include "support/child_process.h"
#include "support/mail_server.h"
#include "support/service_fixture.h"
#include "support/test_web_server.h"
#include "support/web_client.h"
#include "web/web_server.h"

namespace kvzn::web {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
namespace check_title = config::printer_check;

constexpr const char* kChromium = "/usr/bin/chromium";

std::unique_ptr<platform::Spooler> QuickSpooler(const std::string& socket) {
    return platform::MakeSpooler({.server = socket, .connectTimeout = 1000ms, .ioTimeout = 1500ms});
}

class BrowserPagesTest : public ::testing::Test, protected test::ServiceFixture {
  protected:
    void SetUp() override {
        if (!fs::exists(test::PrivateCupsd::kProgram) || ::geteuid() != 0 ||
            !fs::exists(kChromium)) {
            GTEST_SKIP() << "needs cupsd, root and chromium";
        }
        cupsd_ = std::make_unique<test::PrivateCupsd>();
        ASSERT_TRUE(cupsd_->Start()) << test::ReadFile(cupsd_->dir() + "/log/error_log");
        context.serviceManager = &services_;
        for (const printmon::BuiltInService& entry : printmon::kBuiltInServices) {
            registry.WriteFlag(
                config::SubKey(config::subkey::kPrint) + "\\" + std::string(entry.title),
                config::check::kEnabled, 0);
        }
        // The icons the project ships, so the screenshots show them.
        context.imagesDirectory = std::string(KVZN_SOURCE_DIR) + "/data/images";
        artefacts_ = std::string(KVZN_BINARY_DIR) + "/test-artefacts/web";
        fs::create_directories(artefacts_);
    }

    void Admin(const std::vector<std::string>& argv) {
        const auto [status, output] = cupsd_->Client(argv);
        ASSERT_EQ(status, 0) << argv[0] << ": " << output;
    }
    void Watch(const std::string& queue) {
        const std::string key = config::SubKey(config::subkey::kPrinters) + "\\" +
                                config::Numbered(config::list::kPrinterEntry, ++entries_);
        registry.WriteText(key, config::list::kPrinterIdentity, queue);
        for (const char* title : {check_title::kErrorConditions, check_title::kPaused}) {
            const std::string sub = key + "\\" + title;
            registry.WriteFlag(sub, config::check::kEnabled, 1);
            registry.WriteNumber(sub, config::check::kAlertLevel, 4);
            registry.WriteNumber(sub, config::check::kActionToTake, 0);
        }
    }
    // Chromium's rendering of `path`: the DOM it built, and a screenshot saved as `shot`.
    std::string Browse(const std::string& path, const std::string& shot,
                       const std::string& size = "1280,900") {
        const std::string url = "http://127.0.0.1:" + std::to_string(server_.port()) + path;
        const std::vector<std::string> common = {kChromium,
                                                 "--headless",
                                                 "--no-sandbox",
                                                 "--disable-gpu",
                                                 "--disable-quic",
                                                 "--no-first-run",
                                                 "--disable-background-networking",
                                                 "--disable-component-update",
                                                 "--disable-sync",
                                                 "--hide-scrollbars",
                                                 "--window-size=" + size};
        std::vector<std::string> shotArgs = common;
        shotArgs.push_back("--user-data-dir=" + dir.path() + "/chromium-shot");
        shotArgs.push_back("--screenshot=" + artefacts_ + "/" + shot);
        shotArgs.push_back(url);
        test::ChildProcess screenshot(shotArgs, {"HOME=" + dir.path()});
        EXPECT_EQ(screenshot.Wait(60s), 0) << screenshot.Output();
        std::vector<std::string> domArgs = common;
        domArgs.push_back("--user-data-dir=" + dir.path() + "/chromium-dom");
        domArgs.push_back("--dump-dom");
        domArgs.push_back(url);
        test::ChildProcess dom(domArgs, {"HOME=" + dir.path()});
        EXPECT_EQ(dom.Wait(60s), 0);
        const std::string out = dom.Output();
        for (size_t at = out.find("<img src=\""); at != std::string::npos;
             at = out.find("<img src=\"", at + 1)) {
            const size_t start = at + 10;
            images_.insert(out.substr(start, out.find('"', start) - start));
        }
        return out;
    }

    std::unique_ptr<test::PrivateCupsd> cupsd_;
    platform::FakeServiceManager services_;
    std::string artefacts_;
    std::set<std::string> images_;  // every <img src> of the pages browsed
    int entries_ = 0;
    test::TestWebServer server_;
};

TEST_F(BrowserPagesTest, EveryPageRendersTheMonitoredPrinters) {
    for (const char* queue : {"Jammed", "Paused", "Healthy"}) {
        Admin({"lpadmin", "-p", queue, "-v", std::string("kvzntest://") + queue, "-E"});
        Watch(queue);
    }
    Admin({"lpadmin", "-p", "Jammed", "-o", "printer-state-reasons=media-jam-error"});
    Admin({"cupsdisable", "Paused"});

    auto monitor = std::make_shared<printmon::PrintServerMonitor>(
        [socket = cupsd_->socket()] { return QuickSpooler(socket); });
    ASSERT_EQ(monitor->ReadConfiguration(context), 3);
    monitor->RunPrinterChecks(context, clock.TickCount());
    context.PublishMonitor(printmon::kPrintServerComponent, monitor);
    std::string message = "Paper jam on <Jammed> & friends";
    ASSERT_EQ(
        alerting::Alerts(context).store.NotifyError(2, 8, 0, "Printer Error", "Jammed", message),
        1);

    platform::WriteProfileString("Installed", "TesselPrint", "1",
                                 context.home + "/kvZNWebServer.ini");
    for (const auto& [key, text] : std::vector<std::pair<const char*, const char*>>{
             {"TesselMonitorName", "Tessel Print Monitor"},
             {"ReportName1", "Current Status"},
             {"URLName1", "PrintStatus.kvp"},
             {"Description1", "printers, queues and services now"},
             {"ReportName2", "Recent Alerts"},
             {"URLName2", "PrintErrors.kvp"},
             {"Description2", "the alerts raised lately"}}) {
        platform::WriteProfileString("TesselPrint", key, text, context.home + "/kvZNWebServer.ini");
    }
    WebServerOptions options;
    options.makeSpooler = [socket = cupsd_->socket()] { return QuickSpooler(socket); };
    ASSERT_TRUE(server_.Start(*this, 3, {}, options));

    const std::string status = Browse("/PrintStatus.kvp", "status.png");
    for (const char* text :
         {"Local Printer Status", "Jammed", "Paused", "Healthy", "Current Monitoring Status"}) {
        EXPECT_NE(status.find(text), std::string::npos) << text;
    }
    EXPECT_NE(status.find("color=\""), std::string::npos) << "a failing check is marked red";
    Browse("/PrintStatus.kvp?AutoRefresh=On", "status-phone.png", "412,915");

    const std::string errors = Browse("/PrintErrors.kvp", "errors.png");
    EXPECT_NE(errors.find("Paper jam on &lt;Jammed&gt; &amp; friends"), std::string::npos);
    EXPECT_EQ(errors.find("<jammed>"), std::string::npos);

    const std::string home = Browse("/", "home.png");
    EXPECT_NE(home.find("Recent Alerts"), std::string::npos);
    const std::string perf = Browse("/PrintPerfLog.kvp", "perflog.png");
    EXPECT_NE(perf.find("Performance Log History"), std::string::npos);
    const std::string logon = Browse("/ZNLogon.kvp?Target=/PrintStatus.kvp", "logon.png");
    EXPECT_NE(logon.find("Login to Korvane"), std::string::npos);
    const std::string missing = Browse("/nothing.kvp", "not-found.png");
    EXPECT_NE(missing.find("Error: HTTP/1.0 404"), std::string::npos);
    const std::string metrics = Browse("/metrics", "metrics.png");
    EXPECT_NE(metrics.find("kvzn_printer_state{printer=\"Jammed\"}"), std::string::npos);
    EXPECT_NE(metrics.find("kvzn_printer_state{printer=\"Paused\"} 5"), std::string::npos);

    // The management pages, viewable without a logon in this mode.
    const std::string printers = Browse("/PrintPrinters.kvp?ShowPrintQ=ON", "printers.png");
    for (const char* text : {"Jammed", "Paused", "Healthy", "kvzntest://Jammed"}) {
        EXPECT_NE(printers.find(text), std::string::npos) << text;
    }
    const std::string summary = Browse("/PrintPrinterSummary.kvp", "printer-summary.png");
    EXPECT_LT(summary.find("Jammed"), summary.find("Healthy")) << "problems first";
    Browse("/PrintPrintQ.kvp", "print-queue.png");
    service::RecordConfigStatus(context, "Server-specific", "Title", 1, "Spooler accounting");
    const std::string config = Browse("/ZNConfigCheck.htm", "config-check.png");
    EXPECT_NE(config.find("Spooler accounting"), std::string::npos);
    EXPECT_NE(config.find("Alert Level 10"), std::string::npos);
    const std::string rexec = Browse("/ZNRExec.kvp", "rexec-disabled.png");
    EXPECT_NE(rexec.find("has been disabled on this server"), std::string::npos);

    // Every image a page refers to is there and served as one.
    EXPECT_FALSE(images_.empty());
    for (const std::string& image : images_) {
        const test::WebReply reply =
            test::WebExchange(server_.port(), {"GET /" + image + " HTTP/1.0\r\n\r\n"});
        EXPECT_EQ(reply.code, 200) << image;
        EXPECT_EQ(reply.Header("Content-Type").rfind("image/", 0), 0U) << image;
    }

    for (const char* shot :
         {"status.png", "status-phone.png", "errors.png", "home.png", "perflog.png", "logon.png",
          "not-found.png", "printers.png", "printer-summary.png", "print-queue.png",
          "config-check.png", "rexec-disabled.png"}) {
        EXPECT_GT(fs::file_size(artefacts_ + "/" + shot), 1000U) << shot;
    }
}

}  // namespace
}  // namespace kvzn::web
