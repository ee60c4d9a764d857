// The disk space monitor: configuration, schedules, the check of one drive and the disk
// rows of the status page.
#include "monitors/disk_space_monitor.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <mutex>

#include "alerting/dispatcher.h"
#include "alerting/message_text.h"
#include "companion/activity_log.h"
#include "config/numbered_lists.h"
#include "config/registry_names.h"
#include "platform/system_stats.h"
#include "responses/response_runner.h"
#include "service/monitor_schedule.h"

namespace kvzn::monitors {

namespace {

constexpr std::string_view kModule = kDiskModule;

const service::MonitorIdentity kIdentity{
    "GenericMonitor",
    kDiskComponent,
    kDiskModule,
    "There are no monitoring tasks to perform or the monitoring interval is disabled. The "
    "Generic Monitor will close",
    {},
    true,
    true};

// Splits "HH:MM" (or "HH\nMM") into hour and minute; missing parts count as 0.
void SplitScanTime(const std::string& text, int& hour, int& minute) {
    hour = 0;
    minute = 0;
    const size_t sep = text.find_first_of(":\n");
    hour = std::atoi(text.substr(0, sep).c_str());
    if (sep != std::string::npos) {
        minute = std::atoi(text.substr(sep + 1).c_str());
    }
}

// H:M on the day `days` after the broken-down time `t`, seconds 0, DST left to the system.
std::time_t At(std::tm t, int days, int hour, int minute) {
    t.tm_mday += days;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = 0;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

// The message of a failed check, chosen by the test that decided: the percentage when it
// is set, the megabytes otherwise.
std::string ShortMessage(const DiskCheck& c, int64_t freeMb) {
    if (c.percent != 0) {
        return "Insufficient disk space has been detected on the local drive " + c.drive + ". " +
               std::to_string(c.percent) + "% free space is required, but only " +
               std::to_string(freeMb) + "Mb remains";
    }
    return "Insufficient disk space has been detected on the local drive " + c.drive + ". " +
           std::to_string(c.freeSpaceMb) + "Mb is required but only " + std::to_string(freeMb) +
           "Mb remains";
}

std::string ThresholdInfo(const DiskCheck& c) {
    return std::to_string(c.percent != 0 ? c.percent : c.freeSpaceMb);
}

}  // namespace

int GenericMonitor_Config(service::ServiceContext& ctx, DiskConfig& config) {
    const companion::Registry& registry = ctx.registry;
    config = {};
    registry.ReadNumber(config::kProductKey, config::value::kDiskInterval, config.intervalMinutes);
    const std::string list = config::SubKey(config::subkey::kDiskSpace);
    int count = 0;
    for (int n = 1; n <= kMaxDiskChecks; ++n) {
        const std::string key = list + "\\" + config::Numbered(config::list::kDiskEntry, n);
        uint32_t enabled = 0;
        if (registry.ReadFlag(key, config::check::kEnabled, enabled) != 0) {
            break;
        }
        DiskCheck c;
        c.enabled = enabled == 1;
        // Mount point paths are longer than drive letters: the drive takes a path buffer.
        registry.ReadText(key, "Drive", c.drive, 260);
        registry.ReadNumber(key, "FreeSpace", c.freeSpaceMb);
        registry.ReadNumber(key, "%Used", c.percent);
        registry.ReadNumber(key, config::check::kCountBeforeAction, c.countBeforeAction);
        registry.ReadNumber(key, config::check::kNonNotificationPeriod, c.nonNotificationPeriod);
        registry.ReadNumber(key, config::check::kActionToTake, c.responseCode);
        registry.ReadNumber(key, config::check::kAlertLevel, c.levelMask);
        registry.ReadText(key, config::check::kCommand, c.command, 256);
        registry.ReadNumber(key, "ScanType", c.scanType);
        registry.ReadText(key, "ScanTime", c.scanTime, 10);
        c.restart = c.responseCode == config::kActionRebootServer;
        c.name = c.drive + " free space";
        count += c.enabled ? 1 : 0;
        config.checks.push_back(std::move(c));
    }
    return count;
}

void ComputeNextRunTime(DiskCheck& c, uint32_t intervalMinutes, std::time_t now) {
    const bool first = c.lastScheduled == 0;
    if (first) {
        c.lastScheduled = now;
        if (c.scanType == 0) {
            c.nextRun = now;
            return;
        }
    } else {
        c.lastScheduled = c.nextRun;
    }
    if (c.scanType == 0) {
        c.nextRun = c.lastScheduled + static_cast<std::time_t>(intervalMinutes) * 60;
        return;
    }
    int hour = 0;
    int minute = 0;
    SplitScanTime(c.scanTime, hour, minute);
    std::tm t{};
    const std::time_t last = c.lastScheduled;
    localtime_r(&last, &t);
    const int h = t.tm_hour;
    const int m = t.tm_min;
    const int w = t.tm_wday;
    if (c.scanType == 1) {
        const bool passed = first ? m > minute : m >= minute;
        c.nextRun = At(t, 0, h, minute) + (passed ? 3600 : 0);
    } else if (c.scanType == 2) {
        const bool passed = first ? (h > hour || (h == hour && m > minute)) : h >= hour;
        c.nextRun = At(t, passed ? 1 : 0, hour, minute);
    } else {
        const int target = static_cast<int>(c.scanType) - 2;  // 1 Monday ... 7 Sunday
        int days = 0;
        if (w == target && h > hour) {
            days = 7;
        } else if (w == target && h == hour) {
            days = (first ? m > minute : m >= minute) ? 7 : 0;
        } else if (w == target && h < hour && first) {
            days = 0;
        } else if (w >= target) {
            days = target - w + 7;
        } else {
            days = target - w;
        }
        c.nextRun = At(t, days, hour, minute);
    }
}

std::string DriveRoot(std::string_view drive) {
    if (!drive.empty() && drive.front() == '/') {
        return std::string(drive);
    }
    // A drive letter, completed to its root form "X:\" as the original did.
    std::string root(drive.substr(0, std::min<size_t>(drive.size(), 3)));
    if (root.empty()) {
        return {};
    }
    root.resize(3, ' ');
    root[1] = ':';
    root[2] = '\\';
    if (drive.size() > 3) {
        return {};
    }
    // The table of letters: the system drive is the root file system.
    if (std::toupper(static_cast<unsigned char>(root[0])) == 'C') {
        return "/";
    }
    return {};
}

struct DiskSpaceMonitor::State {
    DiskSources sources;
    platform::DiskSpaceProbe probe;
    platform::SystemStats stats;
    DiskConfig config;
    int enabledChecks = 0;
    explicit State(DiskSources s)
        : sources(std::move(s)), probe(sources.timeout, sources.query), stats(sources.root) {}
};

DiskSpaceMonitor::DiskSpaceMonitor(DiskSources sources)
    : state_(std::make_unique<State>(std::move(sources))) {}

DiskSpaceMonitor::~DiskSpaceMonitor() = default;

const service::MonitorIdentity& DiskSpaceMonitor::Identity() const {
    return kIdentity;
}

int DiskSpaceMonitor::ReadConfiguration(service::ServiceContext& ctx) {
    state_->enabledChecks = GenericMonitor_Config(ctx, state_->config);
    return state_->enabledChecks;
}

bool DiskSpaceMonitor::IntervalsDisabled() const {
    return state_->config.intervalMinutes == 0;
}

void DiskSpaceMonitor::Prepare(service::ServiceContext& ctx) {
    for (DiskCheck& c : state_->config.checks) {
        if (c.enabled) {
            ctx.PostComponentStatus(kDiskComponent,
                                    "Calculating next run time for check " + c.name);
            ComputeNextRunTime(c, state_->config.intervalMinutes, ctx.clock.Now());
        }
    }
}

uint32_t DiskSpaceMonitor::RunCycle(service::ServiceContext& ctx, uint32_t now) {
    const companion::Logger log(kModule, "GenericMonitor");
    for (DiskCheck& c : state_->config.checks) {
        if (!c.enabled || ctx.clock.Now() < c.nextRun ||
            service::IsIntervalElapsed(now, c.lastAlertTick, c.nonNotificationPeriod) == 0) {
            continue;
        }
        try {
            RunCheck(ctx, c, now);
        } catch (const std::exception& e) {
            log(1, "The check ", c.name, " ended on an unexpected error: ", e.what());
            ComputeNextRunTime(c, state_->config.intervalMinutes, ctx.clock.Now());
        }
    }
    return 60000;
}

void DiskSpaceMonitor::ClearAlertTicks() {
    for (DiskCheck& c : state_->config.checks) {
        c.lastAlertTick = 0;
    }
}

void DiskSpaceMonitor::RunCheck(service::ServiceContext& ctx, DiskCheck& c, uint32_t now) {
    const uint32_t interval = state_->config.intervalMinutes;
    const auto reschedule = [&] {
        ctx.PostComponentStatus(kDiskComponent, "Calculating next run time for check " + c.name);
        ComputeNextRunTime(c, interval, ctx.clock.Now());
    };
    DriveSpace space;
    if (VerifyDiskSpace(ctx, c.drive, c.freeSpaceMb, c.percent, space) == 0) {
        c.failureCount = 0;
        c.lastAlertTick = 0;
        reschedule();
        responses::ResetLastRebootedFor(ctx, c.name);
        return;
    }
    if (c.failureCount + 1 <= c.countBeforeAction) {
        ++c.failureCount;
        reschedule();
        return;
    }
    std::string message = ShortMessage(c, space.freeMb) + " ...";
    std::string description;
    const unsigned result = responses::RunSpecifiedActions(
        ctx, kCategoryDiskSpace, c.levelMask, c.responseCode, c.name, message, c.restart ? 1 : 0,
        c.command, c.drive, ThresholdInfo(c), std::to_string(space.freeMb), description);
    if (result == responses::kRunnerAlerted) {
        reschedule();
        return;
    }
    bool stillShort = true;
    if (result == responses::kResponseStarted) {
        stillShort = VerifyDiskSpace(ctx, c.drive, c.freeSpaceMb, c.percent, space) != 0;
    } else {
        description.clear();
    }
    if (stillShort) {
        c.failureCount = 0;
        c.lastAlertTick = now;
        std::string text = description.empty()
                               ? ShortMessage(c, space.freeMb) + " ..."
                               : "Automatic response failed. " + ShortMessage(c, space.freeMb) +
                                     ". " + description +
                                     " but the problem persists. Further investigation is now "
                                     "required ...";
        alerting::NotifyError(ctx, kCategoryDiskSpace, c.levelMask, c.responseCode,
                              "Disk Space Low", c.name, text, c.name, ThresholdInfo(c),
                              std::to_string(space.freeMb), 0);
    } else {
        c.lastAlertTick = 0;
        responses::ResetLastRebootedFor(ctx, c.name);
        if (ctx.notifyRunningActions != 0 && !description.empty()) {
            std::string text = "Automatic response was successful. The check " + c.name +
                               ", which previously failed has now been resolved. " + description +
                               " ...";
            alerting::NotifyError(ctx, kCategoryDiskSpace, c.levelMask, c.responseCode,
                                  "Automatic Response Taken", c.name, text, std::nullopt,
                                  std::nullopt, std::nullopt, 1);
        }
    }
    reschedule();
}

int DiskSpaceMonitor::VerifyDiskSpace(service::ServiceContext& ctx, const std::string& drive,
                                      uint32_t megabytes, uint32_t percent, DriveSpace& space) {
    const companion::Logger log(kModule, "VerifyDiskSpace");
    ctx.PostComponentStatus(kDiskComponent, "Checking disk space for drive " + drive);
    int64_t capacityKb = 0;
    const int64_t freeKb = GetDriveSpace(drive, capacityKb);
    if (freeKb < 0) {
        log(1, "Unable to determine available disk space. Assuming insufficient available");
        space.freeMb = -1;
        space.capacityMb = 0;
        return 1;
    }
    space.freeMb = freeKb / 1024;
    space.capacityMb = capacityKb / 1024;
    int shortOfSpace = 0;
    if (percent == 0) {
        shortOfSpace = space.freeMb <= static_cast<int64_t>(megabytes) ? 1 : 0;
        if (shortOfSpace != 0) {
            log(5, "Insufficient disk space available on drive ", drive,
                ". Minimum requirement is ", megabytes, "Mb");
        }
    } else {
        if (space.capacityMb == 0) {
            log(1, "Total disk space on drive ", drive, " is reported as zero");
            return 1;
        }
        shortOfSpace =
            space.freeMb * 100 / space.capacityMb < static_cast<int64_t>(percent) ? 1 : 0;
        if (shortOfSpace != 0) {
            log(5, "Insufficient disk space available on drive ", drive,
                ". Minimum requirement is ", percent, "%");
        }
    }
    ctx.PostComponentStatus(
        kDiskComponent, "Free space available is currently " + std::to_string(space.freeMb) + "Mb");
    return shortOfSpace;
}

int64_t DiskSpaceMonitor::GetDriveSpace(const std::string& drive, int64_t& capacityKb) {
    const companion::Logger log(kModule, "GetDriveSpace");
    const std::string root = DriveRoot(drive);
    if (root.empty()) {
        log(1, "The drive ", drive, " is neither a mount point path nor a mapped drive letter");
        return -1;
    }
    // A directory that is not mounted would report its parent's file system.
    platform::Result<std::vector<std::string>> mounts = state_->stats.ReadMountPoints();
    if (!mounts.ok()) {
        log(1, "Unable to list the mounted file systems: ", mounts.status().Text());
        return -1;
    }
    std::string wanted = root;
    while (wanted.size() > 1 && wanted.back() == '/') {
        wanted.pop_back();
    }
    if (std::find(mounts->begin(), mounts->end(), wanted) == mounts->end()) {
        log(1, "The drive ", drive, " (", root, ") is not a mounted file system");
        return -1;
    }
    platform::Result<platform::DiskSpace> space = state_->probe.Query(wanted);
    if (!space.ok()) {
        log(1, "Unable to query the file system of ", drive, ": ", space.status().Text());
        return -1;
    }
    capacityKb = static_cast<int64_t>(space->totalBytes / 1024);
    return static_cast<int64_t>(space->freeBytes / 1024);
}

DiskWebData DiskSpaceMonitor::WebData(service::ServiceContext& ctx) {
    DiskWebData data;
    data.lastChecked = alerting::StandardTimeText(ctx.DateFormat(), ctx.clock);
    for (const DiskCheck& c : state_->config.checks) {
        if (!c.enabled) {
            continue;
        }
        data.monitored = true;
        DiskRow row;
        row.drive = c.drive;
        DriveSpace space;
        row.shortOfSpace = VerifyDiskSpace(ctx, c.drive, c.freeSpaceMb, c.percent, space) != 0;
        row.determined = space.freeMb >= 0;
        row.freeMb = space.freeMb;
        row.capacityMb = space.capacityMb;
        row.thresholdText = c.percent != 0 ? std::to_string(c.percent) + " (% free)"
                                           : std::to_string(c.freeSpaceMb);
        row.percentFree = !row.determined ? 0
                          : space.capacityMb == 0
                              ? 100
                              : static_cast<int>(std::clamp<int64_t>(
                                    space.freeMb * 100 / space.capacityMb, 0, 100));
        data.rows.push_back(std::move(row));
    }
    return data;
}

const std::vector<DiskCheck>& DiskSpaceMonitor::Checks() const {
    return state_->config.checks;
}

void GenericMonitor(service::ServiceContext& ctx) {
    auto monitor = std::make_shared<DiskSpaceMonitor>();
    ctx.PublishMonitor(kDiskComponent, monitor);
    try {
        service::MonitorEntry(ctx, *monitor, nullptr);
    } catch (const std::exception& e) {
        companion::Logger(kModule, "GenericMonitor")(
            1, "The disk space monitor ended on an unexpected error: ", e.what());
    }
    if (ctx.Stopping()) {
        ctx.WithdrawMonitor(kDiskComponent, monitor.get());
    }
}

std::shared_ptr<DiskSpaceMonitor> CurrentDiskSpaceMonitor(const service::ServiceContext& ctx) {
    return std::dynamic_pointer_cast<DiskSpaceMonitor>(ctx.PublishedMonitor(kDiskComponent));
}

DiskWebData GenericMonitorWebData(service::ServiceContext& ctx) {
    const std::shared_ptr<DiskSpaceMonitor> monitor = CurrentDiskSpaceMonitor(ctx);
    return monitor ? monitor->WebData(ctx) : DiskWebData{};
}

}  // namespace kvzn::monitors
