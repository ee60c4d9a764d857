// The disk space monitor: up to 26 mount points, each on its own schedule, with a free
// space threshold in megabytes or as a percentage of the capacity.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/disk_space.h"
#include "service/monitor_thread.h"
#include "service/service_context.h"

namespace kvzn::monitors {

inline constexpr int kDiskComponent = 20;  // "Disk Space Monitor"
inline constexpr std::string_view kDiskModule = "kvZNGenericMonitor";
inline constexpr int kCategoryDiskSpace = 1;
inline constexpr int kMaxDiskChecks = 26;

struct DiskCheck {
    uint32_t lastAlertTick = 0;     // 0 = none
    std::time_t lastScheduled = 0;  // 0 before the first ComputeNextRunTime
    std::time_t nextRun = 0;
    bool restart = false;
    bool enabled = false;
    std::string name;  // "<drive> free space"
    std::string command;
    std::string drive;      // a mount point path, or a drive letter mapped by DriveRoot
    std::string scanTime;   // "HH:MM"
    uint32_t scanType = 0;  // 0 interval, 1 hourly, 2 daily, 3 to 9 Monday to Sunday
    uint32_t freeSpaceMb = 0;
    uint32_t levelMask = 0;
    uint32_t responseCode = 0;
    uint32_t percent = 0;  // "%Used": minimum free share; when not 0 it decides
    uint32_t countBeforeAction = 0;
    uint32_t failureCount = 0;
    uint32_t nonNotificationPeriod = 0;  // minutes
};

struct DiskConfig {
    uint32_t intervalMinutes = 300;  // "DiskInterval"; 0 disables the monitor
    std::vector<DiskCheck> checks;   // in list order, "Disk1" to "Disk26"
};

// Reads "DiskInterval" and the "Disk Space" list; returns the number of enabled checks.
int GenericMonitor_Config(service::ServiceContext& ctx, DiskConfig& config);

// Sets the check's next run time (calendar seconds) from its schedule, `now` being the
// current calendar time, in the process's local time zone.
void ComputeNextRunTime(DiskCheck& check, uint32_t intervalMinutes, std::time_t now);

// The mount point a "Drive" value names: a path beginning with "/" as it is; the letter C
// (with or without ":" and "\") is "/". Any other letter maps to nothing (empty).
std::string DriveRoot(std::string_view drive);

// Free and total space of a drive.
struct DriveSpace {
    int64_t freeMb = -1;  // -1 when it cannot be determined
    int64_t capacityMb = 0;
};

// What the "Available Disk Space" section of the status page shows, as data.
struct DiskRow {
    std::string drive;
    bool determined = false;  // false: "N/A" in the three number columns
    int64_t freeMb = -1;
    int64_t capacityMb = 0;
    std::string thresholdText;  // "500" or "10 (% free)"
    int percentFree = 0;        // width of the bar, 0 to 100
    bool shortOfSpace = false;  // red bar
};
struct DiskWebData {
    bool monitored = false;  // false: "Not being monitored or no data currently available ..."
    std::string lastChecked;
    std::vector<DiskRow> rows;
};

// How the monitor reaches the file systems; tests replace the query or the time-out.
struct DiskSources {
    std::string root = "/";  // holds proc/self/mountinfo
    std::chrono::milliseconds timeout{10000};
    platform::DiskSpaceQuery query = platform::QueryStatvfs;
};

class DiskSpaceMonitor : public service::Monitor {
  public:
    explicit DiskSpaceMonitor(DiskSources sources = {});
    ~DiskSpaceMonitor() override;

    const service::MonitorIdentity& Identity() const override;
    int ReadConfiguration(service::ServiceContext& ctx) override;
    bool IntervalsDisabled() const override;
    void Prepare(service::ServiceContext& ctx) override;
    // Runs every enabled check whose next run time has come and whose non-notification
    // period is over; returns 60 seconds.
    uint32_t RunCycle(service::ServiceContext& ctx, uint32_t now) override;
    void ClearAlertTicks() override;

    // One run of a check at tick `now`: evaluation, response and alerts.
    void RunCheck(service::ServiceContext& ctx, DiskCheck& check, uint32_t now);
    // 1 when the drive is short of space or its space cannot be determined; `space` says
    // what was found. Decided by the percentage when it is not 0, else by the megabytes.
    int VerifyDiskSpace(service::ServiceContext& ctx, const std::string& drive, uint32_t megabytes,
                        uint32_t percent, DriveSpace& space);
    // Free space in KB, and the capacity in `capacityKb`; -1 when the drive is not a mounted
    // file system or does not answer within the time-out (logged with the reason).
    int64_t GetDriveSpace(const std::string& drive, int64_t& capacityKb);

    // The status page rows: every enabled check's drive queried afresh (each bounded by the
    // time-out).
    // @threadsafety Always; the table does not change after the configuration is read.
    DiskWebData WebData(service::ServiceContext& ctx);

    const std::vector<DiskCheck>& Checks() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// The thread entry of the disk space monitor (the thread table's GenericMonitor).
void GenericMonitor(service::ServiceContext& ctx);

// The running disk space monitor, or null.
// @threadsafety Always.
std::shared_ptr<DiskSpaceMonitor> CurrentDiskSpaceMonitor(const service::ServiceContext& ctx);

// The web-data mode: the disk rows of the status page ("not monitored" without a monitor).
// @threadsafety Always.
DiskWebData GenericMonitorWebData(service::ServiceContext& ctx);

}  // namespace kvzn::monitors
