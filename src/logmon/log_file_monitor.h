// The log file monitor: follows the text log files named by the log file checks, tests
// each new line against the checks of its file and alerts.
#pragma once

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "logmon/date_macros.h"
#include "logmon/log_checks.h"
#include "logmon/log_follower.h"
#include "logmon/recent_records.h"
#include "platform/file_watch.h"
#include "service/monitor_thread.h"

namespace kvzn::logmon {

inline constexpr int kLogFileComponent = 3;

// One followed file with the checks on it.
struct MonitoredFile {
    std::vector<LogCheck> checks;
    std::string configuredPath;  // environment expanded, date macros still in it
    bool usesDateMacros = false;
    bool available = true;  // false: the name does not fit once its date macros are expanded
    std::unique_ptr<LogFollower> follower;
    std::unique_ptr<BlockScanner> scanner;  // the include terms of all its checks
};

// @threadsafety As LogMonitorBase; WriteWebData may be called from any thread.
class LogFileMonitor : public LogMonitorBase {
  public:
    using WatcherFactory = std::function<std::unique_ptr<platform::FileWatcher>()>;
    // `makeWatcher` gives the change notification; none: inotify (platform::MakeFileWatcher).
    explicit LogFileMonitor(WatcherFactory makeWatcher = {},
                            EnvironmentLookup env = ProcessEnvironment());

    const service::MonitorIdentity& Identity() const override;
    int ReadConfiguration(service::ServiceContext& ctx) override;
    void Prepare(service::ServiceContext& ctx) override;
    uint32_t RunCycle(service::ServiceContext& ctx, uint32_t now) override;
    void WriteWebData(service::ServiceContext& ctx, service::ReportRequest& request) override;

    const std::vector<MonitoredFile>& Files() const { return files_; }

    // Reads and evaluates the lines appended to the file since the last look; false when
    // the service is stopping.
    bool CheckLatestLogFileMessages(service::ServiceContext& ctx, MonitoredFile& file);
    // One look at every file, then the move to the new day's files when the date changed.
    // Returns the seconds until the next look is due; 0 when the service is stopping.
    long CheckAllFiles(service::ServiceContext& ctx);

  private:
    // The file's name for the local date `today`; false (logged, file unavailable) when
    // it does not fit.
    bool ExpandName(service::ServiceContext& ctx, MonitoredFile& file, const std::tm& today,
                    std::string& path);
    void SwitchDays(service::ServiceContext& ctx);
    void WatchAll();
    bool EvaluateRecord(service::ServiceContext& ctx, MonitoredFile& file, std::string_view line);

    WatcherFactory makeWatcher_;
    EnvironmentLookup env_;
    std::unique_ptr<platform::FileWatcher> watcher_;
    std::vector<MonitoredFile> files_;
};

void VerifyLogFiles(service::ServiceContext& ctx);
std::shared_ptr<LogFileMonitor> CurrentLogFileMonitor(const service::ServiceContext& ctx);

}  // namespace kvzn::logmon
