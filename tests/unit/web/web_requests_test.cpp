// The web server against raw sockets: pages and replies, malformed, oversized, slow and
// hostile requests, the worker limit, the logon and the machine-readable status.
#include <dirent.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>

#include "alerting/dispatcher.h"
#include "config/scrambled_values.h"
#include "platform/fake/fake_spooler.h"
#include "platform/profile_file.h"
#include "support/mail_server.h"
#include "support/service_fixture.h"
#include "support/web_client.h"
#include "web/web_server.h"

namespace kvzn::web {
namespace {

using namespace std::chrono_literals;
namespace value = config::value;

size_t OpenDescriptors() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++n;
    }
    return n;
}

using Reply = test::WebReply;

Reply Get(uint16_t port, const std::string& path, const std::string& extra = {}) {
    return test::WebExchange(port, "GET " + path + " HTTP/1.0\r\n" + extra + "\r\n");
}

class WebRequestsTest : public ::testing::Test {
  protected:
    WebRequestsTest() : port(test::FreeLoopbackPort()) {
        platform::WriteProfileString("TesselPrint", "Port", std::to_string(port),
                                     fixture.context.home + "/kvZNWebServer.ini");
        fixture.registry.WriteNumber(config::kProductKey, value::kWebSessionLogon, 3);
        std::filesystem::create_directories(fixture.context.imagesDirectory);
        options.bindAddress = "127.0.0.1";
        options.requestTimeout = 700ms;
        options.makeSpooler = [] {
            auto spooler = std::make_unique<platform::FakeSpooler>();
            platform::PrinterInfo jammed;
            jammed.name = "Jammed \"Laser\"";
            jammed.state = platform::kIppPrinterStopped;
            jammed.status = platform::kPrinterPaperJam;
            spooler->SetPrinter(jammed);
            platform::PrinterInfo healthy;
            healthy.name = "Healthy";
            spooler->SetPrinter(healthy);
            return spooler;
        };
    }
    ~WebRequestsTest() override { Stop(); }

    void Start() {
        server = std::make_unique<WebServer>(options);
        fixture.context.ResumeAll();
        thread = std::thread([this] { server->Run(fixture.context); });
        ASSERT_TRUE(test::WaitUntil([&] { return server->Port() == port; }, 5s));
    }
    void Stop() {
        if (server) {
            server->CloseListener();
            thread.join();
            server.reset();
        }
    }

    test::ServiceFixture fixture;
    test::LogCapture log;
    const uint16_t port;
    WebServerOptions options;
    std::unique_ptr<WebServer> server;
    std::thread thread;
};

