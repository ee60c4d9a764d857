// The restart request of the Linux backend, with stand-in tools on PATH.
#include "platform/system_restart.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

#include "support/test_support.h"

namespace kvzn::platform {
namespace {

class SystemRestartTest : public ::testing::Test {
  protected:
    SystemRestartTest() {
        std::filesystem::create_directories(bin_);
        std::filesystem::create_directories(root_);
        const char* path = std::getenv("PATH");
        path_.emplace("PATH", bin_ + ":" + (path ? path : "/usr/bin:/bin"));
    }
    void Tool(const std::string& name, const std::string& body) {
        test::WriteFile(bin_ + "/" + name,
                        "#!/bin/sh\necho \"" + name + " $*\" >> '" + log_ + "'\n" + body, 0755);
    }

    test::TempDir dir_;
    const std::string bin_ = dir_ / "bin";
    const std::string root_ = dir_ / "root";
    const std::string log_ = dir_ / "calls";
    std::optional<test::ScopedEnv> path_;
};

TEST_F(SystemRestartTest, UsesShutdownWithoutSystemdAndSystemctlWithIt) {
    Tool("shutdown", "exit 0\n");
    Tool("systemctl", "exit 0\n");
    auto restarter = MakeSystemRestarter(root_);
    ASSERT_TRUE(restarter->RestartNow().ok());
    EXPECT_EQ(test::ReadFile(log_), "shutdown -r now\n");

    std::filesystem::create_directories(root_ + "/run/systemd/system");
    ASSERT_TRUE(restarter->RestartNow().ok());
    EXPECT_EQ(test::ReadFile(log_), "shutdown -r now\nsystemctl reboot\n");
}

TEST_F(SystemRestartTest, RefusedRequestCarriesTheToolsMessage) {
    Tool("shutdown", "echo 'Failed to talk to init daemon.' >&2\nexit 1\n");
    const Status status = MakeSystemRestarter(root_)->RestartNow();
    EXPECT_EQ(status.err(), EIO);
    EXPECT_NE(status.Text().find("shutdown -r now: exit status 1: Failed to talk to init daemon."),
              std::string::npos)
        << status.Text();
}

}  // namespace
}  // namespace kvzn::platform
