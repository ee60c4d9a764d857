// The SMTP session layer: reply parsing, message text, and the dialogue against a scripted
// peer on loopback.
#include "channels/smtp_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "companion/tcpip.h"
#include "support/test_support.h"

namespace kvzn::channels {
namespace {

using namespace std::chrono_literals;

TEST(SmtpTextTest, RepliesEndAtTheirFinalLine) {
    struct Case {
        const char* name;
        std::string received;
        bool complete;
        size_t length;
        std::string lastLine;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"single line", "220 ready\r\n", true, 11, "220 ready", "220 ready"},
        {"multi-line", "250-mail.test\r\n250-SIZE 10\r\n250 HELP\r\n", true, 38, "250 HELP",
         "250-mail.test 250-SIZE 10 250 HELP"},
        {"multi-line cut before its last line", "250-mail.test\r\n250 HE", false, 0, "", ""},
        {"no line end yet", "220 ready", false, 0, "", ""},
        {"bare line feed", "221 bye\n", true, 8, "221 bye", "221 bye"},
        {"second reply stays", "250 a\r\n250 b\r\n", true, 7, "250 a", "250 a"},
        {"text without a code ends a reply", "hello\r\n", true, 7, "hello", "hello"},
        {"nothing", "", false, 0, "", ""},
    };
    for (const Case& c : cases) {
        const SmtpReplyScan scan = ScanSmtpReply(c.received);
        EXPECT_EQ(scan.complete, c.complete) << c.name;
        EXPECT_EQ(scan.length, c.length) << c.name;
        EXPECT_EQ(scan.lastLine, c.lastLine) << c.name;
        EXPECT_EQ(scan.text, c.text) << c.name;
    }
}

TEST(SmtpTextTest, CheckSMTPResponseComparesTheFirstThreeCharacters) {
    const std::vector<std::tuple<std::string, std::string, int>> cases = {
        {"250 OK", "250", 1}, {"250", "250", 1},   {"25", "250", 0},
        {"550 no", "250", 0}, {"abc x", "ABC", 1}, {"", "221", 0},
    };
    for (const auto& [reply, expected, result] : cases) {
        EXPECT_EQ(CheckSMTPResponse(reply, expected), result) << reply << " / " << expected;
    }
    test::LogCapture log;
    CheckSMTPResponse("554 " + std::string(60, 'x'), "250");
    EXPECT_TRUE(
        log.Contains("An error occurred during an SMTP transmission. Response expected: "
                     "250, response received 554 " +
                         std::string(45, 'x'),
                     "kvNotify.DLL"));
    EXPECT_FALSE(log.Contains(std::string(46, 'x')));
}

TEST(SmtpTextTest, LineEndsBecomeCrLf) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"a\nb", "a\r\nb"},         {"a\r\nb", "a\r\nb"},     {"a\rb", "a\r\nb"},
        {"a\r\r\nb", "a\r\n\r\nb"}, {"a\n\rb", "a\r\n\r\nb"}, {"end\r", "end\r\n"}};
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(NormaliseLineEnds(in), out) << testing::PrintToString(in);
    }
}

TEST(SmtpTextTest, LeadingDotsAreDoubled) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {".\r\n", "..\r\n"},
        {"a\r\n.\r\nb", "a\r\n..\r\nb"},
        {".hidden\r\n..two", "..hidden\r\n...two"},
        {"a.b\r\n c.\r\n", "a.b\r\n c.\r\n"},
        {"end\r\n.", "end\r\n.."},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(DotStuff(in), out) << testing::PrintToString(in);
    }
}

TEST(SmtpTextTest, HeaderValuesAndAddressesStayOnOneLine) {
    const std::vector<std::pair<std::string, std::string>> clean = {
        {"Report.doc\r\nBcc: x@example.org", "Report.doc Bcc: x@example.org"},
        {"a\n\n\r\nb", "a b"},
        {"bell\x07 and del\x7f", "bell and del"},
        {"tab\tkept", "tab\tkept"},
    };
    for (const auto& [in, out] : clean) {
        EXPECT_EQ(CleanHeaderValue(in), out) << testing::PrintToString(in);
    }
    EXPECT_EQ(SplitRecipientText(" a@x.org, b@x.org\nc@x.org ,,\r\n"),
              (std::vector<std::string>{"a@x.org", "b@x.org", "c@x.org"}));
    EXPECT_TRUE(SplitRecipientText(" , \n").empty());

    const std::vector<std::pair<std::string, std::string>> commands = {
        {MailFromCommand("  ops@x.org"), "MAIL FROM: <ops@x.org>\r\n"},
        {MailFromCommand("<ops@x.org>"), "MAIL FROM: <ops@x.org>\r\n"},
        {MailFromCommand("ops@x.org\r\nRCPT TO: <evil@x.org>"),
         "MAIL FROM: <ops@x.org RCPT TO: <evil@x.org>>\r\n"},
        {RcptToCommand("a@x.org"), "RCPT TO: <a@x.org>\r\n"},
        {RcptToCommand(" <a@x.org>"), "RCPT TO: <a@x.org>\r\n"},
    };
    for (const auto& [built, expected] : commands) {
        EXPECT_EQ(built, expected);
    }
}