TEST_F(WebRequestsTest, HostileRequestsGetErrorRepliesWhileOthersAreServed) {
    test::WriteFile(fixture.context.imagesDirectory + "/logo.gif", "GIF89a-bytes");
    test::WriteFile(fixture.context.home + "/secret.gif", "outside");
    std::filesystem::create_symlink(fixture.context.home + "/secret.gif",
                                    fixture.context.imagesDirectory + "/link.gif");
    Start();
    const size_t descriptors = OpenDescriptors();

    // A slow client holds one worker until its time runs out; the others go on meanwhile.
    std::thread slow([&] {
        const Reply r = test::WebExchange(port, {"GET /ZNHome.htm HT", "TP/1.0\r\n"}, 400ms);
        EXPECT_EQ(r.code, 408);
    });
    const Reply home = Get(port, "/ZNHOME.HTM");
    EXPECT_EQ(home.code, 200);
    EXPECT_EQ(home.Header("Content-Length"), std::to_string(home.body.size()));
    EXPECT_NE(home.body.find("Welcome to Korvane."), std::string::npos);

    struct Case {
        const char* name;
        std::string request;
        int code;
    };
    const std::vector<Case> cases = {
        {"binary garbage", std::string("\x16\x03\x01\x02\x00\x01\x00", 7), 400},
        {"unknown method", "BREW /pot HTTP/1.0\r\n\r\n", 400},
        {"endless header", "GET /" + std::string(20000, 'a'), 431},
        {"body too large", "POST /ZNLogon.kvp HTTP/1.0\r\nContent-Length: 100000000\r\n\r\n", 413},
        {"form without a length", "POST /ZNLogon.kvp HTTP/1.0\r\n\r\nhPassword=x", 411},
        {"HEAD", "HEAD / HTTP/1.0\r\n\r\n", 501},
        {"header split by an encoded line break",
         "GET /PrintStatus.kvp%0D%0ASet-Cookie:%20a=b HTTP/1.0\r\n\r\n", 400},
        {"dot-dot out of the images", "GET /images/../kvZNWebServer.ini HTTP/1.0\r\n\r\n", 404},
        {"encoded dot-dot", "GET /images/%2e%2e/secret.gif HTTP/1.0\r\n\r\n", 404},
        {"link out of the images", "GET /images/link.gif HTTP/1.0\r\n\r\n", 404},
        {"unknown page", "GET /nothing.kvp HTTP/1.0\r\n\r\n", 404},
        {"remote command page switched off", "GET /ZNRExec.kvp HTTP/1.0\r\n\r\n", 200},
    };
    for (const Case& c : cases) {
        const Reply r = test::WebExchange(port, c.request);
        EXPECT_EQ(r.code, c.code) << c.name;
        EXPECT_EQ(r.Header("Content-Length"), std::to_string(r.body.size())) << c.name;
        EXPECT_EQ(r.body.find("outside"), std::string::npos) << c.name;
    }

    const Reply image = Get(port, "/images/logo.gif");
    EXPECT_EQ(image.code, 200);
    EXPECT_EQ(image.Header("Content-Type"), "image/gif");
    EXPECT_EQ(image.body, "GIF89a-bytes");
    const Reply css = Get(port, "/kvzn.css");
    EXPECT_EQ(css.code, 200);
    EXPECT_NE(css.body.find("@media"), std::string::npos);

    slow.join();
    // Nothing is left behind: every worker is free and every connection closed.
    EXPECT_TRUE(test::WaitUntil([&] { return server->ActiveWorkers() == 0; }, 3s));
    EXPECT_TRUE(test::WaitUntil([&] { return OpenDescriptors() <= descriptors; }, 3s))
        << OpenDescriptors() << " descriptors open, " << descriptors << " before";
}

TEST_F(WebRequestsTest, TheWorkerLimitHoldsAndTheNextClientIsToldSo) {
    fixture.registry.WriteNumber(config::kProductKey, value::kMaxWebServerThreads, 1);
    options.requestTimeout = 1500ms;
    Start();
    // Two slow clients take the two workers (the maximum plus one).
    std::vector<std::unique_ptr<companion::Socket>> held;
    for (int i = 0; i < 2; ++i) {
        held.push_back(std::make_unique<companion::Socket>());
        ASSERT_EQ(companion::IpConnect(*held.back(), "127.0.0.1", port, 2), companion::kIpOk);
        companion::IpSendText(*held.back(), "GET / HTTP/1.0\r\n");
    }
    ASSERT_TRUE(test::WaitUntil([&] { return server->ActiveWorkers() == 2; }, 3s));
    const Reply busy = Get(port, "/ZNHome.htm");
    EXPECT_EQ(busy.code, 500);
    EXPECT_NE(busy.body.find("Server too busy"), std::string::npos);
    held.clear();
    EXPECT_TRUE(test::WaitUntil([&] { return server->ActiveWorkers() == 0; }, 3s));
    EXPECT_EQ(Get(port, "/ZNHome.htm").code, 200);
}

