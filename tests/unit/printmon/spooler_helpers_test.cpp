// The spooler helpers over the in-memory spooler: which spooler call each command makes,
// the log records of failures, and the port select box.
#include "printmon/spooler_helpers.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "platform/fake/fake_spooler.h"
#include "support/service_fixture.h"

namespace kvzn::printmon {
namespace {

class SpoolerHelpersTest : public ::testing::Test, protected test::ServiceFixture {
  protected:
    SpoolerHelpersTest() {
        spooler.SetPrinter({.name = "Laser1", .deviceUri = "socket://laser1"});
        job = spooler.AddJob({.printer = "Laser1", .document = "Report.doc"});
    }
    platform::FakeSpooler spooler;
    int job = 0;
};

TEST_F(SpoolerHelpersTest, CommandsMapToSpoolerCalls) {
    struct Case {
        int command;
        int status;
        const char* call;  // nullptr: refused without a call
    };
    for (const Case& c : std::vector<Case>{{1, 0, "PausePrinter Laser1"},
                                           {2, 0, "ResumePrinter Laser1"},
                                           {3, 0, "PurgeJobs Laser1"},
                                           {0, 1, "SetOffline Laser1"},
                                           {0, 2, "SetOnline Laser1"},
                                           {0, 0, nullptr},
                                           {4, 0, nullptr}}) {
        SCOPED_TRACE(std::to_string(c.command) + "/" + std::to_string(c.status));
        spooler.ClearCalls();
        EXPECT_EQ(ChangePrinter(context, spooler, "Laser1", c.command, c.status) != 0,
                  c.call != nullptr);
        EXPECT_EQ(spooler.Calls(),
                  c.call ? std::vector<std::string>{c.call} : std::vector<std::string>{});
    }

    // The purge above took the fixture's job.
    job = spooler.AddJob({.printer = "Laser1", .document = "Report.doc"});
    const int other = spooler.AddJob({.printer = "Laser1", .document = "Other.doc"});
    for (const auto& [command, method] : std::vector<std::pair<int, std::string>>{
             {1, "PauseJob"}, {2, "ResumeJob"}, {4, "RestartJob"}, {5, "DeleteJob"}}) {
        spooler.ClearCalls();
        EXPECT_NE(ChangePrintJob(context, spooler, "Laser1", "Report.doc", job, command), 0)
            << method;
        EXPECT_EQ(spooler.Calls(),
                  std::vector<std::string>{method + " Laser1 " + std::to_string(job)});
    }
    EXPECT_EQ(ChangePrintJob(context, spooler, "Laser1", "Other.doc", other, 3), 0);
}

TEST_F(SpoolerHelpersTest, FailuresAreLoggedWithPrinterAndErrorCode) {
    test::LogCapture log;
    EXPECT_EQ(ChangePrinter(context, spooler, "Missing", 1, 0), 0);
    EXPECT_TRUE(log.Contains("Unable to open the printer Missing. Error 2", "kvZNPrintHTML"));

    spooler.SetFailure("SetOffline", platform::Status::Error(ETIMEDOUT, "no answer"));
    EXPECT_EQ(ChangePrinter(context, spooler, "Laser1", 0, 1), 0);
    EXPECT_TRUE(log.Contains("Unable to retrieve printer information for printer Laser1. Error " +
                             std::to_string(ETIMEDOUT)));

    EXPECT_EQ(RedirectPrinter(context, spooler, "Laser1", "file:///etc/passwd"), 0);
    EXPECT_TRUE(log.Contains("Unable to set new printer information for printer Laser1. Error 22",
                             "kvZNPrintHTML"));

    EXPECT_EQ(ChangePrintJob(context, spooler, "Laser1", "Gone.doc", job + 100, 5), 0);
    EXPECT_TRUE(log.Contains("Unable to delete the document Gone.doc (job " +
                             std::to_string(job + 100) + ") on printer Laser1. Error 2"));
}

TEST_F(SpoolerHelpersTest, PortListOffersEscapedPortsAndMarksTheChosenOne) {
    spooler.SetPrinter({.name = "Laser2", .deviceUri = "file:///dev/null"});
    spooler.SetDiscoveredPorts({"socket://a?x=1&y=\"2\""});

    std::ostringstream none;
    OutputPortList(none, spooler, "");
    EXPECT_EQ(none.str(),
              "<select name=\"Port\" size=\"1\">\n"
              "<option value=\"------ Please select a port ------\" selected>------ Please select "
              "a port ------</option>\n"
              "<option value=\"socket://laser1\">socket://laser1</option>\n"
              "<option value=\"socket://a?x=1&amp;y=&quot;2&quot;\">socket://a?x=1&amp;y=&quot;"
              "2&quot;</option>\n"
              "</select>\n");

    std::ostringstream chosen;
    OutputPortList(chosen, spooler, "socket://laser1");
    EXPECT_NE(chosen.str().find("<option value=\"socket://laser1\" selected>"), std::string::npos);
    EXPECT_EQ(chosen.str().find("port ------\" selected"), std::string::npos);

    // The placeholder sent back by the page stays selected.
    std::ostringstream placeholder;
    OutputPortList(placeholder, spooler, "------ Please select a port ------");
    EXPECT_NE(placeholder.str().find("port ------\" selected"), std::string::npos);

    // Without the port list only the placeholder is offered.
    spooler.SetFailure("ListPorts", platform::Status::Error(ECONNREFUSED, "down"));
    std::ostringstream failed;
    OutputPortList(failed, spooler, "");
    EXPECT_EQ(failed.str().find("socket://"), std::string::npos);
    EXPECT_NE(failed.str().find("</select>"), std::string::npos);
}

}  // namespace
}  // namespace kvzn::printmon