TEST(SmtpTextTest, DateHeaderCarriesTheLocalZone) {
    const std::vector<std::tuple<const char*, std::time_t, std::string>> cases = {
        {"UTC0", 1767261600, "Thu, 01 Jan 2026 10:00:00 +0000"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", 1767261600, "Thu, 01 Jan 2026 11:00:00 +0100"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", 1782907200, "Wed, 01 Jul 2026 14:00:00 +0200"},
        {"NST3:30", 1767261600, "Thu, 01 Jan 2026 06:30:00 -0330"},
    };
    for (const auto& [zone, when, expected] : cases) {
        test::ScopedEnv tz("TZ", zone);
        tzset();
        EXPECT_EQ(MailDateText(when), expected) << zone;
    }
    tzset();
}

// The header lines of message data (up to the blank line) and the rest.
std::pair<std::vector<std::string>, std::string> SplitData(const std::string& data) {
    const size_t end = data.find("\r\n\r\n");
    std::vector<std::string> headers;
    size_t pos = 0;
    while (pos < end) {
        const size_t eol = data.find("\r\n", pos);
        headers.push_back(data.substr(pos, eol - pos));
        pos = eol + 2;
    }
    return {headers, data.substr(end + 4)};
}

TEST(SmtpTextTest, MessageDataHasCleanHeadersAndAStuffedBody) {
    test::ScopedEnv tz("TZ", "UTC0");
    tzset();
    const std::string data =
        BuildMessageData(" ops@x.org", "a@x.org,\nb@x.org", "Job\r\nBcc: evil@x.org",
                         "first\n.\n.dot\r\nlast", 1767261600, "<id.1@x.org>");
    const auto [headers, body] = SplitData(data);
    EXPECT_EQ(headers, (std::vector<std::string>{
                           "Date: Thu, 01 Jan 2026 10:00:00 +0000",
                           "From: ops@x.org",
                           "To: a@x.org, b@x.org",
                           "Subject: Job Bcc: evil@x.org",
                           "Message-ID: <id.1@x.org>",
                           "MIME-Version: 1.0",
                           "Content-Type: text/plain; charset=utf-8",
                           "Content-Transfer-Encoding: 7bit",
                       }));
    EXPECT_EQ(body, "first\r\n..\r\n..dot\r\nlast\r\n\r\n.\r\n");
    tzset();
}

TEST(SmtpTextTest, EightBitTextAndLongLinesAreEncoded) {
    const std::string data = BuildMessageData("ops@x.org", "a@x.org", "Drucker Küche",
                                              "Grüße \n" + std::string(1200, 'x'), 0, "<i@x>");
    const auto [headers, body] = SplitData(data);
    EXPECT_EQ(headers[3], "Subject: =?utf-8?B?RHJ1Y2tlciBLw7xjaGU=?=");
    EXPECT_EQ(headers[7], "Content-Transfer-Encoding: quoted-printable");
    EXPECT_TRUE(body.starts_with("Gr=C3=BC=C3=9Fe=20\r\n" + std::string(75, 'x') + "=\r\nxxx"))
        << body.substr(0, 120);
    EXPECT_EQ(std::count(body.begin(), body.end(), 'x'), 1200);
}

// A one-connection SMTP peer answering from a script: the greeting, then one reply per
// command. After the script it reads one more command, then hangs up. A reply may be sent
// in pieces separated by "|".
class ScriptedPeer {
  public:
    explicit ScriptedPeer(std::vector<std::string> replies) {
        EXPECT_EQ(companion::IpCreateServer(listener_, 0, "127.0.0.1"), companion::kIpOk);
        port_ = companion::IpLocalPort(listener_);
        thread_ = std::thread([this, r = std::move(replies)] { Serve(r); });
    }
    ~ScriptedPeer() { Finish(); }
    int port() const { return port_; }
    // The commands received (the message data as one item), once the client is done.
    std::vector<std::string> Finish() {
        // The client is done, so the connection was accepted long ago (or never came).
        companion::IpClose(listener_);
        if (thread_.joinable())
            thread_.join();
        return received_;
    }

