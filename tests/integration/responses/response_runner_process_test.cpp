// The response runner with real processes: commands with macros and hostile values, scripts,
// time-outs, the stop event, and service starts through SysV init scripts in a private root.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "alerting/dispatcher.h"
#include "integration/platform/sleeping_service.h"
#include "platform/fake/fake_system_restart.h"
#include "platform/process.h"
#include "platform/profile_file.h"
#include "platform/service_manager.h"
#include "responses/response_runner.h"
#include "support/service_fixture.h"

namespace kvzn::responses {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// The state letter of /proc/<pid>/stat ('Z' for a zombie), 0 once the process is reaped.
char ProcessState(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!std::getline(in, stat)) {
        return 0;
    }
    const size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() ? stat[paren + 2] : 0;
}

class ResponseProcessTest : public ::testing::Test, protected test::ServiceFixture {
  protected:
    ResponseProcessTest() {
        context.restarter = &restarter;
        context.SetComponentStatusSink([this](int, std::string_view text) {
            std::scoped_lock lock(linesMutex);
            lines.emplace_back(text);
        });
    }
    ~ResponseProcessTest() override {
        // Nothing started here may outlive the test.
        EXPECT_TRUE(test::WaitUntil([] { return platform::ProcessesAwaitingReaper() == 0; }, 10s));
    }

