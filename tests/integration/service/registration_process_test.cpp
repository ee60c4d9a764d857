// /register, a real start through the installed init script, and /unregister, with the
// program itself in a private root; and the same against a fake systemctl.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "companion/registry.h"
#include "config/registry_names.h"
#include "platform/config_store.h"
#include "platform/process.h"
#include "service/service_host.h"
#include "support/child_process.h"
#include "support/test_support.h"

namespace kvzn {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// The number after `prefix` in `text`; -1 when there is none.
long NumberAfter(const std::string& text, const std::string& prefix) {
    std::smatch m;
    if (!std::regex_search(text, m, std::regex(prefix + "([0-9]+)"))) {
        return -1;
    }
    return std::stol(m[1]);
}

// The longest orderly shut-down of the service, which the service manager must let finish.
long ShutdownBudget() {
    return static_cast<long>(service::ShutdownBudgetSeconds(service::HostTimings{}));
}

class RegistrationProcessTest : public ::testing::Test {
  protected:
    RegistrationProcessTest() {
        fs::create_directories(root);
        fs::create_directories(bin);
        companion::Registry reg(platform::OpenFileStore(store));
        namespace value = config::value;
        reg.WriteText(config::kProductKey, value::kHome, dir.path());
        reg.WriteText(config::kProductKey, value::kDataDirectory, dir / "data");
        reg.WriteText(config::kProductKey, value::kHTMLTargetDirectory, dir / "html");
        reg.WriteText(config::kProductKey, value::kImagesDirectory, dir / "images");
        // Fake tools first on PATH, each logging its arguments.
        for (const char* tool : {"update-rc.d", "systemctl"}) {
            test::WriteFile(bin + "/" + tool,
                            "#!/bin/sh\necho \"" + std::string(tool) + " $*\" >> '" + calls +
                                "'\n[ \"$1\" = show ] && cat '" + state + "' 2>/dev/null\nexit 0\n",
                            0755);
        }
    }
    std::vector<std::string> Env() const {
        const char* path = std::getenv("PATH");
        return {"KVZN_REGISTRY=" + store, "KVZN_SYSTEM_ROOT=" + root,
                "PATH=" + bin + ":" + (path ? path : "/usr/bin:/bin")};
    }
    std::string RunProgram(const std::string& arg) {
        test::ChildProcess p({KVZN_PRINT_EXE, arg}, Env(), dir.path());
        const auto status = p.Wait(90s);
        EXPECT_TRUE(status.has_value());
        EXPECT_EQ(status.value_or(-1), 0);
        return p.Output();
    }

    test::TempDir dir;
    const std::string root = dir / "root";
    const std::string bin = dir / "bin";
    const std::string calls = dir / "calls";
    const std::string state = dir / "state";
    const std::string store = dir / "registry.reg";
};

TEST_F(RegistrationProcessTest, SysVServiceIsRegisteredStartedStoppedAndRemoved) {
    EXPECT_EQ(RunProgram("/REGISTER"),
              "Please wait, registering the Tessel Monitor service ...\n"
              "The Tessel Monitor service has been registered ...\n");
    const std::string script = root + "/etc/init.d/kvZNPrint";
    ASSERT_TRUE(fs::exists(script));
    EXPECT_NE(test::ReadFile(script).find("KVZN_REGISTRY"), std::string::npos);
    // The stop waits for the whole orderly shut-down before it kills.
    EXPECT_GT(NumberAfter(test::ReadFile(script), "--retry TERM/"), ShutdownBudget());
    EXPECT_NE(test::ReadFile(calls).find("update-rc.d kvZNPrint defaults"), std::string::npos);
    // The PAM service of the remote command page, under the name PAM reads.
    const std::string pam = test::ReadFile(root + "/etc/pam.d/kvznprint");
    EXPECT_NE(pam.find("auth     required  pam_unix.so\n"), std::string::npos) << pam;
    EXPECT_NE(pam.find("user ingroup kvznprint-logon"), std::string::npos) << pam;

    // The installed script starts the real program as a service.
    platform::ProcessOptions options;
    options.timeout = std::chrono::seconds(30);
    auto started = platform::RunProcess({script, "start"}, options);
    ASSERT_TRUE(started.ok());
    ASSERT_EQ(started->exitCode, 0) << started->output;
    ASSERT_TRUE(test::WaitUntil(
        [&] {
            return test::ReadFile(dir / "KVZN.LOG").find("Tessel Monitor Startup Complete") !=
                   std::string::npos;
        },
        10s));

    const std::string out = RunProgram("/Unregister");
    EXPECT_EQ(out,
              "Please wait, unregistering the Tessel Monitor service ...\n"
              "Verifying/stopping the Tessel Monitor service ...\n"
              "The Tessel Monitor service is stopped ...\n"
              "Removing the Tessel Monitor service ...\n"
              "The Tessel Monitor service has been removed ...\n");
    EXPECT_FALSE(fs::exists(script));
    EXPECT_NE(test::ReadFile(dir / "KVZN.LOG").find("Tessel Monitor Shutdown Complete"),
              std::string::npos);
    EXPECT_NE(test::ReadFile(calls).find("update-rc.d -f kvZNPrint remove"), std::string::npos);
}

TEST_F(RegistrationProcessTest, SystemdUnitIsRegisteredAndAStoppedOneRemovedAtOnce) {
    fs::create_directories(root + "/run/systemd/system");
    // A site's own PAM service file is kept.
    fs::create_directories(root + "/etc/pam.d");
    test::WriteFile(root + "/etc/pam.d/kvznprint", "auth required pam_site.so\n");
    EXPECT_EQ(RunProgram("/register"),
              "Please wait, registering the Tessel Monitor service ...\n"
              "The Tessel Monitor service has been registered ...\n");
    const std::string unit = root + "/etc/systemd/system/kvZNPrint.service";
    ASSERT_TRUE(fs::exists(unit));
    EXPECT_EQ(test::ReadFile(root + "/etc/pam.d/kvznprint"), "auth required pam_site.so\n");
    EXPECT_NE(test::ReadFile(unit).find("Type=notify"), std::string::npos);
    EXPECT_NE(test::ReadFile(unit).find("\nDescription=Korvane/Tessel (Print) Monitor Server\n"),
              std::string::npos);
    // Response commands still running outlive the service; its shut-down is not cut short.
    EXPECT_NE(test::ReadFile(unit).find("\nKillMode=process\n"), std::string::npos);
    EXPECT_GT(NumberAfter(test::ReadFile(unit), "\nTimeoutStopSec="), ShutdownBudget());
    EXPECT_NE(test::ReadFile(unit).find(std::string("ExecStart=") + KVZN_PRINT_EXE),
              std::string::npos);
    EXPECT_NE(test::ReadFile(calls).find("systemctl --root=" + root + " enable kvZNPrint"),
              std::string::npos);

    test::WriteFile(state, "LoadState=loaded\nActiveState=inactive\n");
    EXPECT_EQ(RunProgram("/unregister"),
              "Please wait, unregistering the Tessel Monitor service ...\n"
              "Verifying/stopping the Tessel Monitor service ...\n"
              "Removing the Tessel Monitor service ...\n"
              "The Tessel Monitor service has been removed ...\n");
    EXPECT_FALSE(fs::exists(unit));
    EXPECT_EQ(test::ReadFile(calls).find("stop"), std::string::npos);
}

}  // namespace
}  // namespace kvzn
