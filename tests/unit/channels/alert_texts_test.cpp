// The pure text builders of the alert logs, SysLog, HTTP client and alert engine scripts.
#include <gtest/gtest.h>

#include <string>

#include "channels/alert_engine.h"
#include "channels/alert_logs.h"
#include "channels/http_client.h"
#include "channels/smtp_client.h"
#include "channels/syslog_client.h"

namespace kvzn::channels {
namespace {

alerting::AlertTextContext Values() {
    alerting::AlertTextContext ctx;
    ctx.message = "it's 100%";
    ctx.title = "Q'1";
    ctx.timeLogged = "06/12/2026 09:05:01";
    ctx.server = "PRINTSRV";
    ctx.source = "LASER3";
    ctx.levelNumber = 3;
    return ctx;
}

TEST(AlertStatementTest, ValuesAreBoundOrEscapedWhereverTheMacroStands) {
    struct Case {
        const char* name;
        const char* templ;
        std::string sql;
        std::vector<std::string> params;
    };
    const Case cases[] = {
        {"default statement binds every quoted value",
         kDefaultAlertSql,
         "INSERT INTO Korvane_Alerts (TimeLogged, AlertLevel, Server, CheckName, AlertText) "
         "VALUES (?, 3, ?, ?, ?)",
         {"06/12/2026 09:05:01", "PRINTSRV", "Q'1", "it's 100%"}},
        {"inside a longer literal the quotes are doubled",
         "VALUES ('<$$SERVER>: <$$ERROR>')",
         "VALUES ('PRINTSRV: it''s 100%')",
         {}},
        {"a bare text becomes a quoted literal",
         "VALUES (<$$TEST>, <$$ALERTLEVEL>)",
         "VALUES ('Q''1', 3)",
         {}},
        {"a literal after an escaped value is still seen",
         "('<$$TEST> x', '<$$ERROR>')",
         "('Q''1 x', ?)",
         {"it's 100%"}},
    };
    for (const Case& c : cases) {
        const AlertStatement st = PrepareAlertStatement(2, c.templ, Values(), 1);
        EXPECT_EQ(st.sql, c.sql) << c.name;
        EXPECT_EQ(st.params, c.params) << c.name;
    }
}

TEST(AlertLogTextTest, TrimKeepsTheNewestRecordsAndLinesStayWhole) {
    const std::string header = AlertLogHeader("PRINTSRV");
    std::string log = header;
    for (int i = 1; i <= 120; ++i) {
        log += AlertLogLine("t", "title", "record " + std::to_string(i));
    }
    const std::string trimmed = TrimmedAlertLog(log, header, 50, AlertLogLine("t", "x", "new"));
    EXPECT_TRUE(trimmed.starts_with(header));
    EXPECT_EQ(std::count(trimmed.begin(), trimmed.end(), '\n'), 9 + 50);
    EXPECT_NE(trimmed.find("\trecord 72\n"), std::string::npos);
    EXPECT_EQ(trimmed.find("\trecord 71\n"), std::string::npos);
    EXPECT_TRUE(trimmed.ends_with("\tnew\n"));
    // Fewer records than the limit: all stay.
    EXPECT_EQ(TrimmedAlertLog(header + AlertLogLine("t", "a", "b"), header, 50, "n\n"),
              header + AlertLogLine("t", "a", "b") + "n\n");
    EXPECT_EQ(AlertLogLine("06/12/2026 09:05:01", "T", "a\r\nb"),
              "06/12/2026 09:05:01\tT                             \ta b\n");
}

TEST(SysLogTextTest, DatagramLayoutPriorityAndLength) {
    std::tm t{};
    t.tm_mon = 11;
    t.tm_mday = 6;
    t.tm_hour = 9;
    t.tm_min = 5;
    t.tm_sec = 1;
    EXPECT_EQ(BuildSysLogDatagram(14, 1, t, "PRINTSRV", "Printer offline"),
              "<113> Dec 06 09:05:01 PRINTSRV Printer offline");
    EXPECT_EQ(BuildSysLogDatagram(1, 2, t, "H", "a\nb"), "<10> Dec 06 09:05:01 H a b");
    EXPECT_EQ(BuildSysLogDatagram(14, 1, t, "PRINTSRV", std::string(2000, 'x')).size(), 1023u);
    // A cut never splits a UTF-8 character.
    std::string euros;
    for (int i = 0; i < 400; ++i) {
        euros += "\xe2\x82\xac";
    }
    const std::string cut = BuildSysLogDatagram(14, 1, t, "PRINTSRV", euros);
    EXPECT_LE(cut.size(), 1023u);
    EXPECT_TRUE(cut.ends_with("\xe2\x82\xac"));
}

TEST(HttpTextTest, RequestsStatusLinesAndEncoding) {
    HttpRequest post;
    post.method = HttpMethod::kPost;
    post.server = "gw";
    post.path = "/send";
    post.body = "p=1&q=2";
    post.agent = "a\r\nX-Injected: 1";
    const std::string text = BuildHttpRequest(post);
    EXPECT_EQ(text,
              "POST /send HTTP/1.1\r\nAccept: */*\r\nAccept-Language: en-gb\r\n"
              "Accept-Encoding: gzip, deflate\r\nAccept-charset: utf-8\r\n"
              "User-Agent: aX-Injected: 1\r\nHost: gw\r\n"
              "Content-type: application/x-www-form-urlencoded\r\nContent-Length: 7\r\n"
              "Connection: Keep-Alive\r\n\r\np=1&q=2");
    HttpRequest get;
    get.path = "/x";
    EXPECT_EQ(BuildHttpRequest(get).find("Content-Length"), std::string::npos);

    std::string reason;
    EXPECT_EQ(ParseHttpStatus("HTTP/1.1 200 OK\r\n", &reason), 200);
    EXPECT_EQ(reason, "OK");
    EXPECT_EQ(ParseHttpStatus("HTTP/1.1\r\n"), std::nullopt);
    EXPECT_EQ(ParseHttpStatus("HTTP/1.1 abc def"), std::nullopt);

    EXPECT_EQ(EncodeParameter("text=a b\r\n#&+?%=\xc3\xbc"),
              "text=a%20b%0d%0a%23%26%2b%3f%25%3d%c3%bc");
    EXPECT_EQ(EncodeUrlPath("/send sms/x?y#z"), "/send%20sms/x%3fy%23z");
    EXPECT_EQ(
        RequestForLog("GET /s?user=me&Password=pw HTTP/1.1\r\nAuthorization: Basic eA==\r\n"
                      "\r\n&api_key=k&to=1"),
        "GET /s?user=me&Password=*** HTTP/1.1\r\nAuthorization: ***\r\n\r\n&api_key=***&to=1");
}

TEST(AlertScriptTest, HeadersDefaultsAndErrors) {
    const auto http = ParseHttpScript(
        "  # gateway\nzn-httpserver: http://gw.example/\nZN-Method: get\nZN-URL: /send\n"
        "ZN-Param: text=a b\nZN-Param: to=1\nZN-HTTPResult: 0\n");
    ASSERT_EQ(http.error, "");
    EXPECT_EQ(http.script.server, "gw.example");
    EXPECT_FALSE(http.script.expectedResult);
    EXPECT_EQ(BuildScriptRequest(http.script).path, "/send?text=a%20b&to=1");
    HttpScript post = http.script;
    post.post = true;
    EXPECT_EQ(BuildScriptRequest(post).path, "/send");
    EXPECT_EQ(BuildScriptRequest(post).body, "&text=a%20b&to=1");

    EXPECT_EQ(ParseHttpScript("ZN-HTTPServer: x\nZN-URL: /\n").error,
              "Invalid method found in Alert Script file (must be GET or POST). The HTTP alert "
              "cannot be sent");
    EXPECT_EQ(ParseSysLogScript("ZN-Server: s\nZN-Port: abc\ntext\n").error,
              "Invalid port found in Alert Script file. The SysLog alert cannot be sent");
    EXPECT_EQ(ParseSysLogScript("ZN-Server: s\n").error,
              "Insufficient data available to send SysLog message - message text was not "
              "specified");
    const auto syslog = ParseSysLogScript("ZN-Server: s\nline one \nline two\n");
    EXPECT_EQ(syslog.script.text, "line one line two");
    EXPECT_EQ(syslog.script.port, 514);
    const auto smtp = ParseSmtpScript(
        "ZN-Server: m\nZN-SendFrom: a@b\nZN-SendTo: x@y\nZN-SendTo: z@y\nhello\n\nbye\n");
    ASSERT_EQ(smtp.error, "");
    EXPECT_EQ(smtp.script.sendTo, "z@y");
    EXPECT_EQ(smtp.script.body, "hello\r\n\r\nbye");

    EXPECT_EQ(SplitScriptValue("\"/a b/t.tmpl\" -x 1"),
              (std::pair<std::string, std::string>{"\"/a b/t.tmpl\"", "-x 1"}));
}

TEST(SmtpSecurityTextTest, ExtensionsAndLogonTexts) {
    const SmtpExtensions ext =
        ParseEhloReply("250-mail.test 250-STARTTLS 250-AUTH LOGIN PLAIN 250 HELP");
    EXPECT_TRUE(ext.startTls && ext.authPlain && ext.authLogin);
    EXPECT_FALSE(ParseEhloReply("250-mail.test 250 AUTH CRAM-MD5").authPlain);
    EXPECT_EQ(AuthPlainCommand("alerts", "pw"), "AUTH PLAIN AGFsZXJ0cwBwdw==\r\n");
}

}  // namespace
}  // namespace kvzn::channels
