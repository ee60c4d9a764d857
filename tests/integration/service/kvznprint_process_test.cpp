// The kvZNPrint program run for real: trace console, stop signals, command line and the
// notify protocol, each against a private store and directories.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "companion/registry.h"
#include "config/registry_names.h"
#include "platform/config_store.h"
#include "support/child_process.h"
#include "support/test_support.h"

namespace kvzn {
namespace {

using namespace std::chrono_literals;
namespace value = config::value;

class KvznPrintProcessTest : public ::testing::Test {
  protected:
    KvznPrintProcessTest()
        : store(dir / "registry.reg"), registry(platform::OpenFileStore(store)) {}

    void ConfigureDirectories(const std::string& skip = {}) {
        for (const char* v : {value::kHome, value::kDataDirectory, value::kHTMLTargetDirectory,
                              value::kImagesDirectory}) {
            if (skip != v) {
                registry.WriteText(config::kProductKey, v,
                                   std::string(v) == value::kHome ? dir.path() : dir / v);
            }
        }
    }
    std::vector<std::string> Env() const { return {"KVZN_REGISTRY=" + store}; }
    std::string ActivityLog() const { return test::ReadFile(dir / "KVZN.LOG"); }

    test::TempDir dir;
    std::string store;
    companion::Registry registry;
};

TEST_F(KvznPrintProcessTest, TraceRunStartsAndStopsOnCtrlC) {
    ConfigureDirectories();
    test::ChildProcess p({KVZN_PRINT_EXE, "/TRACE"}, Env(), dir.path());
    ASSERT_TRUE(p.WaitForOutput("The Korvane/Tessel Print Monitor is now running", 10s))
        << p.Output();
    const std::string banner = p.Output();
    EXPECT_NE(banner.find(std::string(70, '*') +
                          " \n\nKorvane/Tessel (Print) Monitor Server\n"
                          "The monitor has been started in trace mode. To stop,\n"),
              std::string::npos)
        << banner;
    EXPECT_NE(banner.find(" - The Korvane/Tessel Print Monitor is starting - please wait"),
              std::string::npos);

    const auto before = std::chrono::steady_clock::now();
    p.Signal(SIGINT);
    ASSERT_TRUE(p.WaitForOutput("Stopping the Service. Please wait ...", 2s));
    p.Signal(SIGINT);  // a second Ctrl-C while stopping does nothing
    const auto status = p.Wait(5s);
    ASSERT_TRUE(status.has_value()) << "did not exit within 5 s";
    EXPECT_EQ(*status, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);

    const std::string out = p.Output();
    size_t stops = 0;
    for (size_t pos = 0; (pos = out.find("Stopping the Service", pos)) != std::string::npos;
         ++pos) {
        ++stops;
    }
    EXPECT_EQ(stops, 1u) << out;
    EXPECT_NE(out.find(" - The Korvane/Tessel Print Monitor has now shut down"), std::string::npos);

    const std::string log = ActivityLog();
    EXPECT_NE(log.find("---------------- Korvane/Tessel Print Monitor v4.2 - February, 2007 is "
                       "starting ----------------"),
              std::string::npos);
    EXPECT_NE(log.find("M6 "), std::string::npos);
    EXPECT_NE(log.find("The Korvane/Tessel Print Monitor started successfully"), std::string::npos);
    EXPECT_NE(log.find("---------------- Tessel Monitor Shutdown Complete ----------------"),
              std::string::npos);
}

TEST_F(KvznPrintProcessTest, UnrecognisedParameterExitsWithStatusOne) {
    ConfigureDirectories();
    test::ChildProcess p({KVZN_PRINT_EXE, "/TRAC"}, Env(), dir.path());
    const auto status = p.Wait(5s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 1);
    EXPECT_NE(
        ActivityLog().find("The Tessel Monitor was started with an unrecognised parameter - /TRAC"),
        std::string::npos);
}

TEST_F(KvznPrintProcessTest, EachMissingSettingStopsStartUpWithItsMessage) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {value::kHome, "home"},
        {value::kDataDirectory, "DataDirectory"},
        {value::kHTMLTargetDirectory, "HTMLTargetDirectory"},
        {value::kImagesDirectory, "ImagesDirectory"},
    };
    for (const auto& [setting, word] : cases) {
        SCOPED_TRACE(setting);
        test::TempDir caseDir;
        const std::string caseStore = caseDir / "registry.reg";
        companion::Registry reg(platform::OpenFileStore(caseStore));
        for (const char* v : {value::kHome, value::kDataDirectory, value::kHTMLTargetDirectory,
                              value::kImagesDirectory}) {
            if (setting != v) {
                reg.WriteText(config::kProductKey, v, caseDir / v);
            }
        }
        reg.WriteText(config::kProductKey, value::kLogFile, caseDir / "KVZN.LOG");
        test::ChildProcess p({KVZN_PRINT_EXE, "/TRACE"}, {"KVZN_REGISTRY=" + caseStore},
                             caseDir.path());
        const auto status = p.Wait(10s);
        ASSERT_TRUE(status.has_value());
        EXPECT_NE(test::ReadFile(caseDir / "KVZN.LOG")
                      .find("The Korvane/Tessel Print Monitor cannot be started because the "
                            "required local configuration settings (" +
                            word + ") are not defined. Please contact the System Administrator"),
                  std::string::npos);
        EXPECT_EQ(p.Output().find("is now running"), std::string::npos);
    }
}