  private:
    void Serve(const std::vector<std::string>& replies) {
        companion::Socket client;
        std::string address;
        if (companion::IpAccept(listener_, client, address) != companion::kIpOk)
            return;
        std::string pending;
        bool inData = false;
        for (size_t i = 0; i <= replies.size(); ++i) {
            if (i > 0) {
                const std::string end = inData ? "\r\n.\r\n" : "\r\n";
                while (pending.find(end) == std::string::npos) {
                    std::string chunk;
                    if (companion::IpReceiveReply(client, chunk, 65536, 5) != companion::kIpOk)
                        return;
                    pending += chunk;
                }
                const size_t at = pending.find(end);
                received_.push_back(pending.substr(0, inData ? at + end.size() : at));
                pending.erase(0, at + end.size());
                inData = received_.back() == "DATA";
            }
            if (i == replies.size())
                return;
            size_t start = 0;
            for (;;) {
                const size_t bar = replies[i].find('|', start);
                companion::IpSendText(client, replies[i].substr(start, bar - start));
                if (bar == std::string::npos)
                    break;
                std::this_thread::sleep_for(30ms);
                start = bar + 1;
            }
        }
    }

    companion::Socket listener_;
    int port_ = 0;
    std::thread thread_;
    std::vector<std::string> received_;
};

const std::vector<std::string> kHappyPath = {
    "220 mail.test\r\n", "250 hello\r\n",  "250 sender ok\r\n", "250 ok\r\n",
    "354 go ahead\r\n",  "250 queued\r\n", "221 bye\r\n"};

TEST(SmtpSessionTest, FragmentedMultiLineRepliesAndABracketedSender) {
    ScriptedPeer peer({"220-mail.test ESMTP\r\n|220 ready\r\n", "250-mail.test\r\n|250 HELP\r\n",
                       "250 sender ok\r\n", "250 ok\r\n", "250 ok\r\n", "354 go ahead\r\n",
                       "250-queued\r\n250 as 42\r\n", "221 bye\r\n"});
    std::vector<std::string> progress;
    EXPECT_EQ(kvZNNotify_SMTPConnectAndSend(
                  "127.0.0.1", "127.0.0.1", peer.port(), " <ops@example.org>",
                  "a@example.org, b@example.org", "Queue stalled", "Body\n.\nend",
                  [&](std::string_view line) { progress.emplace_back(line); }),
              1);
    const std::vector<std::string> received = peer.Finish();
    ASSERT_EQ(received.size(), 7u);
    EXPECT_EQ(
        std::vector<std::string>(received.begin(), received.begin() + 5),
        (std::vector<std::string>{"HELO 127.0.0.1", "MAIL FROM: <ops@example.org>",
                                  "RCPT TO: <a@example.org>", "RCPT TO: <b@example.org>", "DATA"}));
    EXPECT_NE(received[5].find("\r\nTo: a@example.org, b@example.org\r\n"), std::string::npos);
    EXPECT_TRUE(received[5].ends_with("\r\n\r\nBody\r\n..\r\nend\r\n\r\n.\r\n"));
    EXPECT_EQ(received[6], "QUIT");
    EXPECT_EQ(progress, (std::vector<std::string>{"Connecting to the SMTP server ...",
                                                  "Sending the SMTP (e-mail) message ...",
                                                  "The e-mail was sent successfully ..."}));
}

