// The printer pages against a private scheduler: every action is posted as the logged-on
// session's own form would post it, and its effect is read back from the scheduler with the
// CUPS client programs. Actions from elsewhere, on printers nobody monitors, and redirections
// to ports the server does not offer change nothing.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "../platform/private_cupsd.h"
#include "config/registry_names.h"
#include "config/scrambled_values.h"
#include "platform/fake/fake_service_manager.h"
#include "platform/profile_file.h"
#include "printmon/print_server_monitor.h"
#include "support/mail_server.h"
#include "support/service_fixture.h"
#include "support/test_web_server.h"
#include "support/web_client.h"
#include "web/http_request.h"
#include "web/web_server.h"

namespace kvzn::web {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
namespace check_title = config::printer_check;

std::unique_ptr<platform::Spooler> QuickSpooler(const std::string& socket) {
    return platform::MakeSpooler({.server = socket, .connectTimeout = 1000ms, .ioTimeout = 1500ms});
}

class PrinterPagesTest : public ::testing::Test, protected test::ServiceFixture {
  protected:
    void SetUp() override {
        if (!fs::exists(test::PrivateCupsd::kProgram) || ::geteuid() != 0) {
            GTEST_SKIP() << "needs cupsd and root";
        }
        cupsd_ = std::make_unique<test::PrivateCupsd>();
        ASSERT_TRUE(cupsd_->Start()) << test::ReadFile(cupsd_->dir() + "/log/error_log");
        context.serviceManager = &services_;
        for (const printmon::BuiltInService& entry : printmon::kBuiltInServices) {
            registry.WriteFlag(
                config::SubKey(config::subkey::kPrint) + "\\" + std::string(entry.title),
                config::check::kEnabled, 0);
        }
    }

    void Admin(const std::vector<std::string>& argv) {
        const auto [status, output] = cupsd_->Client(argv);
        ASSERT_EQ(status, 0) << argv[0] << ": " << output;
    }
    std::string Ask(const std::vector<std::string>& argv) { return cupsd_->Client(argv).second; }
    void Watch(const std::string& queue) {
        const std::string key = config::SubKey(config::subkey::kPrinters) + "\\" +
                                config::Numbered(config::list::kPrinterEntry, ++entries_);
        registry.WriteText(key, config::list::kPrinterIdentity, queue);
        const std::string sub = key + "\\" + check_title::kErrorConditions;
        registry.WriteFlag(sub, config::check::kEnabled, 1);
        registry.WriteNumber(sub, config::check::kAlertLevel, 4);
        registry.WriteNumber(sub, config::check::kActionToTake, 0);
    }
    void StartServer() {
        WebServerOptions options;
        options.makeSpooler = [socket = cupsd_->socket()] { return QuickSpooler(socket); };
        ASSERT_TRUE(server_.Start(*this, 1, "s3cret", options));
    }
    test::WebReply Get(const std::string& path) { return session_.Get(path); }
    test::WebReply Post(const std::string& path, const std::string& form) {
        return session_.Post(path, form);
    }
    void LogOn() {
        session_.port = server_.port();
        ASSERT_TRUE(session_.LogOn("/PrintPrinters.kvp", "s3cret"));
    }
    // Posts an action as the session's own form does.
    std::string Act(const std::string& page, const std::string& form) {
        const test::WebReply reply = Post(page, form + "&token=" + session_.token);
        EXPECT_EQ(reply.code, 200) << form;
        return reply.body;
    }
    int JobState(int id) {
        auto snapshot = QuickSpooler(cupsd_->socket())->Snapshot();
        if (!snapshot.ok()) {
            return -1;
        }
        for (const auto& queue : snapshot->printers) {
            for (const auto& job : queue.jobs) {
                if (job.id == id) {
                    return job.state;
                }
            }
        }
        return 0;
    }