    unsigned Run(uint32_t code, const std::string& command, std::string& description,
                 std::optional<std::string> document = std::nullopt) {
        return RunSpecifiedActions(context, alerting::kCategoryPrintServer, 8, code, "Spool Check",
                                   "Printer HP 4050 is jammed", 0, command, "HP 4050", document,
                                   std::nullopt, description);
    }
    std::string Key(uint32_t slot, const char* key) {
        return platform::GetProfileString(alerting::kRecordSection, key, "<none>",
                                          alerting::Alerts(context).store.RecordPath(slot));
    }
    bool HasLine(const std::string& line) {
        std::scoped_lock lock(linesMutex);
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    std::string Home(const std::string& name) const { return dir / name; }

    platform::FakeSystemRestarter restarter;
    std::mutex linesMutex;
    std::vector<std::string> lines;
};

TEST_F(ResponseProcessTest, CommandRunsWithItsMacrosExpandedInHome) {
    const std::string command =
        "printf '%s|%s|%s' <$$TEST> <$$PRINTER> \"<$$ALERTLEVEL>\" > macro.out; "
        "printf '%s|%s|%s|%s' \"$KVZN_TITLE\" \"$KVZN_SERVER\" \"$KVZN_ALERTLEVEL\" "
        "\"$KVZN_ERROR\" > env.out";
    std::string description;
    ASSERT_EQ(Run(kResponseCommand, command, description), kResponseStarted);
    EXPECT_EQ(test::ReadFile(Home("macro.out")), "Spool Check|HP 4050|4");
    EXPECT_EQ(test::ReadFile(Home("env.out")), "Spool Check|PRINTSRV|4|Printer HP 4050 is jammed");
    EXPECT_EQ(description, "The Korvane/Tessel Monitor automatically initiated the command " +
                               command + " in response to the error");
    EXPECT_TRUE(HasLine(
        "Running the command /bin/sh -c printf '%s|%s|%s' 'Spool Check' 'HP 4050' \"4\" > "
        "macro.out; printf '%s|%s|%s|%s' \"$KVZN_TITLE\" \"$KVZN_SERVER\" \"$KVZN_ALERTLEVEL\" "
        "\"$KVZN_ERROR\" > env.out"));
    EXPECT_EQ(RecordedAlerts(), 0u);
}

// A document name is whatever the printing client sent. In every place of a command it is
// one plain word: nothing in it runs, and it arrives as it was sent.
TEST_F(ResponseProcessTest, HostileDocumentNamesArriveVerbatimInEveryPlace) {
    const std::string command =
        ": \"$(<$$DOCUMENT> 2>/dev/null)\" \"`<$$DOCUMENT> 2>/dev/null`\"; "
        "printf '%s\\n' <$$DOCUMENT> \"<$$DOCUMENT>\" '<$$DOCUMENT>' "
        "\"$(printf '%s' <$$DOCUMENT>)\" \"$(printf '%s' \"<$$DOCUMENT>\")\" "
        "\"`printf '%s' <$$DOCUMENT>`\" \"`printf '%s' '<$$DOCUMENT>'`\" "
        "\"$KVZN_INFO2\" > doc.out";
    for (const std::string document :
         {"x\"; touch PWNED #", "$(touch PWNED)", "`touch PWNED`", "\\`touch PWNED\\`",
          "it's'; touch PWNED; '", "a;touch PWNED", ")\"; touch PWNED; : \"(", "line\ntouch PWNED",
          "touch PWNED", "../../x/$HOME\\"}) {
        SCOPED_TRACE(document);
        std::string description;
        ASSERT_EQ(Run(kResponseCommand, command, description, document), kResponseStarted);
        EXPECT_FALSE(fs::exists(Home("PWNED")));
        std::string expected;
        for (int i = 0; i < 8; ++i) {
            expected += document + "\n";
        }
        EXPECT_EQ(test::ReadFile(Home("doc.out")), expected);
    }
}

// A value in the path of a script may name a file, never another directory.
TEST_F(ResponseProcessTest, ScriptPathValuesCannotLeaveTheirDirectory) {
    fs::create_directories(Home("scripts"));
    test::WriteFile(Home("scripts/HP 4050.sh"), "echo ran > ran.out\n", 0644);
    test::WriteFile(Home("evil.sh"), "touch PWNED\n", 0644);
    const std::string command = "scripts/<$$DOCUMENT>.sh";
    std::string description;
    ASSERT_EQ(Run(kResponseScript, command, description, "HP 4050"), kResponseStarted);
    EXPECT_EQ(test::ReadFile(Home("ran.out")), "ran\n");

    test::LogCapture log;
    const std::pair<std::string, std::string> refused[] = {
        {command, "../evil"},
        {"<$$DOCUMENT>.sh", Home("evil")},
        {"scripts/<$$DOCUMENT>/evil.sh", ".."},
        {"scripts/.<$$DOCUMENT>/evil.sh", "."},  // "scripts/../evil.sh" with the text around it
    };
    for (const auto& [script, document] : refused) {
        SCOPED_TRACE(document);
        description = "untouched";
        EXPECT_EQ(Run(kResponseScript, script, description, document), kRunnerAlerted);
        EXPECT_EQ(description, "untouched");
        EXPECT_TRUE(log.Contains("The value " + document + " of a macro in the script path " +
                                     script + " would leave its directory",
                                 "kvZNShared"));
    }
    EXPECT_FALSE(fs::exists(Home("PWNED")));
    ASSERT_EQ(RecordedAlerts(), 4u);
    EXPECT_EQ(Key(1, "ErrorTitle"), "Monitor/Configuration Error");
    EXPECT_EQ(Key(1, "Message"),
              "Tessel Configuration Error. The Korvane/Tessel Monitor was unable to take automatic "
              "action for the check Spool Check because the command or script " +
                  command + " could not be run. The return code was " + std::to_string(EINVAL));
}

TEST_F(ResponseProcessTest, ScriptRunsThroughItsOwnOrTheConfiguredInterpreter) {
    test::WriteFile(Home("own.sh"), "#!/bin/sh\nprintf '%s|%s' \"$0\" \"$KVZN_INFO1\" > own.out\n",
                    0755);
    std::string description;
    ASSERT_EQ(Run(kResponseScript, Home("own.sh"), description), kResponseStarted);
    EXPECT_EQ(test::ReadFile(Home("own.out")), Home("own.sh") + "|HP 4050");
    EXPECT_TRUE(HasLine("Running the command " + Home("own.sh")));

    // Not executable: the default interpreter; a relative name is looked up in Home.
    test::WriteFile(Home("plain.vbs"), "printf '%s' \"$0\" > plain.out\n", 0644);
    ASSERT_EQ(Run(kResponseScript, "plain.vbs", description), kResponseStarted);
    EXPECT_EQ(test::ReadFile(Home("plain.out")), Home("plain.vbs"));
    EXPECT_TRUE(HasLine("Running the command /bin/sh " + Home("plain.vbs")));

    // Executable without "#!": the configured interpreter.
    test::WriteFile(Home("interp"), "#!/bin/sh\necho \"$@\" > interp.out\nexec /bin/sh \"$@\"\n",
                    0755);
    registry.WriteText(config::kProductKey, "ScriptInterpreter", Home("interp"));
    test::WriteFile(Home("bare.sh"), "echo bare > bare.out\n", 0755);
    ASSERT_EQ(Run(kResponseScript, Home("bare.sh"), description), kResponseStarted);
    EXPECT_EQ(test::ReadFile(Home("interp.out")), Home("bare.sh") + "\n");
    EXPECT_EQ(test::ReadFile(Home("bare.out")), "bare\n");
    EXPECT_EQ(RecordedAlerts(), 0u);
}

TEST_F(ResponseProcessTest, ScriptOrProgramThatCannotStartRaisesAnAlert) {
    std::string description = "untouched";
    EXPECT_EQ(Run(kResponseScript, "missing.vbs", description), kRunnerAlerted);
    context.home = Home("no-such-home");
    EXPECT_EQ(Run(kResponseCommand, "true <$$TEST>", description), kRunnerAlerted);
    EXPECT_EQ(description, "untouched");
    ASSERT_EQ(RecordedAlerts(), 2u);
    EXPECT_EQ(Key(1, "ErrorTitle"), "Monitor/Configuration Error");
    EXPECT_EQ(Key(1, "AdditionalInfo2"), std::to_string(ENOENT));
    EXPECT_EQ(
        Key(1, "Message"),
        "Tessel Configuration Error. The Korvane/Tessel Monitor was unable to take automatic "
        "action for the check Spool Check because the command or script missing.vbs could not "
        "be run. The return code was " +
            std::to_string(ENOENT));
    EXPECT_NE(Key(2, "Message").find("the command or script true <$$TEST> could not be run"),
              std::string::npos)
        << Key(2, "Message");
}

TEST_F(ResponseProcessTest, CommandOutlivingTheTimeOutRaisesTimedOutAndIsReapedLater) {
    registry.WriteNumber(config::kProductKey, config::value::kActionTimeout, 1);
    const std::string command = "echo $$ > pid; sleep 3 # <$$TEST>";
    std::string description = "untouched";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Run(kResponseCommand, command, description), kRunnerAlerted);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(description, "untouched");
    ASSERT_EQ(RecordedAlerts(), 1u);
    EXPECT_EQ(Key(1, "ErrorTitle"), "Monitor/Configuration Error");
    EXPECT_EQ(Key(1, "AdditionalInfo1"), "Spool Check");
    EXPECT_EQ(Key(1, "AdditionalInfo2"), "Timed Out");
    EXPECT_EQ(Key(1, "Message"),
              "Tessel Configuration Error. The Korvane/Tessel Monitor was unable to take automatic "
              "action for the check Spool Check because the command " +
                  command + " timed out");
    EXPECT_TRUE(HasLine("Waiting for command to complete. Timeout will be after 1 seconds"));