TEST_F(WebRequestsTest, LogonSessionsAndBasicAuthenticationGuardThePages) {
    fixture.registry.WriteNumber(config::kProductKey, value::kWebSessionLogon, 1);
    ASSERT_EQ(config::kvHlpSvc1(fixture.registry, "s3cret", fixture.registry.Store(),
                                config::kProductKey, value::kWebPassword),
              1);
    // Two alerts delivered before the scrape: the e-mails go out, the network messages fail.
    alerting::AlertChannels channels;
    channels.email = [](service::ServiceContext&, const alerting::AlertRecord&,
                        const std::optional<std::string>&) {
        return alerting::EMailResult{1, {}};
    };
    channels.networkMessage = [](service::ServiceContext&, const alerting::AlertRecord&) {
        return false;
    };
    channels.alertLog = [](service::ServiceContext&, const alerting::AlertRecord&,
                           const std::string&) {};
    alerting::AlertRun& alerts = fixture.AttachAlerts(std::move(channels));
    for (const char* title : {"Printer Error", "Disk Space Error"}) {
        std::string message = "text";
        alerting::NotifyError(fixture.context, alerting::kCategoryPrintServer, 1, 0, title, "Q1",
                              message);
    }
    ASSERT_EQ(alerts.dispatcher.DrainUnsentQueue(), 2);
    Start();

    const Reply asked = Get(port, "/PrintStatus.kvp?AutoRefresh=On&hPassword=leak");
    EXPECT_EQ(asked.code, 303);
    EXPECT_EQ(asked.Header("Location"), "ZNLogon.kvp?Target=/PrintStatus.kvp%3FAutoRefresh%3DOn");
    const Reply logon = Get(port, "/ZNLogon.kvp?Target=/PrintStatus.kvp%3FAutoRefresh%3DOn");
    EXPECT_EQ(logon.code, 200);
    EXPECT_NE(logon.body.find("action=\"PrintStatus.kvp?AutoRefresh=On\""), std::string::npos);
    const Reply elsewhere = Get(port, "/ZNLogon.kvp?Target=http://evil.example/%22x");
    EXPECT_NE(elsewhere.body.find("action=\"PrintStatus.kvp\""), std::string::npos);

    const auto post = [&](const std::string& path, const std::string& form,
                          const std::string& cookie = {}) {
        return test::WebExchange(
            port, "POST " + path + " HTTP/1.0\r\nContent-Length: " + std::to_string(form.size()) +
                      "\r\n" + (cookie.empty() ? "" : "Cookie: " + cookie + "\r\n") + "\r\n" +
                      form);
    };
    const Reply wrong = post("/PrintStatus.kvp?AutoRefresh=On", "hPassword=S3CRET&btnLogon=Login");
    EXPECT_EQ(wrong.code, 303);
    EXPECT_EQ(wrong.Header("Location").rfind("ZNLogon.kvp?", 0), 0U);
    EXPECT_TRUE(log.Contains("Korvane Supervisor password was not matched"));

    // A logon never leads off the server's own pages.
    EXPECT_EQ(post("/%2F%2Fevil.example/x", "hPassword=s3cret&btnLogon=Login").Header("Location"),
              "PrintStatus.kvp");

    const Reply ok = post("/PrintStatus.kvp?AutoRefresh=On", "hPassword=s3cret&btnLogon=Login");
    ASSERT_EQ(ok.code, 303);
    EXPECT_EQ(ok.Header("Location"), "PrintStatus.kvp?AutoRefresh=On");
    const std::string setCookie = ok.Header("Set-Cookie");
    EXPECT_NE(setCookie.find("; HttpOnly; SameSite=Strict"), std::string::npos);
    const std::string cookie = setCookie.substr(0, setCookie.find(';'));
    EXPECT_EQ(cookie.size(), std::string("ckKorvanePrintSession=").size() + 32);

    const Reply status = Get(port, "/PrintStatus.kvp", "Cookie: " + cookie + "\r\n");
    ASSERT_EQ(status.code, 200);
    EXPECT_NE(status.body.find("Local Printer Status"), std::string::npos);
    // A logout link from elsewhere changes nothing; the session's own form ends it.
    EXPECT_EQ(Get(port, "/ZNLogout.htm", "Cookie: " + cookie + "\r\n").code, 200);
    EXPECT_EQ(Get(port, "/PrintStatus.kvp", "Cookie: " + cookie + "\r\n").code, 200);
    EXPECT_EQ(post("/ZNLogout.htm", "token=0000", cookie).Header("Set-Cookie"), "");
    const std::string marker = "name=\"token\" value=\"";
    const size_t at = status.body.find(marker);
    ASSERT_NE(at, std::string::npos);
    const std::string token = status.body.substr(at + marker.size(), 32);
    const Reply out = post("/ZNLogout.htm", "token=" + token, cookie);
    EXPECT_EQ(out.code, 200);
    EXPECT_NE(out.Header("Set-Cookie").find("Max-Age=0"), std::string::npos);
    EXPECT_EQ(Get(port, "/PrintStatus.kvp", "Cookie: " + cookie + "\r\n").code, 303);

    // Scrapers authenticate with the supervisor password and any user name.
    EXPECT_EQ(Get(port, "/metrics").code, 401);
    EXPECT_EQ(Get(port, "/metrics", "Authorization: Basic cHJvbTpzM2NyZXQK\r\n").code, 401);
    const Reply metrics = Get(port, "/metrics", "Authorization: Basic cHJvbTpzM2NyZXQ=\r\n");
    ASSERT_EQ(metrics.code, 200);
    EXPECT_EQ(metrics.Header("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
    EXPECT_NE(metrics.body.find("kvzn_printer_state{printer=\"Jammed \\\"Laser\\\"\"} 5\n"),
              std::string::npos);
    EXPECT_NE(metrics.body.find("kvzn_printer_state{printer=\"Healthy\"} 3\n"), std::string::npos);
    EXPECT_NE(metrics.body.find("kvzn_spooler_up 1\n"), std::string::npos);
    // Each failed network message also records an internal "Alerting Error".
    EXPECT_NE(metrics.body.find("kvzn_alerts_recorded_total 4\n"), std::string::npos);
    for (const char* line :
         {"{channel=\"email\",result=\"sent\"} 2\n", "{channel=\"email\",result=\"failed\"} 0\n",
          "{channel=\"network_message\",result=\"failed\"} 2\n",
          "{channel=\"alert_log\",result=\"given\"} 2\n",
          "{channel=\"alert_engine\",result=\"given\"} 0\n"}) {
        EXPECT_NE(metrics.body.find(std::string("kvzn_alert_deliveries_total") + line),
                  std::string::npos)
            << line << metrics.body;
    }
    const Reply json = Get(port, "/status.json", "Authorization: Basic eDpzM2NyZXQ=\r\n");
    ASSERT_EQ(json.code, 200);
    EXPECT_NE(json.body.find("{\"name\":\"Jammed \\\"Laser\\\"\",\"state\":5"), std::string::npos);
    EXPECT_NE(json.body.find("\"deliveries\":{\"emailSent\":2,\"emailFailed\":0"),
              std::string::npos);
}

TEST_F(WebRequestsTest, TheAddressListRefusesOtherClientsButNotImages) {
    fixture.registry.WriteText(std::string(config::kProductKey) + "\\WebAccess", "Address1",
                               "10.1, 192.168.");
    test::WriteFile(fixture.context.imagesDirectory + "/logo.gif", "GIF89a");
    Start();
    EXPECT_EQ(Get(port, "/ZNHome.htm").code, 403);
    EXPECT_EQ(Get(port, "/metrics").code, 403);
    EXPECT_EQ(Get(port, "/images/logo.gif").code, 200);
    EXPECT_TRUE(log.Contains("Access from the client at IP address 127.0.0.1 is forbidden"));
}

TEST_F(WebRequestsTest, TheShippedIconsAreServedAsImages) {
    fixture.context.imagesDirectory = std::string(KVZN_SOURCE_DIR) + "/data/images";
    Start();
    const auto le = [](const std::string& bytes, size_t at, size_t n) {
        int64_t v = 0;
        for (size_t i = n; i-- > 0;) {
            v = v * 256 + static_cast<unsigned char>(bytes.at(at + i));
        }
        return v;
    };
    const Reply bmp = Get(port, "/images/Printer.bmp");
    ASSERT_EQ(bmp.code, 200);
    EXPECT_EQ(bmp.Header("Content-Type"), "image/bmp");
    ASSERT_GT(bmp.body.size(), 54U);
    EXPECT_EQ(bmp.body.substr(0, 2), "BM");
    EXPECT_EQ(le(bmp.body, 2, 4), static_cast<int64_t>(bmp.body.size())) << "size field";
    EXPECT_EQ(le(bmp.body, 18, 4), 32) << "width";
    EXPECT_EQ(le(bmp.body, 22, 4), 32) << "height";
    EXPECT_EQ(le(bmp.body, 28, 2), 24) << "bits per pixel";
    EXPECT_EQ(le(bmp.body, 10, 4) + 32 * 32 * 3, static_cast<int64_t>(bmp.body.size()));

    const Reply gif = Get(port, "/images/Redbullet.gif");
    ASSERT_EQ(gif.code, 200);
    EXPECT_EQ(gif.Header("Content-Type"), "image/gif");
    ASSERT_GT(gif.body.size(), 13U);
    EXPECT_EQ(gif.body.substr(0, 6), "GIF89a");
    EXPECT_EQ(le(gif.body, 6, 2), 12);
    EXPECT_EQ(gif.body.back(), ';') << "trailer";
}

}  // namespace
}  // namespace kvzn::web
