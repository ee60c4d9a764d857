// The terminal console against the web server's port on loopback: registration, notices to
// its own port, activity lines, file requests, and the list kept across a restart.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "alerting/dispatcher.h"
#include "console/console_message.h"
#include "platform/profile_file.h"
#include "programs/component_table.h"
#include "support/child_process.h"
#include "support/mail_server.h"
#include "support/service_fixture.h"
#include "support/tarpit.h"
#include "support/test_support.h"

namespace kvzn {
namespace {

using namespace std::chrono_literals;

class ConsoleClientTest : public ::testing::Test {
  protected:
    ConsoleClientTest() : port(test::FreeLoopbackPort()) {
        platform::WriteProfileString("TesselPrint", "Port", std::to_string(port),
                                     fixture.context.home + "/kvZNWebServer.ini");
        fixture.registry.WriteNumber(config::kProductKey, config::value::kWebSessionLogon, 3);
        fixture.context.enableWebReports = true;
        fixture.context.ResumeAll();
    }
    ~ConsoleClientTest() override { StopService(); }

    void StartService() {
        server = std::make_unique<web::WebServer>();
        service =
            std::thread([this] { programs::RunWebServerWithConsoles(fixture.context, *server); });
        ASSERT_TRUE(test::WaitUntil([&] { return server->Port() == port; }, 5s));
    }
    void StopService() {
        if (service.joinable()) {
            server->CloseListener();
            service.join();
        }
    }
    std::unique_ptr<test::ChildProcess> Console(std::vector<std::string> args) {
        args.insert(args.begin(), {KVZN_CONSOLE_EXE, "127.0.0.1", std::to_string(port)});
        return std::make_unique<test::ChildProcess>(args);
    }
    // Registers a console port directly, as a console program would.
    void Register(uint16_t consolePort) {
        companion::Socket sock;
        ASSERT_EQ(companion::IpConnect(sock, "127.0.0.1", port, 2), companion::kIpOk);
        companion::IpSendText(
            sock, console::BuildConsoleMessage(console::kRegister, std::to_string(consolePort)));
        std::string reply;
        companion::IpReceiveReply(sock, reply, 999, 5);
        EXPECT_EQ(console::ParseConsoleMessage(reply).number, console::kDone);
    }

    // Sends raw bytes to the web server's port; what came back before it closed.
    std::string Exchange(const std::string& request) {
        companion::Socket sock;
        EXPECT_EQ(companion::IpConnect(sock, "127.0.0.1", port, 2), companion::kIpOk);
        companion::IpSendText(sock, request);
        std::string all;
        for (;;) {
            std::string piece;
            if (companion::IpReceiveReply(sock, piece, 999, 5) != companion::kIpOk ||
                piece.empty()) {
                return all;
            }
            all += piece;
        }
    }