TEST(SmtpSessionTest, EachFailingStepEndsTheAttemptWithItsLogText) {
    const std::string opening =
        "Unable to send SMTP message as the connection to the target server 127.0.0.1";
    std::vector<std::string> quitRefused = kHappyPath;
    quitRefused.back() = "500 what\r\n";
    struct Case {
        const char* name;
        std::vector<std::string> replies;
        std::vector<std::string> logs;
        const char* lastProgress;
    };
    const std::vector<Case> cases = {
        {"HELO refused",
         {"220 hi\r\n", "550 go away\r\n"},
         {"Response expected: 250, response received 550 go away",
          opening + " failed with the unexpected response 550 go away",
          "Unable to connect to the SMTP Server 127.0.0.1"},
         "available over the network."},
        {"peer hangs up",
         {"220 hi\r\n"},
         {opening + " failed with the error 104"},
         "available over the network."},
        {"QUIT not answered with 221",
         quitRefused,
         {"Unable to send SMTP message. The original request was QUIT",
          "Unable to send SMTP message. The server's response (-1) was 500 what",
          "An error occurred sending SMTP message to the Server 127.0.0.1"},
         "Please check the Korvane log file for more information on this error."},
    };
    for (const Case& c : cases) {
        test::LogCapture log;
        ScriptedPeer peer(c.replies);
        std::vector<std::string> progress;
        EXPECT_EQ(
            kvZNNotify_SMTPConnectAndSend(
                "127.0.0.1", "127.0.0.1", peer.port(), "ops@example.org", "a@example.org",
                "subject", "body", [&](std::string_view line) { progress.emplace_back(line); }),
            0)
            << c.name;
        peer.Finish();
        for (const std::string& text : c.logs) {
            EXPECT_TRUE(log.Contains(text)) << c.name << ": " << text;
        }
        ASSERT_FALSE(progress.empty()) << c.name;
        EXPECT_EQ(progress.back(), c.lastProgress) << c.name;
    }
}

TEST(SmtpSessionTest, TheCallersErrorTextFitsItsBuffer) {
    const std::vector<std::pair<size_t, std::string>> cases = {
        {2000,
         "Unable to send the requested e-mail. The server's last response (-1) was 550 no such "
         "user"},
        {99, "Unable to send the requested e-mail"},
        {20, "Unable to send the "},
    };
    for (const auto& [size, expected] : cases) {
        ScriptedPeer peer({"220 hi\r\n", "250 hello\r\n", "250 ok\r\n", "550 no such user\r\n"});
        SmtpSession session;
        ASSERT_EQ(kvZNNotify_SMTPConnect(session, "127.0.0.1", "relay", peer.port()), 1);
        std::string error;
        EXPECT_EQ(kvZNNotify_SMTPSend(session, "ops@example.org", "nobody@example.org", "s", "b",
                                      error, size),
                  0);
        EXPECT_EQ(error, expected) << size;
        EXPECT_EQ(kvZNNotify_SMTPDisconnect(session), 1);
        EXPECT_EQ(peer.Finish().at(0), "HELO relay");
    }
}

TEST(SmtpSessionTest, ASessionIsUsedOnlyWhileOpenAndSessionsAreIndependent) {
    test::LogCapture log;
    std::string error;
    SmtpSession session;
    EXPECT_EQ(
        kvZNNotify_SMTPSend(session, "ops@example.org", "a@example.org", "s", "b", error, 100), 0);
    EXPECT_TRUE(log.Contains("Unable to send SMTP message. No SMTP connection exists"));
    EXPECT_EQ(kvZNNotify_SMTPDisconnect(session), 0);
    EXPECT_TRUE(log.Contains("Unable to disconnect. No SMTP connection exists"));

    ScriptedPeer first({"220 hi\r\n", "250 hello\r\n"});
    ScriptedPeer second({"220 hi\r\n", "250 hello\r\n"});
    ASSERT_EQ(kvZNNotify_SMTPConnect(session, "127.0.0.1", "h", first.port()), 1);
    SmtpSession other;  // a session of its own: no connection there
    EXPECT_EQ(kvZNNotify_SMTPDisconnect(other), 0);
    EXPECT_EQ(kvZNNotify_SMTPSend(session, "", "a@example.org", "s", "b", error, 100), 0);
    EXPECT_EQ(kvZNNotify_SMTPSend(session, "ops@example.org", "a@example.org", "s", "", error, 100),
              0);
    EXPECT_EQ(log.Count("One or more incoming parameters have not been specified"), 2u);
    EXPECT_EQ(kvZNNotify_SMTPSend(session, "ops@example.org", " , \n", "s", "b", error, 100), 0);
    EXPECT_TRUE(log.Contains("Cannot send mail as there are no valid recipients"));

    ASSERT_EQ(kvZNNotify_SMTPConnect(session, "127.0.0.1", "h", second.port()), 1);
    EXPECT_TRUE(
        log.Contains("An existing SMTP connection already exists. It will be disconnected"));
    EXPECT_EQ(kvZNNotify_SMTPDisconnect(session), 1);
    EXPECT_EQ(kvZNNotify_SMTPDisconnect(session), 0);
}

}  // namespace
}  // namespace kvzn::channels
