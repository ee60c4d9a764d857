// The disk space monitor against a small tmpfs mount of its own: filled past its limits,
// then freed, through the monitor's configuration, schedule and status page data.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "alerting/alert_record.h"
#include "monitors/disk_space_monitor.h"
#include "support/service_fixture.h"

namespace kvzn::monitors {
namespace {

namespace fs = std::filesystem;

class DiskSpaceTmpfsTest : public ::testing::Test, public test::ServiceFixture {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "mounting a tmpfs needs root";
        }
        fs::create_directories(mountPoint);
        ASSERT_EQ(::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=8m"), 0)
            << std::strerror(errno);
        mounted = true;
    }
    void TearDown() override {
        if (mounted) {
            ::umount2(mountPoint.c_str(), MNT_DETACH);
        }
    }
    void Fill(const std::string& name, size_t megabytes) {
        std::ofstream out(mountPoint + "/" + name, std::ios::binary);
        const std::string block(1024 * 1024, 'x');
        for (size_t i = 0; i < megabytes; ++i) {
            out << block;
        }
    }
    void Configure(int n, const std::string& drive, uint32_t mb, uint32_t percent) {
        const std::string key =
            config::SubKey(config::subkey::kDiskSpace) + "\\Disk" + std::to_string(n);
        registry.WriteFlag(key, "Enabled", 1);
        registry.WriteText(key, "Drive", drive);
        registry.WriteNumber(key, "FreeSpace", mb);
        registry.WriteNumber(key, "%Used", percent);
        registry.WriteNumber(key, "AlertLevel", 2);
    }
    std::vector<alerting::AlertRecord> AlertsSince(uint32_t first) {
        std::vector<alerting::AlertRecord> out;
        for (uint32_t slot = first; slot <= RecordedAlerts(); ++slot) {
            out.push_back(*alerting::AlertRecord::Load(Alerts().store.RecordPath(slot)));
        }
        return out;
    }

    std::string mountPoint = dir / "mnt";
    bool mounted = false;
};

TEST_F(DiskSpaceTmpfsTest, FilledPastMegabytesAndPercentThenFreed) {
    registry.WriteNumber(config::kProductKey, "DiskInterval", 1);
    Configure(1, mountPoint, 4, 0);         // at least 4 MB free
    Configure(2, mountPoint + "/", 0, 40);  // at least 40 % free
    Configure(3, dir / "not-mounted", 1, 0);
    fs::create_directories(dir / "not-mounted");

    DiskSpaceMonitor monitor;
    ASSERT_EQ(monitor.ReadConfiguration(context), 3);
    monitor.Prepare(context);
    monitor.RunCycle(context, 1000);  // empty: only the directory that is not mounted alerts
    std::vector<alerting::AlertRecord> alerts = AlertsSince(1);
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].additionalInfo[0].value_or(""), dir / "not-mounted free space");
    EXPECT_EQ(alerts[0].additionalInfo[2].value_or(""), "-1");

    Fill("big", 6);  // 2 MB of 8 left: short by both tests
    clock.SetNow(clock.Now() + 60);
    monitor.RunCycle(context, 70000);
    alerts = AlertsSince(2);
    ASSERT_EQ(alerts.size(), 3u);
    EXPECT_EQ(alerts[0].errorTitle.value_or(""), "Disk Space Low");
    EXPECT_EQ(alerts[0].message.value_or(""),
              "Insufficient disk space has been detected on the local drive " + mountPoint +
                  ". 4Mb is required but only 2Mb remains ...");
    EXPECT_EQ(alerts[1].message.value_or(""),
              "Insufficient disk space has been detected on the local drive " + mountPoint +
                  "/. 40% free space is required, but only 2Mb remains ...");

    const DiskWebData page = monitor.WebData(context);
    ASSERT_TRUE(page.monitored);
    ASSERT_EQ(page.rows.size(), 3u);
    EXPECT_TRUE(page.rows[0].determined);
    EXPECT_EQ(page.rows[0].freeMb, 2);
    EXPECT_EQ(page.rows[0].capacityMb, 8);
    EXPECT_EQ(page.rows[0].percentFree, 25);
    EXPECT_TRUE(page.rows[0].shortOfSpace);
    EXPECT_EQ(page.rows[1].thresholdText, "40 (% free)");
    EXPECT_FALSE(page.rows[2].determined);

    fs::remove(mountPoint + "/big");
    clock.SetNow(clock.Now() + 60);
    const uint32_t before = RecordedAlerts();
    monitor.RunCycle(context, 140000);
    EXPECT_EQ(RecordedAlerts(), before + 1) << "only the directory that is not mounted";
    EXPECT_EQ(monitor.Checks()[0].lastAlertTick, 0u);
    EXPECT_EQ(monitor.Checks()[1].lastAlertTick, 0u);
    EXPECT_FALSE(monitor.WebData(context).rows[0].shortOfSpace);
}

}  // namespace
}  // namespace kvzn::monitors
