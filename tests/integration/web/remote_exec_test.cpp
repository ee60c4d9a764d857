// The remote command page against this machine's PAM: a local account made by the test
// logs on through a private copy of our PAM service file, and its commands run as that
// account, only as typed, within their time and until cancelled.
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <thread>

#include "config/registry_names.h"
#include "config/scrambled_values.h"
#include "platform/account_logon.h"
#include "platform/process.h"
#include "platform/profile_file.h"
#include "support/child_process.h"
#include "support/mail_server.h"
#include "support/service_fixture.h"
#include "support/test_web_server.h"
#include "support/web_client.h"
#include "web/http_request.h"
#include "web/web_server.h"

namespace kvzn::web {
namespace {

using namespace std::chrono_literals;

std::string RunText(const std::vector<std::string>& argv) {
    platform::ProcessOptions options;
    options.timeout = 30s;
    auto result = platform::RunProcess(argv, options);
    return result.ok() ? result->output : std::string();
}

bool InGroup(const std::string& user, const std::string& group) {
    const std::string groups = RunText({"id", "-nG", user});
    return (" " + groups.substr(0, groups.find('\n')) + " ").find(" " + group + " ") !=
           std::string::npos;
}

// Processes of `user` still alive.
std::string ProcessesOf(const std::string& user) {
    return RunText({"pgrep", "-a", "-u", user});
}

class RemoteExecTest : public ::testing::Test, protected test::ServiceFixture {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "creating the test account needs root (useradd, chpasswd)";
        }
        // The tests share the machine's group of the service-logon right (and may create
        // and remove it): one at a time, also across test processes.
        lock_ = ::open("/tmp/kvznprint-logon-tests.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(lock_, 0);
        ASSERT_TRUE(test::WaitUntil([&] { return ::flock(lock_, LOCK_EX | LOCK_NB) == 0; }, 120s));
        user_ = "kvznrx" + std::to_string(std::random_device{}() % 100000);
        home_ = "/tmp/" + user_;
        groupExisted_ = ::getgrnam(platform::kServiceLogonGroup) != nullptr;
        ASSERT_TRUE(
            platform::RunCommandChecked({"useradd", "-m", "-d", home_, "-s", "/bin/sh", user_}, 30s)
                .ok());
        created_ = true;
        const std::string input = user_ + ":" + kPassword + "\n";
        test::WriteFile(dir / "chpasswd.in", input, 0600);
        ASSERT_TRUE(
            platform::RunCommandChecked({"sh", "-c", "chpasswd < " + (dir / "chpasswd.in")}, 30s)
                .ok());
        // The service file /register installs, read from a private root.
        ASSERT_TRUE(platform::InstallPamServiceFile(dir / "root").ok());
        ::setenv(platform::kPamConfDirVariable, (dir / "root/etc/pam.d").c_str(), 1);
        context.autoAdjustPrivileges = true;
        StartServer();
    }
    void TearDown() override {
        server_.Stop();
        ::unsetenv(platform::kPamConfDirVariable);
        if (created_) {
            platform::RunCommandChecked({"pkill", "-KILL", "-u", user_}, 10s);
            platform::RunCommandChecked({"userdel", "-r", "-f", user_}, 30s);
            if (!groupExisted_) {
                platform::RunCommandChecked({"groupdel", platform::kServiceLogonGroup}, 30s);
            }
        }
        if (lock_ >= 0) {
            ::close(lock_);  // releases the lock
        }
    }
    void StartServer() {
        registry.WriteNumber(config::kProductKey, config::value::kEnableRExecSessions, 1);
        ASSERT_TRUE(server_.Start(*this, 2, "s3cret"));
        session_.port = server_.port();
        ASSERT_TRUE(session_.LogOn("/ZNRExec.kvp", "s3cret"));
    }
    // Sends the page's form: the account with `password` (none: the stored one) and the
    // commands, plus `extra` fields.
    test::WebReply Submit(const std::optional<std::string>& password, const std::string& commands,
                          const std::string& extra = "hTimeout=30") const {
        std::string form = "token=" + session_.token + "&hUserID=" + user_;
        if (password) {
            form += "&hPassword=" + UrlEncode(*password);
        }
        form += "&hCommands=" + UrlEncode(commands) + "&" + extra + "&RunBtn=1";
        return session_.Post("/ZNRExec.kvp", form);
    }
    // Chromium's picture of a page this session received, kept in the build tree for people
    // to look at (the browser cannot carry the session's cookie itself).
    void Screenshot(std::string body, const std::string& shot) {
        const char* chromium = "/usr/bin/chromium";
        if (!std::filesystem::exists(chromium)) {
            return;
        }
        const std::string base =
            "<base href=\"http://127.0.0.1:" + std::to_string(session_.port) + "/\">";
        body.insert(body.find("<head>") + 6, base);
        test::WriteFile(dir / "page.html", body);
        const std::string artefacts = std::string(KVZN_BINARY_DIR) + "/test-artefacts/web";
        std::filesystem::create_directories(artefacts);
        test::ChildProcess browser(
            {chromium, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--hide-scrollbars", "--window-size=1280,1000",
             "--user-data-dir=" + (dir / "chromium"), "--screenshot=" + artefacts + "/" + shot,
             "file://" + (dir / "page.html")},
            {"HOME=" + dir.path()});
        EXPECT_EQ(browser.Wait(60s), 0) << browser.Output();
        EXPECT_GT(std::filesystem::file_size(artefacts + "/" + shot), 1000U);
    }
    static std::string Results(const std::string& body) {
        const size_t start = body.find("class=\"results\"");
        return start == std::string::npos ? std::string() : body.substr(start);
    }

