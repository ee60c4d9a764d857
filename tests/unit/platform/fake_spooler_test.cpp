// Tests of the in-memory spooler that the print monitor's unit tests script.
#include "platform/fake/fake_spooler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace kvzn::platform {
namespace {

class FakeSpoolerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        spooler_.SetPrinter({.name = "QA", .deviceUri = "socket://a"});
        spooler_.SetPrinter({.name = "QB", .deviceUri = "file:///dev/null"});
        a1_ = spooler_.AddJob({.printer = "QA", .document = "one"});
        a2_ = spooler_.AddJob({.printer = "qa", .document = "two"});
        b1_ = spooler_.AddJob({.printer = "QB", .document = "three"});
    }
    const PrinterQueue& Queue(const std::string& name) {
        auto snapshot = spooler_.Snapshot();
        EXPECT_TRUE(snapshot.ok());
        snapshot_ = *snapshot;
        return *snapshot_.Find(name);
    }

    FakeSpooler spooler_;
    SpoolerSnapshot snapshot_;
    int a1_ = 0, a2_ = 0, b1_ = 0;
};

TEST_F(FakeSpoolerTest, SnapshotNumbersJobsPerQueue) {
    EXPECT_EQ(spooler_.AddJob({.printer = "nope"}), 0);
    const PrinterQueue& qa = Queue("QA");
    ASSERT_EQ(qa.jobs.size(), 2u);
    EXPECT_EQ(qa.printer.jobCount, 2);
    EXPECT_EQ(qa.jobs[1].id, a2_);
    EXPECT_EQ(qa.jobs[1].printer, "QA");
    EXPECT_EQ(qa.jobs[1].position, 2);
}

TEST_F(FakeSpoolerTest, OperationsChangeStateAndAreRecorded) {
    ASSERT_TRUE(spooler_.PausePrinter("QA").ok());
    ASSERT_TRUE(spooler_.SetOffline("QA").ok());
    EXPECT_EQ(Queue("QA").printer.status, kPrinterPaused);
    EXPECT_EQ(Queue("QA").printer.attributes, kPrinterAttributeWorkOffline);
    ASSERT_TRUE(spooler_.ResumePrinter("QA").ok());
    EXPECT_EQ(Queue("QA").printer.status, 0u);
    EXPECT_TRUE(Queue("QA").printer.reasons.empty());

    ASSERT_TRUE(spooler_.PauseJob("QA", a1_).ok());
    EXPECT_EQ(Queue("QA").jobs[0].status, kJobPaused);
    ASSERT_TRUE(spooler_.ResumeJob("QA", a1_).ok());
    EXPECT_EQ(spooler_.ResumeJob("QA", a1_).err(), EPERM) << "not held any more";
    ASSERT_TRUE(spooler_.DeleteJob("QA", a1_).ok());
    EXPECT_EQ(Queue("QA").jobs[0].id, a2_);

    EXPECT_EQ(spooler_.DeleteJob("QA", b1_).err(), ENOENT) << "job of another printer";
    EXPECT_EQ(Queue("QB").jobs.size(), 1u);
    ASSERT_TRUE(spooler_.PurgeJobs("QB").ok());
    EXPECT_TRUE(Queue("QB").jobs.empty());

    const std::vector<std::string> calls = spooler_.Calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[0], "PausePrinter QA");
    EXPECT_NE(std::find(calls.begin(), calls.end(), "DeleteJob QA " + std::to_string(b1_)),
              calls.end());
}

TEST_F(FakeSpoolerTest, RedirectOnlyToOfferedPorts) {
    spooler_.SetDiscoveredPorts({"usb://found", "socket", "socket://a"});
    auto ports = spooler_.ListPorts();
    ASSERT_TRUE(ports.ok());
    EXPECT_EQ(*ports, (std::vector<std::string>{"socket://a", "usb://found"}));

    EXPECT_EQ(spooler_.Redirect("QA", "file:///dev/null").err(), EINVAL);
    EXPECT_EQ(spooler_.Redirect("QA", "socket://elsewhere").err(), EINVAL);
    ASSERT_TRUE(spooler_.Redirect("QB", "usb://found").ok());
    EXPECT_EQ(Queue("QB").printer.deviceUri, "usb://found");
}

TEST_F(FakeSpoolerTest, ScriptedFailuresChangeNothing) {
    spooler_.SetFailure("PausePrinter", Status::Error(EACCES, "denied"));
    EXPECT_EQ(spooler_.PausePrinter("QA").err(), EACCES);
    EXPECT_EQ(Queue("QA").printer.status, 0u);

    spooler_.SetFailure("*", Status::Error(ETIMEDOUT, "hung"));
    EXPECT_EQ(spooler_.Snapshot().status().err(), ETIMEDOUT);
    EXPECT_EQ(spooler_.DeleteJob("QA", a1_).err(), ETIMEDOUT);
    spooler_.ClearFailures();
    EXPECT_EQ(Queue("QA").jobs.size(), 2u);
}

}  // namespace
}  // namespace kvzn::platform
