// The web server's listening socket: opened on the configured port, closed by the host on
// stop (also before it was opened), and created again when it becomes unusable.
#include "web/web_server.h"

#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/fake/fake_clock.h"
#include "platform/profile_file.h"
#include "service/service_host.h"
#include "support/mail_server.h"
#include "support/service_fixture.h"

namespace kvzn::web {
namespace {

using namespace std::chrono_literals;
namespace value = config::value;

bool Connects(uint16_t port) {
    companion::Socket sock;
    return companion::IpConnect(sock, "127.0.0.1", port, 1) == companion::kIpOk;
}

// Shuts down, behind the server's back, the socket of this process that listens on `port`:
// the listener stays open but can no longer accept. False when there is none.
bool BreakListener(uint16_t port) {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) {
        return false;
    }
    bool broken = false;
    while (dirent* entry = ::readdir(dir)) {
        const int fd = std::atoi(entry->d_name);
        int listening = 0;
        socklen_t len = sizeof listening;
        sockaddr_storage addr{};
        socklen_t addrLen = sizeof addr;
        if (entry->d_name[0] == '.' ||
            ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) != 0 || !listening ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &addrLen) != 0) {
            continue;
        }
        const uint16_t bound = addr.ss_family == AF_INET6
                                   ? ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port)
                                   : ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
        if (bound == port) {
            broken = ::shutdown(fd, SHUT_RDWR) == 0;
        }
    }
    ::closedir(dir);
    return broken;
}

class WebServerTest : public ::testing::Test {
  protected:
    WebServerTest() : port(test::FreeLoopbackPort()) {
        platform::WriteProfileString("TesselPrint", "Port", std::to_string(port),
                                     fixture.context.home + "/kvZNWebServer.ini");
        fixture.registry.WriteNumber(config::kProductKey, value::kWebSessionLogon, 3);
    }

    test::ServiceFixture fixture;
    test::LogCapture log;
    const uint16_t port;
};

TEST_F(WebServerTest, AListenerThatBecomesUnusableIsCreatedAgain) {
    ASSERT_NE(port, 0);
    WebServerOptions options;
    options.retryDelay = 50ms;
    WebServer server(options);
    fixture.context.ResumeAll();
    std::thread web([&] { server.Run(fixture.context); });
    ASSERT_TRUE(test::WaitUntil([&] { return server.Port() == port; }, 5s));
    EXPECT_TRUE(Connects(port));

    ASSERT_TRUE(BreakListener(port));
    EXPECT_TRUE(log.WaitFor(
        "listening socket on port " + std::to_string(port) + " can no longer be used", 5s));
    EXPECT_TRUE(test::WaitUntil([&] { return Connects(port); }, 5s))
        << "no listener on port " << port << " again";

    server.CloseListener();
    web.join();
    EXPECT_EQ(server.Port(), 0);
}

TEST_F(WebServerTest, AStopBeforeTheListenerIsOpenedKeepsItClosed) {
    WebServer server;
    server.CloseListener();
    fixture.context.ResumeAll();
    std::atomic<bool> returned{false};
    std::thread web([&] {
        server.Run(fixture.context);
        returned = true;
    });
    const bool endedAlone = test::WaitUntil([&] { return returned.load(); }, 2s);
    const bool listened = Connects(port);
    server.CloseListener();
    web.join();
    EXPECT_TRUE(endedAlone) << "the web thread waited for clients after the stop";
    EXPECT_FALSE(listened);
}

// A stop that comes while the host is still starting its threads: the web thread is resumed
// only after the stop and must end at once, not open its listener and wait for clients.
TEST_F(WebServerTest, AStopDuringStartUpEndsTheWebThreadWithoutWaiting) {
    auto server = std::make_shared<WebServer>();
    std::atomic<bool> stopCalled{false};
    service::ComponentTable table;
    table.performance = {
        "PerformanceCounter", 3, 4, "perf", nullptr, [](service::ServiceContext& ctx) {
            ctx.SetPerformanceReady();
            ctx.stopEvent.Wait();
        }};
    table.components = {
        {"EmbeddedWebServer", service::kWebSlot, 13, "web", nullptr,
         [server](service::ServiceContext& ctx) { server->Run(ctx); }},
        // Holds the start-up back until the stop is under way.
        {"CheckForSummary", 10, 14, "summary",
         [&](service::ServiceContext&) {
             test::WaitUntil([&] { return stopCalled.load(); }, 5s);
             std::this_thread::sleep_for(200ms);
             return false;
         },
         nullptr},
    };
    table.closeWebListener = [server] { server->CloseListener(); };
    const std::string dir = fixture.dir.path();
    platform::WriteProfileString("TesselPrint", "Port", std::to_string(port),
                                 dir + "/kvZNWebServer.ini");
    fixture.registry.WriteText(config::kProductKey, value::kHome, dir);
    fixture.registry.WriteText(config::kProductKey, value::kDataDirectory, dir + "/data");
    fixture.registry.WriteText(config::kProductKey, value::kHTMLTargetDirectory, dir + "/html");
    fixture.registry.WriteText(config::kProductKey, value::kImagesDirectory, dir + "/images");
    fixture.registry.WriteText(config::kProductKey, value::kLogFile, dir + "/KVZN.LOG");
    service::HostTimings timings;
    timings.stopGraceMs = 0;
    timings.webStopPolls = 3;
    timings.cleanupBudgetSeconds = 1;
    timings.readyPollMs = 50;
    timings.performancePollMs = 50;
    service::ServiceHost host(fixture.registry, fixture.clock, fixture.status, std::move(table),
                              timings);

    std::thread main([&] { host.ServiceMain(0, nullptr); });
    ASSERT_TRUE(log.WaitFor("Starting component threads", 5s));
    const auto before = std::chrono::steady_clock::now();
    stopCalled = true;
    host.ServiceStop();
    const auto took = std::chrono::steady_clock::now() - before;
    main.join();
    EXPECT_LT(took, 2s);
    EXPECT_FALSE(log.Contains("Timed out waiting for the Web Server thread"));
    EXPECT_FALSE(Connects(port));
}

}  // namespace
}  // namespace kvzn::web