    static constexpr const char* kPassword = "Pa55-word;$x";
    std::string user_;
    std::string home_;
    bool created_ = false;
    bool groupExisted_ = true;
    int lock_ = -1;
    test::TestWebServer server_;
    test::WebSession session_;
};

TEST_F(RemoteExecTest, CommandsRunAsTheAccountOnlyAsTypedAfterItsPasswordWasAccepted) {
    // A wrong password runs nothing and grants nothing.
    const test::WebReply refused = Submit(std::string("wrong"), "touch " + home_ + "/ran");
    EXPECT_NE(refused.body.find("Unable to logon using the above logon details"), std::string::npos)
        << refused.body;
    EXPECT_FALSE(std::filesystem::exists(home_ + "/ran"));
    EXPECT_FALSE(InGroup(user_, platform::kServiceLogonGroup));

    const test::WebReply ran =
        Submit(std::string(kPassword), "id -un\nprintenv HOME LOGNAME\npwd\nid -u");
    const std::string results = Results(ran.body);
    EXPECT_NE(ran.body.find("The command executed successfully. The results are shown below."),
              std::string::npos)
        << ran.body;
    const std::string uid = RunText({"id", "-u", user_});
    ASSERT_NE(uid, "0\n");
    EXPECT_NE(results.find(">" + user_ + "\n" + home_ + "\n" + user_ + "\n" + home_ + "\n" + uid),
              std::string::npos)
        << results;
    EXPECT_TRUE(InGroup(user_, platform::kServiceLogonGroup));
    // Logged on now: the page offers the log-off and no password box.
    EXPECT_NE(ran.body.find("Logoff the Remote Session (user " + user_ + ")"), std::string::npos);
    Screenshot(ran.body, "rexec.png");

    // The stored password serves the next request; the shell's characters are plain text.
    const std::string marker = home_ + "/marker";
    const test::WebReply literal =
        Submit(std::nullopt, "echo a;touch " + marker + "1\necho $(touch " + marker + "2) `touch " +
                                 marker + "3` | touch " + marker + "4 && touch " + marker + "5 > " +
                                 marker + "6\necho \"quoted \\\"words\\\"\" 'single $HOME'\n" +
                                 "no-such-program-here x\nfalse");
    const std::string output = Results(literal.body);
    for (int n = 1; n <= 6; ++n) {
        EXPECT_FALSE(std::filesystem::exists(marker + std::to_string(n))) << n;
    }
    EXPECT_NE(output.find("a;touch " + marker + "1\n"), std::string::npos) << output;
    EXPECT_NE(output.find("$(touch " + marker + "2) `touch " + marker + "3` | touch " + marker +
                          "4 &amp;&amp; touch " + marker + "5 &gt; " + marker + "6\n"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("quoted &quot;words&quot; single $HOME\n"), std::string::npos) << output;
    EXPECT_NE(output.find("The Following Errors Occurred"), std::string::npos);
    EXPECT_NE(output.find("kvZNPrint: cannot run no-such-program-here: not found"),
              std::string::npos)
        << output;
    // The last command's status is the result.
    EXPECT_NE(literal.body.find("The command returned the code 1."), std::string::npos);

    // Work files never stay behind, and their directory is ours alone.
    const std::string work = context.htmlTargetDirectory + "/RemoteExec";
    EXPECT_EQ(std::filesystem::status(work).permissions(), std::filesystem::perms::owner_all);
    EXPECT_TRUE(std::filesystem::is_empty(work));

    // After the log-off the stored password is gone.
    session_.Post("/ZNRExec.kvp", "token=" + session_.token + "&hUserID=" + user_ + "&LogoffBtn=1");
    const test::WebReply after = Submit(std::nullopt, "touch " + home_ + "/after");
    EXPECT_NE(after.body.find("Unable to logon"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(home_ + "/after"));
}

TEST_F(RemoteExecTest, TimeOutsCancelsAndASecondRunEndTheCommandsProcesses) {
    // A command still running at its time-out is ended.
    auto started = std::chrono::steady_clock::now();
    const test::WebReply timedOut = Submit(std::string(kPassword), "sleep 600", "hTimeout=1");
    EXPECT_NE(timedOut.body.find("The command timed out before completing"), std::string::npos)
        << timedOut.body;
    EXPECT_LT(std::chrono::steady_clock::now() - started, 8s);
    EXPECT_TRUE(test::WaitUntil([&] { return ProcessesOf(user_).empty(); }, 3s))
        << ProcessesOf(user_);

    // A cancel from another request ends a command waited for without limit.
    test::WebReply waited;
    started = std::chrono::steady_clock::now();
    std::thread waiter([&] { waited = Submit(std::nullopt, "sleep 600", "hTimeout=0"); });
    EXPECT_TRUE(test::WaitUntil(
        [&] { return ProcessesOf(user_).find("sleep 600") != std::string::npos; }, 5s));
    const test::WebReply cancel = session_.Post(
        "/ZNRExec.kvp", "token=" + session_.token + "&hUserID=" + user_ + "&CancelBtn=1");
    waiter.join();
    EXPECT_NE(cancel.body.find("The job was successfully cancelled"), std::string::npos)
        << cancel.body;
    EXPECT_LT(std::chrono::steady_clock::now() - started, 8s);
    EXPECT_NE(waited.body.find("The command returned the code 137."), std::string::npos)
        << waited.body;
    EXPECT_TRUE(test::WaitUntil([&] { return ProcessesOf(user_).empty(); }, 3s))
        << ProcessesOf(user_);

    // Not waited for: the page comes back at once, the command goes on; a second run
    // request ends it and runs nothing.
    started = std::chrono::steady_clock::now();
    const test::WebReply background = Submit(std::nullopt, "sleep 600", "hTimeout=30&hDontWait=ON");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_NE(background.body.find("The command executed successfully.</p>"), std::string::npos)
        << background.body;
    EXPECT_TRUE(test::WaitUntil(
        [&] { return ProcessesOf(user_).find("sleep 600") != std::string::npos; }, 5s));
    const test::WebReply second = Submit(std::nullopt, "touch " + home_ + "/second");
    EXPECT_NE(second.body.find("The active command, which was already running has now been "
                               "cancelled."),
              std::string::npos)
        << second.body;
    EXPECT_FALSE(std::filesystem::exists(home_ + "/second"));
    EXPECT_TRUE(test::WaitUntil([&] { return ProcessesOf(user_).empty(); }, 3s))
        << ProcessesOf(user_);
    const test::WebReply nothing = session_.Post(
        "/ZNRExec.kvp", "token=" + session_.token + "&hUserID=" + user_ + "&CancelBtn=1");
    EXPECT_NE(nothing.body.find("The current job could not be cancelled"), std::string::npos);
}

// A PAM module that hangs (here one that sleeps before the password check) costs the logon
// its time-out, not a web worker; the logon left behind grants nothing when it ends.
TEST_F(RemoteExecTest, APamModuleThatHangsCostsTheLogonItsTimeOutAndGrantsNothing) {
    const std::string slow = dir / "slow/etc/pam.d";
    std::filesystem::create_directories(slow);
    test::WriteFile(
        slow + "/" + platform::kPamServiceFile,
        "auth requisite pam_exec.so quiet /bin/sleep 3\n" + platform::PamServiceFileText());
    ::setenv(platform::kPamConfDirVariable, slow.c_str(), 1);
    const auto accounts = platform::MakeAccountLogon(500ms);
    std::atomic<bool> accepted{false};
    const auto started = std::chrono::steady_clock::now();
    const auto result =
        accounts->LogOn(user_, kPassword, [&](const std::string&) { accepted = true; });
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2500ms);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.status().err(), ETIMEDOUT) << result.status().Text();
    // The sleep ends and pam_unix accepts the password on the abandoned thread.
    std::this_thread::sleep_for(4s);
    EXPECT_FALSE(accepted);
    EXPECT_FALSE(InGroup(user_, platform::kServiceLogonGroup));

    // Waited for long enough, the same service logs on, granting the right on the way.
    const auto patient = platform::MakeAccountLogon(10s);
    const auto slowButInTime = patient->LogOn(user_, kPassword, [&](const std::string& name) {
        accepted = patient->GrantServiceLogon(name).ok();
    });
    EXPECT_TRUE(slowButInTime.ok()) << slowButInTime.status().Text();
    EXPECT_TRUE(accepted);
    EXPECT_TRUE(InGroup(user_, platform::kServiceLogonGroup));
}

}  // namespace
}  // namespace kvzn::web
