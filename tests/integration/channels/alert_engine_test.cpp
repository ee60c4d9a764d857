// The alert engine through the dispatcher with the program's channels, against real peers
// on loopback: rsyslogd, an HTTP and an HTTPS capture server with a test CA, aiosmtpd, and
// shell commands.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "alerting/dispatcher.h"
#include "channels/syslog_client.h"
#include "config/registry_names.h"
#include "programs/component_table.h"
#include "support/capture_server.h"
#include "support/mail_server.h"
#include "support/service_fixture.h"

namespace kvzn::channels {
namespace {

using namespace std::chrono_literals;

class AlertEngineTest : public ::testing::Test {
  protected:
    AlertEngineTest() { fx_.AttachAlerts(programs::MakeAlertChannels(fx_.context)); }
    // Adds entry n of a kind with its level mask and a template file of `content`.
    std::string AddEntry(const std::string& prefix, int n, uint32_t mask,
                         const std::string& content, const std::string& params = "") {
        const std::string templ = fx_.dir / (prefix + std::to_string(n) + ".tmpl");
        test::WriteFile(templ, content);
        const std::string key = config::SubKey(config::subkey::kAlertEngine);
        fx_.registry.WriteNumber(key, prefix + "Level" + std::to_string(n), mask);
        fx_.registry.WriteText(key, prefix + std::to_string(n),
                               params.empty() ? templ : templ + " " + params);
        return templ;
    }
    void Raise(uint32_t mask, std::string message, const std::string& title = "Printer Status") {
        ASSERT_EQ(alerting::NotifyError(fx_.context, alerting::kCategoryPrintServer, mask, 0, title,
                                        "LASER3", message),
                  1);
        fx_.Alerts().dispatcher.DrainUnsentQueue();
    }
    test::ServiceFixture fx_;
};

TEST_F(AlertEngineTest, SysLogScriptReachesRsyslogWithPriorityHostAndText) {
    test::PrivateRsyslog rsyslog(fx_.dir.path());
    ASSERT_TRUE(rsyslog.WaitReady([&] {
        kvZNSysLog_Send({}, "127.0.0.1", rsyslog.port(), 1, 6, "probe", "probe");
    })) << rsyslog.Output();
    AddEntry("ScriptSysLog", 1, 1023,
             "# alert to the central log\n"
             "ZN-Server: 127.0.0.1\n"
             "ZN-Port: " +
                 std::to_string(rsyslog.port()) +
                 "\n"
                 "ZN-SysLogFacility: 14\nZN-SysLogSeverity: 1\n"
                 "The error <$$ERROR> occurred on server <$$SERVER>\n");
    // A second entry whose server does not resolve fails alone.
    AddEntry("ScriptSysLog", 2, 1023, "ZN-Server: no-such-host.invalid\nsome text\n");
    test::LogCapture log;
    Raise(4, "Paper jam, tray 2 100% <$$SERVER> \xc3\xbc");
    ASSERT_TRUE(test::WaitUntil(
        [&] { return rsyslog.Received().find("Paper jam") != std::string::npos; }, 10s));
    // The datagram carries no tag of its own: receivers read the text's first word as one.
    const std::string text =
        "The error Paper jam, tray 2 100% <$$SERVER> \xc3\xbc occurred on server PRINTSRV";
    EXPECT_NE(rsyslog.Received().find(
                  "113|PRINTSRV|The|" +
                  BuildSysLogDatagram(14, 1, fx_.clock.LocalNow(), "PRINTSRV", text) + "\n"),
              std::string::npos)
        << rsyslog.Received();
    EXPECT_TRUE(log.Contains("Unable to resolve the host name no-such-host.invalid", "kvZNSysLog"));
    EXPECT_TRUE(log.Contains("attempted to log an alert to the SysLog Server"));
}

TEST_F(AlertEngineTest, HttpScriptsReachCaptureServersPlainAndOverTls) {
    const test::TestCertificates certs = test::MakeTestCertificates(fx_.dir.path());
    ASSERT_EQ(certs.error, "");
    test::CaptureServer plain(fx_.dir.path(),
                              "HTTP/1.1 200 OK\r\nContent-Length: 8\r\n\r\naccepted");
    test::CaptureServer secure(fx_.dir.path(), "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok",
                               &certs);
    ASSERT_TRUE(plain.ready() && secure.ready()) << plain.Output() << secure.Output();
    AddEntry("ScriptHTTP", 1, 1023,
             "ZN-HTTPServer: http://127.0.0.1\nZN-Port: " + std::to_string(plain.port()) +
                 "\nZN-Method: GET\nZN-URL: /send sms\nZN-Param: text=<$$ERROR>\nZN-Param: to=1\n"
                 "ZN-HTTPResult: 200\nZN-SuccessText: accepted\n");
    AddEntry("ScriptHTTP", 2, 1023,
             "ZN-HTTPServer: https://localhost\nZN-Port: " + std::to_string(secure.port()) +
                 "\nZN-Method: POST\nZN-URL: /gateway\nZN-Param: text=<$$ERROR>\n"
                 "ZN-Param: password=hunter2\nZN-HTTPResult: 302\n");
    fx_.registry.WriteText(config::SubKey(config::subkey::kAlertEngine), "HTTPSCAFile",
                           certs.caFile);
    test::LogCapture log;
    Raise(4, "a b&c#d+e%f?g=h\xc3\xbc");

    ASSERT_EQ(plain.Requests().size(), 1u);
    EXPECT_TRUE(plain.Requests()[0].starts_with(
        "GET /send%20sms?text=a%20b%26c%23d%2be%25f%3fg%3dh%c3%bc&to=1 HTTP/1.1\r\n"))
        << plain.Requests()[0];
    EXPECT_NE(plain.Requests()[0].find("\r\nHost: 127.0.0.1\r\n"), std::string::npos);

    ASSERT_EQ(secure.Requests().size(), 1u) << secure.Output();
    const std::string post = secure.Requests()[0];
    EXPECT_TRUE(post.starts_with("POST /gateway HTTP/1.1\r\n")) << post;
    const std::string body = "&text=a%20b%26c%23d%2be%25f%3fg%3dh%c3%bc&password=hunter2";
    EXPECT_TRUE(post.ends_with("\r\nContent-Length: " + std::to_string(body.size()) +
                               "\r\nConnection: Keep-Alive\r\n\r\n" + body))
        << post;
    // The reply was 200, not the 302 expected: the failure is logged without the password.
    EXPECT_TRUE(log.Contains("the expected HTTP return code (302) was not found in the result"));
    EXPECT_TRUE(log.Contains("password=***"));
    EXPECT_FALSE(log.Contains("hunter2"));
    EXPECT_FALSE(log.Contains("Unable to connect to the HTTP server"));

    // Without the test CA the server's certificate is not trusted: nothing is sent to it.
    fx_.registry.WriteText(config::SubKey(config::subkey::kAlertEngine), "HTTPSCAFile", "");
    Raise(4, "second");
    EXPECT_EQ(plain.Requests().size(), 2u);
    EXPECT_EQ(secure.Requests().size(), 1u);
    EXPECT_TRUE(
        log.Contains("secure connection to the target server localhost could not be "
                     "established"));
}

TEST_F(AlertEngineTest, SmtpScriptSendsToTheLastRecipientsWithACutMessage) {
    ASSERT_TRUE(test::HaveAiosmtpd());
    test::MailServer mail(fx_.dir.path());
    ASSERT_TRUE(mail.ready());
    AddEntry("ScriptSMTP", 1, 1023,
             "ZN-Server: 127.0.0.1\nZN-Port: " + std::to_string(mail.port()) +
                 "\nZN-SendFrom: monitor@example.org\nZN-SendTo: first@example.org\n"
                 "ZN-SendTo: sms@example.org, pager@example.org\nZN-Subject: Alert on <$$SERVER>\n"
                 "<$$ERROR,20>\n\n.leading dot\n");
    Raise(4, "Printer LASER3 is out of paper in tray 2");
    ASSERT_TRUE(test::WaitUntil([&] { return mail.Count() == 1; }, 10s));
    const auto messages = mail.Messages();
    EXPECT_EQ(messages[0].Header("Subject"), "Alert on PRINTSRV");
    EXPECT_EQ(messages[0].Header("X-RcptTo"), "sms@example.org, pager@example.org");
    EXPECT_EQ(messages[0].body, "Printer LASER3 is ou\n\n.leading dot\n\n");
}

TEST_F(AlertEngineTest, CommandEntriesRunByLevelAndAlertTextsStayText) {
    const std::string out1 = fx_.dir / "out1";
    const std::string out2 = fx_.dir / "out2";
    const std::string script = "printf '%s|%s\\n' <$$ERROR> \"$KVZN_TITLE\" >> \"$1\"\n";
    AddEntry("ScriptCMD", 1, 6, script, out1);
    AddEntry("ScriptCMD", 2, 1, script, out2);
    Raise(4, "x; touch pwned; $(touch pwned2) `touch pwned3`", "Queue \"A\"");
    EXPECT_EQ(test::ReadFile(out1), "x; touch pwned; $(touch pwned2) `touch pwned3`|Queue \"A\"\n");
    EXPECT_FALSE(std::filesystem::exists(out2));
    Raise(1023, "every level");
    EXPECT_NE(test::ReadFile(out2).find("every level"), std::string::npos);
    for (const char* name : {"pwned", "pwned2", "pwned3"}) {
        EXPECT_FALSE(std::filesystem::exists(fx_.dir / name)) << name;
    }
    // The compiled file is gone once the entry ran.
    EXPECT_FALSE(std::filesystem::exists(fx_.dir / (std::to_string(::getpid()) + ".bat")));
}

}  // namespace
}  // namespace kvzn::channels