// Reads the datagrams of the notify protocol sent to a socket of the test.
class NotifySocket {
  public:
    explicit NotifySocket(const std::string& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        path.copy(addr.sun_path, sizeof addr.sun_path - 1);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        timeval tv{0, 200000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~NotifySocket() { ::close(fd_); }
    // Collects datagrams until one contains `text` or the time-out passes.
    bool ReadUntil(const std::string& text, std::chrono::seconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            char buf[512];
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n > 0) {
                messages.emplace_back(buf, static_cast<size_t>(n));
                if (messages.back().find(text) != std::string::npos) {
                    return true;
                }
            }
        }
        return false;
    }
    std::vector<std::string> messages;

  private:
    std::string path_;
    int fd_ = -1;
};

TEST_F(KvznPrintProcessTest, ServiceRunReportsItsStatesOverTheNotifySocket) {
    ConfigureDirectories();
    NotifySocket notify(dir / "notify.sock");
    std::vector<std::string> env = Env();
    env.push_back("NOTIFY_SOCKET=" + (dir / "notify.sock"));
    test::ChildProcess p({KVZN_PRINT_EXE}, env, dir.path());
    ASSERT_TRUE(notify.ReadUntil("READY=1", 10s)) << p.Output();
    p.Signal(SIGTERM);
    ASSERT_TRUE(notify.ReadUntil("STATUS=Stopped", 10s));
    const auto status = p.Wait(5s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0);

    // Start pending with growing checkpoints and the wait hint, ready, stopping, stopped.
    size_t i = 0;
    int expected = 1;
    for (; i < notify.messages.size() && notify.messages[i].starts_with("STATUS=Starting"); ++i) {
        EXPECT_EQ(notify.messages[i], "STATUS=Starting (checkpoint " + std::to_string(expected++) +
                                          ")\nEXTEND_TIMEOUT_USEC=30000000\n");
    }
    EXPECT_GE(expected, 5);
    ASSERT_LT(i, notify.messages.size());
    EXPECT_EQ(notify.messages[i++], "READY=1\nSTATUS=Running\n");
    ASSERT_LT(i, notify.messages.size());
    size_t stopping = 0;
    for (; i + 1 < notify.messages.size(); ++i) {
        EXPECT_TRUE(notify.messages[i].starts_with("STOPPING=1\nSTATUS=Stopping (checkpoint ") ||
                    notify.messages[i].starts_with("STATUS=Stopped"))
            << notify.messages[i];
        stopping += notify.messages[i].starts_with("STOPPING=1") ? 1 : 0;
    }
    EXPECT_GE(stopping, 2u);
    EXPECT_EQ(notify.messages.back(), "STATUS=Stopped\n");
}

}  // namespace
}  // namespace kvzn
