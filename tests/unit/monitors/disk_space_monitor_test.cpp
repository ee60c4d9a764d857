// The disk space monitor: schedules, drive names, the bounded space query and the check
// run with its thresholds, responses and alerts.
#include "monitors/disk_space_monitor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <thread>

#include "alerting/alert_record.h"
#include "support/service_fixture.h"

namespace kvzn::monitors {
namespace {

// Schedules are in local time; the cases are written for UTC.
class UtcZone : public ::testing::Test {
  protected:
    void SetUp() override { tzset(); }
    void TearDown() override {
        utc_.reset();
        tzset();
    }

  private:
    std::unique_ptr<test::ScopedEnv> utc_ = std::make_unique<test::ScopedEnv>("TZ", "UTC");
};

constexpr std::time_t kThursday = 1767225600;  // 2026-01-01 00:00:00 UTC, a Thursday

std::time_t At(int day, int hour, int minute) {
    return kThursday + (day - 1) * 86400 + hour * 3600 + minute * 60;
}

using ScheduleTest = UtcZone;

TEST_F(ScheduleTest, FirstAndLaterRunsOfEachScanType) {
    struct Case {
        const char* what;
        uint32_t scanType;
        const char* scanTime;
        std::time_t start;
        std::time_t first;
        std::time_t second;
    };
    const Case cases[] = {
        {"interval: at once, then every interval", 0, "", At(1, 10, 20), At(1, 10, 20),
         At(1, 11, 20)},
        {"hourly at :15 from 10:20", 1, "00:15", At(1, 10, 20), At(1, 11, 15), At(1, 12, 15)},
        {"hourly at :15 from 10:15 runs at once", 1, "00:15", At(1, 10, 15), At(1, 10, 15),
         At(1, 11, 15)},
        {"daily 02:30 from 01:00", 2, "02:30", At(1, 1, 0), At(1, 2, 30), At(2, 2, 30)},
        {"daily 02:30 from 03:00", 2, "02:30", At(1, 3, 0), At(2, 2, 30), At(3, 2, 30)},
        {"daily 02:30 from 02:30 runs at once", 2, "02:30", At(1, 2, 30), At(1, 2, 30),
         At(2, 2, 30)},
        {"Mondays 08:00 from a Thursday", 3, "08:00", At(1, 9, 0), At(5, 8, 0), At(12, 8, 0)},
        {"Thursdays 08:00 from a Thursday at 07:00", 6, "08:00", At(1, 7, 0), At(1, 8, 0),
         At(8, 8, 0)},
        {"Thursdays 08:00 from a Thursday at 09:00", 6, "08:00", At(1, 9, 0), At(8, 8, 0),
         At(15, 8, 0)},
        {"Sundays from a Sunday wait a week", 9, "08:00", At(4, 7, 0), At(11, 8, 0), At(18, 8, 0)},
    };
    for (const Case& c : cases) {
        DiskCheck check;
        check.scanType = c.scanType;
        check.scanTime = c.scanTime;
        ComputeNextRunTime(check, 60, c.start);
        EXPECT_EQ(check.nextRun, c.first) << c.what;
        ComputeNextRunTime(check, 60, check.nextRun);
        EXPECT_EQ(check.nextRun, c.second) << c.what;
    }
}

TEST(DriveRootTest, PathsLettersAndTheRest) {
    EXPECT_EQ(DriveRoot("/var/spool/cups"), "/var/spool/cups");
    EXPECT_EQ(DriveRoot("C"), "/");
    EXPECT_EQ(DriveRoot("c:"), "/");
    EXPECT_EQ(DriveRoot("C:\\"), "/");
    EXPECT_EQ(DriveRoot("D:"), "");
    EXPECT_EQ(DriveRoot("C:\\Windows"), "");
    EXPECT_EQ(DriveRoot(""), "");
}

TEST(DiskSpaceProbeTest, AHungQueryIsLeftBehindAndHoldsOneThreadAtMost) {
    std::mutex mutex;
    std::condition_variable cv;
    bool release = false;
    std::atomic<int> calls{0};
    platform::DiskSpaceProbe probe(std::chrono::milliseconds(50),
                                   [&](const std::string& path, platform::DiskSpace& out) {
                                       ++calls;
                                       if (path == "/dead") {
                                           std::unique_lock lock(mutex);
                                           cv.wait(lock, [&] { return release; });
                                       }
                                       out.totalBytes = 100;
                                       out.freeBytes = 40;
                                       return platform::Status::Ok();
                                   });
    const auto started = std::chrono::steady_clock::now();
    platform::Result<platform::DiskSpace> dead = probe.Query("/dead");
    ASSERT_FALSE(dead.ok());
    EXPECT_EQ(dead.status().err(), ETIMEDOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    EXPECT_EQ(probe.Query("/dead").status().err(), ETIMEDOUT);
    EXPECT_EQ(calls.load(), 1) << "no second thread for the hung mount";
    EXPECT_EQ(probe.Pending(), 1u);
    platform::Result<platform::DiskSpace> other = probe.Query("/");
    ASSERT_TRUE(other.ok()) << "other mounts are not held up";
    EXPECT_EQ(other->freeBytes, 40u);

    {
        std::scoped_lock lock(mutex);
        release = true;
    }
    cv.notify_all();
    for (int i = 0; i < 200 && probe.Pending() != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(probe.Pending(), 0u);
    EXPECT_TRUE(probe.Query("/dead").ok()) << "asked again once the old query returned";
}

TEST(DiskSpaceProbeTest, ConcurrentQueriesOfOnePathShareOneAnswer) {
    std::atomic<int> calls{0};
    platform::DiskSpaceProbe probe(std::chrono::seconds(5),
                                   [&](const std::string&, platform::DiskSpace& out) {
                                       ++calls;
                                       std::this_thread::sleep_for(std::chrono::milliseconds(200));
                                       out.totalBytes = 100;
                                       out.freeBytes = 10;
                                       return platform::Status::Ok();
                                   });
    // The page and the monitor asking at the same time both get the space, never a
    // "cannot be determined" for the one that came second.
    platform::Result<platform::DiskSpace> first = platform::Status::Error(EINVAL, "not run");
    std::thread page([&] { first = probe.Query("/srv"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const platform::Result<platform::DiskSpace> second = probe.Query("/srv");
    page.join();
    ASSERT_TRUE(first.ok()) << first.status().Text();
    ASSERT_TRUE(second.ok()) << second.status().Text();
    EXPECT_EQ(second->freeBytes, 10u);
    EXPECT_EQ(calls.load(), 1);
}

class DiskCheckTest : public UtcZone, public test::ServiceFixture {
  protected:
    // "/" reports what `freeMb` and `totalMb` say.
    DiskSources Sources() {
        DiskSources sources;
        sources.query = [this](const std::string&, platform::DiskSpace& out) {
            const int n = ++queries;
            const int64_t free = freedFrom != 0 && n >= freedFrom ? 5000 : freeMb.load();
            out.freeBytes = static_cast<uint64_t>(free) * 1024 * 1024 + 1000;
            out.totalBytes = static_cast<uint64_t>(totalMb.load()) * 1024 * 1024;
            return platform::Status::Ok();
        };
        return sources;
    }
    alerting::AlertRecord Alert(uint32_t slot) {
        auto record = alerting::AlertRecord::Load(Alerts().store.RecordPath(slot));
        EXPECT_TRUE(record.ok()) << "alert " << slot;
        return record.ok() ? *record : alerting::AlertRecord{};
    }
    static DiskCheck Check(const char* drive, uint32_t mb, uint32_t percent) {
        DiskCheck c;
        c.enabled = true;
        c.drive = drive;
        c.name = std::string(drive) + " free space";
        c.freeSpaceMb = mb;
        c.percent = percent;
        c.levelMask = 2;
        return c;
    }
    std::atomic<int64_t> freeMb{500};
    std::atomic<int64_t> totalMb{10000};
    std::atomic<int> queries{0};
    int freedFrom = 0;  // from this query on, 5000 MB are free
    test::LogCapture log;
};

TEST_F(DiskCheckTest, ThresholdsInMegabytesAndPercent) {
    DiskSpaceMonitor monitor(Sources());
    DriveSpace space;
    EXPECT_EQ(monitor.VerifyDiskSpace(context, "/", 500, 0, space), 1) << "at most is short";
    EXPECT_EQ(space.freeMb, 500);
    EXPECT_EQ(space.capacityMb, 10000);
    EXPECT_EQ(monitor.VerifyDiskSpace(context, "/", 499, 0, space), 0);
    freeMb = 999;  // 9.99 %
    EXPECT_EQ(monitor.VerifyDiskSpace(context, "C", 0, 10, space), 1) << "9 % is below 10 %";
    freeMb = 1000;
    EXPECT_EQ(monitor.VerifyDiskSpace(context, "C", 0, 10, space), 0);
    totalMb = 0;
    EXPECT_EQ(monitor.VerifyDiskSpace(context, "/", 0, 10, space), 1);
    EXPECT_TRUE(log.Contains("Total disk space on drive / is reported as zero"));
}

TEST_F(DiskCheckTest, TheMessageFollowsTheTestThatFailed) {
    DiskSpaceMonitor monitor(Sources());
    freeMb = 900;  // 9 % free: the percentage fails, the megabytes would not
    DiskCheck both = Check("/", 100, 10);
    monitor.RunCheck(context, both, 1000);
    ASSERT_EQ(RecordedAlerts(), 1u);
    alerting::AlertRecord alert = Alert(1);
    EXPECT_EQ(alert.errorTitle.value_or(""), "Disk Space Low");
    EXPECT_EQ(alert.message.value_or(""),
              "Insufficient disk space has been detected on the local drive /. 10% free space is "
              "required, but only 900Mb remains ...");
    EXPECT_EQ(alert.additionalInfo[1].value_or(""), "10");
    EXPECT_EQ(alert.additionalInfo[2].value_or(""), "900");
    EXPECT_EQ(both.lastAlertTick, 1000u);

    DiskCheck megabytes = Check("/", 1000, 0);
    monitor.RunCheck(context, megabytes, 2000);
    ASSERT_EQ(RecordedAlerts(), 2u);
    EXPECT_EQ(Alert(2).message.value_or(""),
              "Insufficient disk space has been detected on the local drive /. 1000Mb is "
              "required but only 900Mb remains ...");
}

TEST_F(DiskCheckTest, CountBeforeActionThenAResponseThatFreesSpace) {
    context.notifyRunningActions = 1;
    DiskSpaceMonitor monitor(Sources());
    freeMb = 100;
    DiskCheck c = Check("/", 200, 0);
    c.countBeforeAction = 2;
    c.responseCode = 3;
    c.command = "true";
    monitor.RunCheck(context, c, 1);
    monitor.RunCheck(context, c, 2);
    EXPECT_EQ(c.failureCount, 2u);
    EXPECT_EQ(RecordedAlerts(), 0u);
    // The third short run acts: the command runs and the check, made again at once, finds
    // the space freed.
    freedFrom = queries + 2;
    monitor.RunCheck(context, c, 3);
    ASSERT_EQ(RecordedAlerts(), 1u);
    const alerting::AlertRecord alert = Alert(1);
    EXPECT_EQ(alert.errorTitle.value_or(""), "Automatic Response Taken");
    EXPECT_EQ(alert.message.value_or("").rfind(
                  "Automatic response was successful. The check / free space, which previously "
                  "failed has now been resolved. ",
                  0),
              0u);
    EXPECT_EQ(alert.autoResponse, std::optional<bool>(true));
    EXPECT_EQ(c.lastAlertTick, 0u);
}

TEST_F(DiskCheckTest, ADriveThatIsNotMountedAlertsWithMinusOne) {
    DiskSpaceMonitor monitor(Sources());
    DiskCheck c = Check("/definitely/not/mounted", 10, 0);
    monitor.RunCheck(context, c, 1);
    EXPECT_TRUE(log.Contains("is not a mounted file system"));
    EXPECT_TRUE(log.Contains("Unable to determine available disk space. Assuming insufficient"));
    EXPECT_EQ(queries.load(), 0) << "a directory of another file system is never measured";
    ASSERT_EQ(RecordedAlerts(), 1u);
    EXPECT_EQ(Alert(1).additionalInfo[2].value_or(""), "-1");
    DiskCheck letter = Check("Q:", 10, 0);
    monitor.RunCheck(context, letter, 2);
    EXPECT_TRUE(log.Contains("neither a mount point path nor a mapped drive letter"));
    EXPECT_EQ(RecordedAlerts(), 2u);
}

}  // namespace
}  // namespace kvzn::monitors