    const int pid = std::stoi(test::ReadFile(Home("pid")));
    const char state = ProcessState(pid);
    EXPECT_TRUE(state != 0 && state != 'Z') << "state " << state;
    EXPECT_TRUE(test::WaitUntil([&] { return ProcessState(pid) == 0; }, 6s))
        << "state " << ProcessState(pid);
}

TEST_F(ResponseProcessTest, StopEventEndsTheWaitWithoutAnAlert) {
    std::thread stopper([this] {
        std::this_thread::sleep_for(200ms);
        context.stopEvent.Set();
    });
    std::string description = "untouched";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Run(kResponseCommand, "sleep 2", description), kRunnerAlerted);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
    stopper.join();
    EXPECT_EQ(description, "untouched");
    EXPECT_EQ(RecordedAlerts(), 0u);
}

// A SysV init script for a /bin/sleep daemon, installed in a private root under the unit
// name that the alias table gives "Spooler".
class ServiceResponseTest : public ResponseProcessTest {
  protected:
    ServiceResponseTest() { context.serviceManager = service_.manager.get(); }

    test::SleepingSysVService service_{dir.path()};
};

TEST_F(ServiceResponseTest, StartsTheStoppedServiceForReal) {
    ASSERT_TRUE(service_.installed.ok()) << service_.installed.Text();
    ASSERT_EQ(service_.manager->Query("cups"), platform::ServiceState::Stopped);
    std::string description;
    EXPECT_EQ(Run(kResponseRestartService, "Spooler", description), kResponseStarted);
    EXPECT_EQ(description, "The Korvane/Tessel Monitor automatically initiated a service restart");
    EXPECT_EQ(service_.manager->Query("cups"), platform::ServiceState::Running);
    EXPECT_TRUE(HasLine("The service Spooler is being restarted"));
    EXPECT_EQ(RecordedAlerts(), 0u);
}

TEST_F(ServiceResponseTest, MissingServiceIsLoggedAndAlerted) {
    test::LogCapture log;
    std::string description = "untouched";
    EXPECT_EQ(Run(kResponseRestartService, "NoSuchService", description), kRunnerAlerted);
    EXPECT_EQ(description, "untouched");
    EXPECT_TRUE(log.Contains("Unable to open the service NoSuchService", "kvZNShared"));
    ASSERT_EQ(RecordedAlerts(), 1u);
    EXPECT_EQ(Key(1, "ErrorTitle"), "Service Restart");
    EXPECT_EQ(Key(1, "AdditionalInfo2"), std::to_string(ENOENT));
    EXPECT_EQ(Key(1, "Message"),
              "The Korvane/Tessel Monitor was unable to restart the service in response to the "
              "failure of check Spool Check. The return code was " +
                  std::to_string(ENOENT));
}

}  // namespace
}  // namespace kvzn::responses