    std::unique_ptr<test::PrivateCupsd> cupsd_;
    platform::FakeServiceManager services_;
    int entries_ = 0;
    test::WebSession session_;
    test::TestWebServer server_;
};

TEST_F(PrinterPagesTest, ActionsOfTheSessionsFormsReachTheSchedulerAndNoOthersDo) {
    // A closed port: the device of "Spare" does not answer the monitor's probe.
    const uint16_t closed = test::FreeLoopbackPort();
    Admin({"lpadmin", "-p", "Laser", "-v", "kvzntest://laser", "-E"});
    Admin({"lpadmin", "-p", "Spare", "-v", "socket://127.0.0.1:" + std::to_string(closed), "-E"});
    Admin({"lpadmin", "-p", "Other", "-v", "kvzntest://other", "-E"});
    Admin({"cupsdisable", "-r", "Toner <being> replaced", "Spare"});
    Watch("Laser");
    Watch("Spare");
    std::string output;
    ASSERT_GT(cupsd_->Submit("Spare", "bob", "spare.txt", "/etc/hostname", true, output), 0)
        << output;

    auto monitor = std::make_shared<printmon::PrintServerMonitor>(
        [socket = cupsd_->socket()] { return QuickSpooler(socket); });
    ASSERT_EQ(monitor->ReadConfiguration(context), 2);
    monitor->RunPrinterChecks(context, clock.TickCount());
    context.PublishMonitor(printmon::kPrintServerComponent, monitor);
    StartServer();
    LogOn();

    // The printers page: monitored printers only, with the spooler's message and the probe.
    const std::string printers = Get("/PrintPrinters.kvp").body;
    EXPECT_NE(printers.find(">Laser</a>"), std::string::npos);
    EXPECT_NE(printers.find("Toner &lt;being&gt; replaced"), std::string::npos) << printers;
    EXPECT_NE(printers.find("127.0.0.1:" + std::to_string(closed) + " not reachable"),
              std::string::npos);
    EXPECT_EQ(printers.find("Other"), std::string::npos);
    const std::string summary = Get("/PrintPrinterSummary.kvp").body;
    ASSERT_NE(summary.find("Spare"), std::string::npos);
    EXPECT_LT(summary.find("Spare"), summary.find("Laser")) << "a paused printer comes first";
    EXPECT_NE(summary.find("1 Queued"), std::string::npos);
    // The pages' security policy allows no inline style: the colours are the stylesheet's.
    EXPECT_NE(summary.find("<td class=\"paused\">"), std::string::npos) << summary;
    EXPECT_EQ(printers.find("style=\""), std::string::npos);
    EXPECT_EQ(summary.find("style=\""), std::string::npos);

    // Pause: through the form; a link, a wrong token or an unmonitored printer do nothing.
    Get("/PrintPrinters.kvp?Action=PausePrinter&Printer=Laser");
    Post("/PrintPrinters.kvp", "Action=PausePrinter&Printer=Laser&token=" + std::string(32, '0'));
    EXPECT_NE(Act("/PrintPrinters.kvp", "Action=PausePrinter&Printer=Other")
                  .find("not monitored on this server"),
              std::string::npos);
    EXPECT_EQ(Ask({"lpstat", "-p", "Laser"}).find("disabled"), std::string::npos);
    EXPECT_EQ(Ask({"lpstat", "-p", "Other"}).find("disabled"), std::string::npos);
    EXPECT_NE(Act("/PrintPrinters.kvp", "Action=PausePrinter&Printer=Laser")
                  .find("Printer Laser is being paused ..."),
              std::string::npos);
    EXPECT_NE(Ask({"lpstat", "-p", "Laser"}).find("disabled"), std::string::npos);

    // Job actions from the print queue page on the paused printer's queue.
    const int first = cupsd_->Submit("Laser", "alice", "first.txt", "/etc/hostname", false, output);
    const int second =
        cupsd_->Submit("Laser", "alice", "second.txt", "/etc/hostname", false, output);
    ASSERT_GT(first, 0);
    ASSERT_GT(second, 0);
    const std::string queue = Get("/PrintPrintQ.kvp?hPrinter=laser").body;
    EXPECT_NE(queue.find("first.txt"), std::string::npos);
    EXPECT_EQ(queue.find("spare.txt"), std::string::npos) << "the filter shows Laser alone";
    EXPECT_NE(Act("/PrintPrintQ.kvp", "Action=PausePrint&Printer=Laser&Document=first.txt&JobId=" +
                                          std::to_string(first))
                  .find("Document first.txt on printer Laser is being paused ..."),
              std::string::npos);
    EXPECT_EQ(JobState(first), platform::kIppJobHeld);
    // A job of another printer is not reached through this one.
    Act("/PrintPrintQ.kvp",
        "Action=DeletePrint&Printer=Laser&Document=x&JobId=" + std::to_string(first + 100));
    Act("/PrintPrintQ.kvp",
        "Action=DeletePrint&Printer=Laser&Document=second.txt&JobId=" + std::to_string(second));
    const std::string left = Ask({"lpstat", "-o", "Laser"});
    EXPECT_EQ(left.find("Laser-" + std::to_string(second)), std::string::npos) << left;
    EXPECT_NE(left.find("Laser-" + std::to_string(first)), std::string::npos) << left;

    // Purge and resume.
    Act("/PrintPrinters.kvp", "Action=DeleteAll&Printer=Laser");
    EXPECT_EQ(Ask({"lpstat", "-o", "Laser"}), "");
    EXPECT_EQ(JobState(first), 0);
    EXPECT_NE(Act("/PrintPrinters.kvp", "Action=ResumePrinter&Printer=Laser")
                  .find("Printing on Laser is being resumed ..."),
              std::string::npos);
    EXPECT_EQ(Ask({"lpstat", "-p", "Laser"}).find("disabled"), std::string::npos);

    // Redirect: the form offers the ports the scheduler has; any other port is refused.
    const std::string form = Get("/PrintRedirect.kvp?Printer=Laser").body;
    EXPECT_NE(form.find("<option value=\"kvzntest://other\">"), std::string::npos) << form;
    EXPECT_NE(Act("/PrintRedirect.kvp", "Printer=Laser&Port=" + UrlEncode("kvzntest://elsewhere"))
                  .find("not one this server offers"),
              std::string::npos);
    EXPECT_NE(Ask({"lpstat", "-v", "Laser"}).find("kvzntest://laser"), std::string::npos);
    Post("/PrintRedirect.kvp", "Printer=Laser&Port=" + UrlEncode("kvzntest://other"));
    EXPECT_NE(Ask({"lpstat", "-v", "Laser"}).find("kvzntest://laser"), std::string::npos)
        << "no token, no redirection";
    EXPECT_NE(Act("/PrintRedirect.kvp", "Printer=Laser&Port=" + UrlEncode("kvzntest://other"))
                  .find("has been redirected to port kvzntest://other"),
              std::string::npos);
    EXPECT_NE(Ask({"lpstat", "-v", "Laser"}).find("kvzntest://other"), std::string::npos);
    Act("/PrintRedirect.kvp", "Printer=Other&Port=" + UrlEncode("kvzntest://laser"));
    EXPECT_NE(Ask({"lpstat", "-v", "Other"}).find("kvzntest://other"), std::string::npos);
}

}  // namespace
}  // namespace kvzn::web
