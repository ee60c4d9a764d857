// STARTTLS and AUTH of the SMTP client against aiosmtpd on loopback with a test CA: the mail
// arrives encrypted and logged on, a server offering neither still gets mail unless
// encryption is required, and credentials never travel in plain text.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

#include "channels/alert_email.h"
#include "config/registry_names.h"
#include "config/scrambled_values.h"
#include "support/capture_server.h"
#include "support/mail_server.h"
#include "support/service_fixture.h"

namespace kvzn::channels {
namespace {

using namespace std::chrono_literals;

// aiosmtpd with STARTTLS and AUTH (user "alerts"); each stored message records in "X-TLS"
// and "X-Login" how its session was secured.
class SecureMailServer {
  public:
    SecureMailServer(const std::string& dir, const test::TestCertificates& certs)
        : port_(test::FreeLoopbackPort()), home_(dir + "/securemail-" + std::to_string(port_)) {
        std::filesystem::create_directories(home_);
        test::WriteFile(home_ + "/server.py", kScript);
        server_.emplace(std::vector<std::string>{test::kMailPython, home_ + "/server.py",
                                                 std::to_string(port_), home_ + "/maildir",
                                                 certs.certFile, certs.keyFile});
        ready_ = server_->WaitForOutput("listening", 10s);
    }
    bool ready() const { return ready_; }
    uint16_t port() const { return port_; }
    std::string Output() { return server_->Output(); }
    std::vector<test::Mail> Messages() const {
        std::vector<test::Mail> mails;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(home_ + "/maildir/new", ec)) {
            mails.push_back(test::ParseMail(test::ReadFile(e.path().string())));
        }
        return mails;
    }

  private:
    static constexpr const char* kScript =
        "import ssl, sys, time\n"
        "from aiosmtpd.controller import Controller\n"
        "from aiosmtpd.handlers import Mailbox\n"
        "from aiosmtpd.smtp import AuthResult, LoginPassword\n"
        "port, maildir, cert, key = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]\n"
        "ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)\n"
        "ctx.load_cert_chain(cert, key)\n"
        "def check(server, session, envelope, mechanism, data):\n"
        "    ok = isinstance(data, LoginPassword) and data.login == b'alerts' and "
        "data.password == b'pa:ss w0rd'\n"
        "    return AuthResult(success=ok, auth_data=data.login if ok else None)\n"
        "class Box(Mailbox):\n"
        "    def prepare_message(self, session, envelope):\n"
        "        m = super().prepare_message(session, envelope)\n"
        "        m['X-TLS'] = 'yes' if session.ssl else 'no'\n"
        "        m['X-Login'] = session.auth_data.decode() if session.authenticated else 'none'\n"
        "        return m\n"
        "c = Controller(Box(maildir), hostname='127.0.0.1', port=port, tls_context=ctx,\n"
        "               authenticator=check, auth_require_tls=True)\n"
        "c.start()\n"
        "print('listening', flush=True)\n"
        "while True: time.sleep(3600)\n";

    uint16_t port_;
    std::string home_;
    std::optional<test::ChildProcess> server_;
    bool ready_ = false;
};

class SmtpSecurityTest : public ::testing::Test {
  protected:
    SmtpSecurityTest() : certs_(test::MakeTestCertificates(fx_.dir.path())) {
        fx_.registry.WriteText(key_, config::contacts::kEMailServer, "localhost");
        fx_.registry.WriteText(key_, config::contacts::kSender, "monitor@example.org");
        fx_.registry.WriteText(key_, config::contacts::kSmtpCAFile, certs_.caFile);
    }
    void SetLogon(const std::string& user, const std::string& password) {
        ASSERT_EQ(config::kvHlpSvc1(fx_.registry, user, fx_.registry.Store(), key_,
                                    config::contacts::kSmtpUser),
                  1);
        ASSERT_EQ(config::kvHlpSvc1(fx_.registry, password, fx_.registry.Store(), key_,
                                    config::contacts::kSmtpPassword),
                  1);
    }
    int Send(uint16_t port) {
        fx_.registry.WriteNumber(key_, config::contacts::kEMailServerPort, port);
        EMailChannel channel(fx_.context);
        return channel.SendEMailMessage("Test", "Encrypted alert", "The body", "ops@example.org");
    }
    test::ServiceFixture fx_;
    const std::string key_ = config::SubKey(config::subkey::kContacts);
    test::TestCertificates certs_;
};

TEST_F(SmtpSecurityTest, MailGoesEncryptedAndLoggedOnWhenTheServerOffersBoth) {
    ASSERT_TRUE(test::HaveAiosmtpd());
    ASSERT_EQ(certs_.error, "");
    SecureMailServer server(fx_.dir.path(), certs_);
    ASSERT_TRUE(server.ready()) << server.Output();
    SetLogon("alerts", "pa:ss w0rd");
    test::LogCapture log;
    ASSERT_EQ(Send(server.port()), 1) << server.Output();
    ASSERT_EQ(server.Messages().size(), 1u);
    EXPECT_EQ(server.Messages()[0].Header("X-TLS"), "yes");
    EXPECT_EQ(server.Messages()[0].Header("X-Login"), "alerts");
    EXPECT_EQ(server.Messages()[0].Header("Subject"), "Encrypted alert");
    EXPECT_FALSE(log.Contains("pa:ss w0rd"));

    // A wrong password is refused and nothing is sent.
    SetLogon("alerts", "wrong");
    EXPECT_EQ(Send(server.port()), 0);
    EXPECT_TRUE(log.Contains("the server refused the logon"));
    EXPECT_EQ(server.Messages().size(), 1u);

    // Without the test CA the server's certificate is not trusted: no mail, not even in plain.
    fx_.registry.WriteText(key_, config::contacts::kSmtpCAFile, "");
    SetLogon("alerts", "pa:ss w0rd");
    EXPECT_EQ(Send(server.port()), 0);
    EXPECT_TRUE(log.Contains("the TLS handshake failed"));
    EXPECT_EQ(server.Messages().size(), 1u);
}

TEST_F(SmtpSecurityTest, PlainServerStillGetsMailUnlessEncryptionIsRequired) {
    ASSERT_TRUE(test::HaveAiosmtpd());
    test::MailServer plain(fx_.dir.path());
    ASSERT_TRUE(plain.ready());
    EXPECT_EQ(Send(plain.port()), 1);
    EXPECT_EQ(plain.Count(), 1u);

    test::LogCapture log;
    fx_.registry.WriteNumber(key_, config::contacts::kSmtpTls, 2);
    EXPECT_EQ(Send(plain.port()), 0);
    EXPECT_TRUE(log.Contains("does not offer STARTTLS, which is required"));

    // A logon is never sent over a plain session.
    fx_.registry.WriteNumber(key_, config::contacts::kSmtpTls, 1);
    SetLogon("alerts", "pa:ss w0rd");
    EXPECT_EQ(Send(plain.port()), 0);
    EXPECT_TRUE(log.Contains("only sent over an encrypted session"));
    EXPECT_EQ(plain.Count(), 1u);
}

}  // namespace
}  // namespace kvzn::channels
