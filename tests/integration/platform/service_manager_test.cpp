// Tests of service control: SysV init scripts run for real in a private root, systemd
// through a fake systemctl, and the choice between the two.
#include "platform/service_manager.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/process.h"
#include "support/test_support.h"

namespace kvzn::platform {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

bool HasLine(const std::string& text, const std::string& pattern) {
    return std::regex_search(text, std::regex("(^|\n)" + pattern + "(\n|$)"));
}

int Mode(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

// Alive and not a zombie (orphans may never be reaped on a test machine).
bool IsAlive(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(in, stat);
    const size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
}

std::string Quoted(const std::string& path) {
    return "'" + path + "'";
}

// A private root, a directory of fake tools first on PATH and a log of their calls.
class ServiceManagerTest : public ::testing::Test {
  protected:
    ServiceManagerTest() {
        fs::create_directories(root_);
        fs::create_directories(bin_);
        const char* path = std::getenv("PATH");
        path_.emplace("PATH", bin_ + ":" + (path ? path : "/usr/sbin:/usr/bin:/sbin:/bin"));
    }

    // A tool that logs its arguments, then runs `body`.
    void FakeTool(const std::string& name, const std::string& body = {}) {
        test::WriteFile(bin_ + "/" + name,
                        "#!/bin/sh\necho \"$*\" >> " + Quoted(log_) + "\n" + body, 0755);
    }
    std::vector<std::string> Calls() const { return Lines(test::ReadFile(log_)); }
    std::string LastCall() const {
        const auto calls = Calls();
        return calls.empty() ? std::string() : calls.back();
    }
    // Writes a file below the root, creating its directories.
    void WriteRootFile(const std::string& path, const std::string& content, int mode = 0644) {
        fs::create_directories(fs::path(root_ + path).parent_path());
        test::WriteFile(root_ + path, content, mode);
    }

    static ServiceDefinition Definition() {
        ServiceDefinition def;
        def.name = "kvZNPrint";
        def.displayName = "Korvane/Tessel (Print) Monitor Server";
        def.description = "Watches the print server and raises alerts.";
        def.executable = "/usr/sbin/kvZNPrint";
        return def;
    }

    test::TempDir dir_;
    const std::string root_ = dir_ / "root";
    const std::string bin_ = dir_ / "bin";
    const std::string log_ = dir_ / "calls";
    std::optional<test::ScopedEnv> path_;
};

class SysVTest : public ServiceManagerTest {
  protected:
    SysVTest() { FakeTool("update-rc.d"); }
    ~SysVTest() override {
        // Whatever a failed test left running.
        std::ifstream in(pidFile_);
        pid_t pid = 0;
        if (in >> pid && pid > 0) {
            ::kill(pid, SIGKILL);
        }
    }

    std::unique_ptr<ServiceManager> manager_ = MakeSysVManager(root_);
    const std::string script_ = root_ + "/etc/init.d/kvZNPrint";
    const std::string pidFile_ = root_ + "/run/kvZNPrint.pid";
};

TEST_F(SysVTest, InstallWritesAnLsbScriptAndRegistersIt) {
    ASSERT_TRUE(manager_->Install(Definition()).ok());
    const std::string script = test::ReadFile(script_);
    EXPECT_EQ(Mode(script_), 0755);
    EXPECT_EQ(script.rfind("#!/bin/sh\n### BEGIN INIT INFO\n", 0), 0u) << script;
    EXPECT_TRUE(HasLine(script, "### END INIT INFO"));
    EXPECT_TRUE(HasLine(script, "# Provides: +kvZNPrint"));
    EXPECT_TRUE(HasLine(script, "# Required-Start: +\\$remote_fs \\$syslog \\$network"));
    EXPECT_TRUE(HasLine(script, "# Default-Start: +2 3 4 5"));
    EXPECT_TRUE(HasLine(script, "# Default-Stop: +0 1 6"));
    EXPECT_TRUE(HasLine(script, "# Short-Description: +Korvane/Tessel \\(Print\\) Monitor Server"));
    EXPECT_TRUE(HasLine(script, "# Description: +Watches the print server and raises alerts\\."));
    EXPECT_TRUE(
        HasLine(script, "\tstart-stop-daemon --stop --quiet --oknodo --retry TERM/90/KILL/5 \\\\"))
        << script;
    auto syntax = RunProcess({"sh", "-n", script_});
    ASSERT_TRUE(syntax.ok());
    EXPECT_EQ(syntax->exitCode, 0) << syntax->output;
    EXPECT_EQ(Calls(), std::vector<std::string>{"kvZNPrint defaults"});
    // Only the script: no temporary file is left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(root_ + "/etc/init.d"), {}), 1);

    ASSERT_TRUE(manager_->Remove("kvZNPrint").ok());
    EXPECT_FALSE(fs::exists(script_));
    EXPECT_EQ(Calls(), (std::vector<std::string>{"kvZNPrint defaults", "-f kvZNPrint remove"}));
    EXPECT_EQ(manager_->Remove("kvZNPrint").err(), ENOENT);
}

TEST_F(SysVTest, InstallRejectsDefinitionsThatCannotBeWrittenSafely) {
    const struct {
        const char* what;
        void (*change)(ServiceDefinition&);
    } cases[] = {
        {"path in the name", [](ServiceDefinition& d) { d.name = "../kvZNPrint"; }},
        {"option as name", [](ServiceDefinition& d) { d.name = "-f"; }},
        {"relative program", [](ServiceDefinition& d) { d.executable = "kvZNPrint"; }},
        {"line break", [](ServiceDefinition& d) { d.description = "one\n### END INIT INFO"; }},
        {"variable name", [](ServiceDefinition& d) { d.environment = {"1X=y"}; }},
        {"no value", [](ServiceDefinition& d) { d.environment = {"KVZN_HOME"}; }},
        {"no stop time", [](ServiceDefinition& d) { d.stopTimeout = std::chrono::seconds(0); }},
        {"stop time too long",
         [](ServiceDefinition& d) { d.stopTimeout = kMaxStopTimeout + std::chrono::seconds(1); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ServiceDefinition def = Definition();
        c.change(def);
        EXPECT_EQ(manager_->Install(def).err(), EINVAL);
    }
    EXPECT_FALSE(fs::exists(root_ + "/etc/init.d"));
    EXPECT_TRUE(Calls().empty());
}

TEST_F(SysVTest, LifecycleOfARealDaemon) {
    ServiceDefinition def = Definition();
    def.executable = "/bin/sleep";
    def.environment = {"KVZN_MARK=it's \"here\" $HOME"};
    WriteRootFile("/etc/default/kvZNPrint", "DAEMON_ARGS=60\n");
    ASSERT_TRUE(manager_->Install(def).ok());
    EXPECT_EQ(manager_->Query("kvZNPrint"), ServiceState::Stopped);

    const Status started = manager_->Start("kvZNPrint");
    ASSERT_TRUE(started.ok()) << started.Text();
    EXPECT_EQ(manager_->Query("kvZNPrint"), ServiceState::Running);
    const pid_t pid = std::stoi(test::ReadFile(pidFile_));
    EXPECT_TRUE(IsAlive(pid));
    const std::string environ = test::ReadFile("/proc/" + std::to_string(pid) + "/environ");
    EXPECT_NE(environ.find(std::string("KVZN_MARK=it's \"here\" $HOME") + '\0'), std::string::npos);
    // A second start leaves the one instance running.
    ASSERT_TRUE(manager_->Start("kvZNPrint").ok());
    EXPECT_EQ(std::stoi(test::ReadFile(pidFile_)), pid);

    const Status stopped = manager_->RequestStop("kvZNPrint");
    ASSERT_TRUE(stopped.ok()) << stopped.Text();
    EXPECT_FALSE(IsAlive(pid));
    EXPECT_FALSE(fs::exists(pidFile_));
    EXPECT_EQ(manager_->Query("kvZNPrint"), ServiceState::Stopped);
    EXPECT_EQ(manager_->RequestStop("kvZNPrint").err(), ESRCH);
}

TEST_F(SysVTest, StartFailsWhenTheProgramEndsAtOnce) {
    ServiceDefinition def = Definition();
    def.executable = "/bin/false";
    ASSERT_TRUE(manager_->Install(def).ok());
    EXPECT_FALSE(manager_->Start("kvZNPrint").ok());
    EXPECT_EQ(manager_->Query("kvZNPrint"), ServiceState::Stopped);
}

// Query, Start and RequestStop drive any init script through its exit codes.
TEST_F(SysVTest, ControlsAnyInitScript) {
    const std::string status = dir_ / "status";
    const std::string startExit = dir_ / "start-exit";
    WriteRootFile("/etc/init.d/other",
                  "#!/bin/sh\necho \"other $1\" >> " + Quoted(log_) +
                      "\ncase \"$1\" in\nstatus) exit $(cat " + Quoted(status) +
                      ") ;;\nstart) exit $(cat " + Quoted(startExit) + ") ;;\nesac\nexit 0\n",
                  0755);
    const struct {
        int exitCode;
        ServiceState state;
    } cases[] = {
        {0, ServiceState::Running}, {1, ServiceState::Stopped}, {2, ServiceState::Stopped},
        {3, ServiceState::Stopped}, {4, ServiceState::Unknown}, {150, ServiceState::Unknown},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.exitCode);
        test::WriteFile(status, std::to_string(c.exitCode));
        EXPECT_EQ(manager_->Query("other"), c.state);
    }

    test::WriteFile(startExit, "1");
    EXPECT_FALSE(manager_->Start("other").ok());
    test::WriteFile(startExit, "0");
    EXPECT_TRUE(manager_->Start("other").ok());

    test::WriteFile(status, "3");
    EXPECT_EQ(manager_->RequestStop("other").err(), ESRCH);
    EXPECT_EQ(LastCall(), "other status");
    test::WriteFile(status, "0");
    EXPECT_TRUE(manager_->RequestStop("other").ok());
    EXPECT_EQ(LastCall(), "other stop");

    EXPECT_EQ(manager_->Query("absent"), ServiceState::NotInstalled);
    EXPECT_EQ(manager_->Start("absent").err(), ENOENT);
    EXPECT_EQ(manager_->RequestStop("absent").err(), ENOENT);
}

class SystemdTest : public ServiceManagerTest {
  protected:
    SystemdTest() {
        FakeTool("systemctl", "[ \"$1\" = show ] && cat " + Quoted(state_) + "\nexit $(cat " +
                                  Quoted(exit_) + " 2>/dev/null || echo 0)\n");
    }
    void SetUnitState(const std::string& load, const std::string& active) {
        test::WriteFile(state_, "LoadState=" + load + "\nActiveState=" + active + "\n");
    }

    std::unique_ptr<ServiceManager> manager_ = MakeSystemdManager(root_);
    const std::string unit_ = root_ + "/etc/systemd/system/kvZNPrint.service";
    const std::string state_ = dir_ / "state";
    const std::string exit_ = dir_ / "exit";
};

TEST_F(SystemdTest, InstallWritesANotifyUnitAndEnablesIt) {
    ServiceDefinition def = Definition();
    def.environment = {"KVZN_HOME=/var/lib/kvzn", "KVZN_NOTE=50% \"quoted\""};
    ASSERT_TRUE(manager_->Install(def).ok());
    const std::string unit = test::ReadFile(unit_);
    EXPECT_EQ(Mode(unit_), 0644);
    for (const char* line : {
             "Description=Korvane/Tessel \\(Print\\) Monitor Server",
             "Type=notify",
             "ExecStart=/usr/sbin/kvZNPrint",
             "Environment=\"KVZN_HOME=/var/lib/kvzn\"",
             "Environment=\"KVZN_NOTE=50%% \\\\\"quoted\\\\\"\"",
             "Restart=no",
             "NotifyAccess=main",
             "KillMode=process",
             "TimeoutStopSec=90",
             "WantedBy=multi-user.target",
         }) {
        EXPECT_TRUE(HasLine(unit, line)) << line << " missing in\n" << unit;
    }
    EXPECT_EQ(Calls(), std::vector<std::string>{"--root=" + root_ + " enable kvZNPrint"});

    ASSERT_TRUE(manager_->Remove("kvZNPrint").ok());
    EXPECT_FALSE(fs::exists(unit_));
    EXPECT_EQ(LastCall(), "--root=" + root_ + " disable kvZNPrint");
    EXPECT_EQ(manager_->Remove("kvZNPrint").err(), ENOENT);
}

// systemd's own parser reads the unit without a complaint, quotes and '%' included.
TEST_F(SystemdTest, UnitPassesSystemdVerification) {
    if (!fs::exists("/usr/bin/systemd-analyze")) {
        GTEST_SKIP() << "systemd-analyze is not installed";
    }
    ServiceDefinition def = Definition();
    def.executable = "/bin/sleep";  // verify wants a program that exists
    def.displayName = "Monitor at 100% \\ \"now\"";
    def.environment = {"KVZN_NOTE=50% \"quoted\" \\ $HOME 'single'", "KVZN_EMPTY="};
    ASSERT_TRUE(manager_->Install(def).ok());
    auto verify = RunProcess({"/usr/bin/systemd-analyze", "verify", "--man=no", unit_});
    ASSERT_TRUE(verify.ok()) << verify.status().Text();
    EXPECT_EQ(verify->exitCode, 0);
    EXPECT_EQ(verify->output, "");
}

TEST_F(SystemdTest, InstallRejectsInvalidEnvironmentNamesAndStopTimes) {
    ServiceDefinition badVariable = Definition();
    badVariable.environment = {"1BAD=x"};
    ServiceDefinition badName = Definition();
    badName.name = "kvZNPrint/../../x";
    ServiceDefinition badStop = Definition();
    badStop.stopTimeout = kMaxStopTimeout + std::chrono::seconds(1);
    EXPECT_EQ(manager_->Install(badVariable).err(), EINVAL);
    EXPECT_EQ(manager_->Install(badName).err(), EINVAL);
    EXPECT_EQ(manager_->Install(badStop).err(), EINVAL);
    EXPECT_FALSE(fs::exists(root_ + "/etc"));
    EXPECT_TRUE(Calls().empty());
}

TEST_F(SystemdTest, FailedEnableIsAnError) {
    test::WriteFile(exit_, "1");
    const Status status = manager_->Install(Definition());
    EXPECT_FALSE(status.ok());
    EXPECT_NE(status.Text().find("enable kvZNPrint"), std::string::npos) << status.Text();
}

TEST_F(SystemdTest, QueryMapsUnitStates) {
    const struct {
        const char* load;
        const char* active;
        ServiceState state;
    } cases[] = {
        {"not-found", "inactive", ServiceState::NotInstalled},
        {"loaded", "active", ServiceState::Running},
        {"loaded", "activating", ServiceState::StartPending},
        {"loaded", "deactivating", ServiceState::StopPending},
        {"loaded", "inactive", ServiceState::Stopped},
        {"loaded", "failed", ServiceState::Stopped},
        {"loaded", "maintenance", ServiceState::Unknown},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.load) + "/" + c.active);
        SetUnitState(c.load, c.active);
        EXPECT_EQ(manager_->Query("cups"), c.state);
    }
    EXPECT_EQ(LastCall(), "show -p LoadState -p ActiveState cups");
    SetUnitState("loaded", "active");
    // systemctl failing (no bus, no systemd) is not a state of the unit.
    test::WriteFile(exit_, "1");
    EXPECT_EQ(manager_->Query("cups"), ServiceState::ManagerUnreachable);
}

TEST_F(SystemdTest, StartAndStopGoThroughSystemctl) {
    ASSERT_TRUE(manager_->Start("cups").ok());
    EXPECT_EQ(LastCall(), "start cups");

    SetUnitState("loaded", "inactive");
    EXPECT_EQ(manager_->RequestStop("cups").err(), ESRCH);
    SetUnitState("loaded", "deactivating");
    EXPECT_EQ(manager_->RequestStop("cups").err(), EALREADY);
    SetUnitState("not-found", "inactive");
    EXPECT_EQ(manager_->RequestStop("cups").err(), ENOENT);
    for (const auto& call : Calls()) {
        EXPECT_EQ(call.find("stop"), std::string::npos) << call;
    }

    SetUnitState("loaded", "active");
    ASSERT_TRUE(manager_->RequestStop("cups").ok());
    EXPECT_EQ(LastCall(), "stop --no-block cups");
}

TEST(MakeServiceManagerTest, PicksSystemdExactlyWhenItRuns) {
    test::TempDir root;
    EXPECT_EQ(MakeServiceManager(root.path())->Kind(), "sysv");
    fs::create_directories(root / "run/systemd");
    test::WriteFile(root / "run/systemd/system", "");
    EXPECT_EQ(MakeServiceManager(root.path())->Kind(), "sysv");
    fs::remove(root / "run/systemd/system");
    fs::create_directories(root / "run/systemd/system");
    EXPECT_EQ(MakeServiceManager(root.path())->Kind(), "systemd");
}

}  // namespace
}  // namespace kvzn::platform