    test::ServiceFixture fixture;
    const uint16_t port;
    std::unique_ptr<web::WebServer> server;
    std::thread service;
};

TEST_F(ConsoleClientTest, WatchesNoticesAndActivityAndSurvivesARestart) {
    ASSERT_NE(port, 0);
    StartService();
    auto watcher = Console({"watch", "--seconds", "60"});
    ASSERT_TRUE(watcher->WaitForOutput("Registered: N/A##1####", 10s)) << watcher->Output();
    ASSERT_TRUE(watcher->WaitForOutput("Run time Activity Information Enabled", 10s))
        << watcher->Output();

    // A console that accepts no connection is registered too: it must not hold up alerts.
    test::Tarpit tarpit;
    Register(tarpit.port());
    std::string message = "Printer LaserJet is out of paper";
    const auto before = std::chrono::steady_clock::now();
    ASSERT_EQ(alerting::NotifyError(fixture.context, 2, 1, 0, "Printer error", "Printer", message),
              1);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
    EXPECT_TRUE(watcher->WaitForOutput("ALERT: PRINTSRV | Korvane Tessel Print Monitor | ", 10s))
        << watcher->Output();
    EXPECT_TRUE(watcher->WaitForOutput("Printer LaserJet is out of paper", 10s));

    // Component status lines reach the watching console.
    fixture.context.PostComponentStatus(25, "Checking printer LaserJet");
    EXPECT_TRUE(watcher->WaitForOutput("[Print Server Monitor]   Checking printer LaserJet", 10s))
        << watcher->Output();

    StopService();
    EXPECT_TRUE(watcher->WaitForOutput("STOPPING: PRINTSRV", 10s)) << watcher->Output();
    // The unreachable console was dropped; the watcher was saved with its activity display.
    const std::string cache = test::ReadFile(fixture.context.home + "/PRT-Console.dat");
    EXPECT_NE(cache.find(",RTActivity\n"), std::string::npos) << cache;
    EXPECT_EQ(cache.find("," + std::to_string(tarpit.port())), std::string::npos) << cache;

    // After a restart the saved console is told without registering again.
    StartService();
    EXPECT_TRUE(watcher->WaitForOutput("STARTED: PRINTSRV | Korvane Tessel Print Monitor", 10s))
        << watcher->Output();
}

TEST_F(ConsoleClientTest, FetchesFilesOfTheHomeDirectoryOnly) {
    ASSERT_NE(port, 0);
    test::TempDir outside;
    test::WriteFile(outside / "secret.txt", "not for consoles\n");
    test::WriteFile(fixture.context.home + "/AlertLog.txt", "line one\nline two\n");
    std::filesystem::create_directories(fixture.context.home + "/logs");
    test::WriteFile(fixture.context.home + "/logs/today.txt", "today\n");
    std::filesystem::create_symlink(outside / "secret.txt", fixture.context.home + "/escape.txt");
    StartService();

    auto get = Console({"get", "AlertLog.txt"});
    EXPECT_EQ(get->Wait(10s), 0);
    EXPECT_EQ(get->Output(), "line one\nline two\n");
    get = Console({"get", "logs/today.txt"});
    EXPECT_EQ(get->Wait(10s), 0);
    EXPECT_EQ(get->Output(), "today\n");

    const std::string secret = outside / "secret.txt";
    for (const std::string& name :
         {std::string("../") + std::filesystem::path(outside.path()).filename().string() +
              "/secret.txt",
          secret, std::string("escape.txt"), std::string("logs/../../secret.txt"),
          std::string("missing.txt"), std::string("logs")}) {
        get = Console({"get", name});
        EXPECT_EQ(get->Wait(10s), 2) << name;
        const std::string out = get->Output();
        EXPECT_NE(out.find("The requested file was not found on this server"), std::string::npos)
            << name << ": " << out;
        EXPECT_EQ(out.find("not for consoles"), std::string::npos) << name;
    }
}

TEST_F(ConsoleClientTest, InvalidRequestsGetNoReplyAndRefusedAddressesAreDenied) {
    ASSERT_NE(port, 0);
    StartService();
    EXPECT_EQ(Exchange("CSL##14##99##x"),
              console::BuildConsoleMessage(console::kNotSupported, console::kNotSupportedText));
    // A length that is no number, or a register without a port: closed without a reply.
    EXPECT_EQ(Exchange("CSL##abc##5##1234"), "");
    EXPECT_EQ(Exchange(console::BuildConsoleMessage(console::kRegister, "port")), "");
    // HTTP on the same port is unaffected.
    EXPECT_EQ(Exchange("GET /kvzn.css HTTP/1.0\r\n\r\n").rfind("HTTP/1.0 200", 0), 0u);
    StopService();

    fixture.registry.WriteText(std::string(config::kProductKey) + "\\" + config::subkey::kWebAccess,
                               "Address1", "10.");
    StartService();
    const console::ParsedMessage denied = console::ParseConsoleMessage(
        Exchange(console::BuildConsoleMessage(console::kRegister, "4001")));
    EXPECT_EQ(denied.number, console::kAccessDenied);
    EXPECT_EQ(denied.fields, (std::vector<std::string>{"Access denied", "N/A", "0"}));
    StopService();
    EXPECT_EQ(test::ReadFile(fixture.context.home + "/PRT-Console.dat"), "");
}

}  // namespace
}  // namespace kvzn
