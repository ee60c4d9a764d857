// Turns what the system monitors report into the typed rows of the web pages.
#include "programs/monitor_reports.h"

#include "logmon/event_log_monitor.h"
#include "logmon/log_file_monitor.h"
#include "monitors/disk_space_monitor.h"
#include "monitors/performance_monitor.h"

namespace kvzn::programs {

namespace {
constexpr const char* kNotMonitored = "Not being monitored or no data currently available ...";
constexpr const char* kNoEntries = "No entries logged since Korvane was started ...";
// The performance groups: server, print server and custom checks.
constexpr const char* kGroups[] = {"Server Performance ...", "Print Server Performance ...",
                                   "Custom Performance Monitoring ..."};

std::string GroupMessage(monitors::PerformanceGroup::State state) {
    using State = monitors::PerformanceGroup::State;
    switch (state) {
        case State::kBusy:
            return "The Server is currently busy. Data is unavailable at this time ...";
        case State::kError:
            return "Error retrieving info. ...";
        default:
            return kNotMonitored;
    }
}

class PerformanceRows : public web::StatusRowsProvider {
  public:
    explicit PerformanceRows(service::ServiceContext& ctx) : ctx_(ctx) {}
    std::vector<web::ReportSection> StatusSections() const override {
        const monitors::PerformanceWebData data = monitors::PerformanceCounterWebData(ctx_);
        web::ReportSection section;
        section.heading = "Server & Software Performance ...";
        section.icon = "Counter.bmp";
        section.lastChecked = data.lastChecked;
        section.nameHeading = "Performance Check";
        section.valueHeading = "Current Value (Alert Threshold, % Status)";
        for (size_t g = 0; g < data.groups.size(); ++g) {
            const monitors::PerformanceGroup& group = data.groups[g];
            const bool rows =
                group.state == monitors::PerformanceGroup::State::kRows && !group.rows.empty();
            section.rows.push_back({kGroups[g], rows ? "" : GroupMessage(group.state), false});
            if (!rows) {
                continue;
            }
            for (const monitors::PerformanceRow& r : group.rows) {
                const std::string value = r.available && !r.valueText.empty() ? r.valueText : "N/A";
                section.rows.push_back(
                    {r.displayName,
                     value + " (" + r.thresholdText + ", " + std::to_string(r.percent) + "%)",
                     r.failed});
            }
        }
        return {std::move(section)};
    }

  private:
    service::ServiceContext& ctx_;
};

class PerformanceHistoryRows : public web::PerformanceHistoryProvider {
  public:
    explicit PerformanceHistoryRows(service::ServiceContext& ctx) : ctx_(ctx) {}
    web::PerformanceHistory History(int lineCount) const override {
        const monitors::PerformanceHistory history =
            monitors::PerformanceCounterHistory(ctx_, lineCount);
        web::PerformanceHistory out;
        if (!history.loggingEnabled) {
            out.message =
                "Performance logging is not defined on this machine. To enable it, please run "
                "the Tessel Monitor's Configuration Utility ...";
            return out;
        }
        if (!history.fileRead) {
            out.message =
                "Performance logging has yet to be collected. Please ensure Performance "
                "Monitoring is enabled and the log file is accessible ...";
            return out;
        }
        out.columns = history.table.headings;
        for (const monitors::HistoryRow& row : history.table.rows) {
            std::vector<std::string> line{row.time};
            for (const monitors::HistoryCell& cell : row.cells) {
                line.push_back(cell.text);
            }
            out.lines.push_back(std::move(line));
        }
        return out;
    }

  private:
    service::ServiceContext& ctx_;
};

class DiskRows : public web::StatusRowsProvider {
  public:
    explicit DiskRows(service::ServiceContext& ctx) : ctx_(ctx) {}
    std::vector<web::ReportSection> StatusSections() const override {
        const monitors::DiskWebData data = monitors::GenericMonitorWebData(ctx_);
        web::ReportSection section;
        section.heading = "Available Disk Space ...";
        section.icon = "Disk.bmp";
        if (!data.lastChecked.empty()) {
            section.lastChecked = data.lastChecked;
        }
        section.nameHeading = "Disk";
        section.valueHeading = "Free Mb / Capacity Mb (Threshold Mb, % Disk Free)";
        if (!data.monitored) {
            section.message = kNotMonitored;
        }
        for (const monitors::DiskRow& r : data.rows) {
            const std::string space =
                r.determined ? std::to_string(r.freeMb) + " / " + std::to_string(r.capacityMb)
                             : "N/A / N/A";
            section.rows.push_back(
                {r.drive,
                 space + " (" + r.thresholdText + ", " +
                     (r.determined ? std::to_string(r.percentFree) + "%" : "N/A") + ")",
                 r.shortOfSpace});
        }
        return {std::move(section)};
    }

  private:
    service::ServiceContext& ctx_;
};

// The recent alerted records of the event log or the log file monitor.
template <class Monitor>
class RecentRows : public web::StatusRowsProvider {
  public:
    using Find = std::shared_ptr<Monitor> (*)(const service::ServiceContext&);
    RecentRows(service::ServiceContext& ctx, Find find, web::ReportSection frame, bool withTime)
        : ctx_(ctx), find_(find), frame_(std::move(frame)), withTime_(withTime) {}
    std::vector<web::ReportSection> StatusSections() const override {
        web::ReportSection section = frame_;
        const std::shared_ptr<Monitor> monitor = find_(ctx_);
        if (!monitor || monitor->CheckCount() == 0) {
            section.message = kNotMonitored;
            return {std::move(section)};
        }
        for (const logmon::RecentRecord& r : monitor->Recent().Rows()) {
            section.rows.push_back(
                {r.checkName, withTime_ ? r.timeText + " - " + r.message : r.message, false});
        }
        if (section.rows.empty()) {
            section.message = kNoEntries;
        }
        return {std::move(section)};
    }

  private:
    service::ServiceContext& ctx_;
    Find find_;
    web::ReportSection frame_;
    bool withTime_;
};

web::ReportSection Frame(const char* heading, const char* nameHeading, const char* valueHeading) {
    web::ReportSection section;
    section.heading = heading;
    section.icon = "File.bmp";
    section.nameHeading = nameHeading;
    section.valueHeading = valueHeading;
    return section;
}
}  // namespace

void ConnectMonitorReports(service::ServiceContext& ctx, web::ReportSources& sources) {
    sources.Set(web::ReportSources::kPerformance, std::make_shared<PerformanceRows>(ctx));
    sources.SetHistory(std::make_shared<PerformanceHistoryRows>(ctx));
    sources.Set(web::ReportSources::kDiskSpace, std::make_shared<DiskRows>(ctx));
    sources.Set(
        web::ReportSources::kEventLogs,
        std::make_shared<RecentRows<logmon::EventLogMonitor>>(
            ctx, &logmon::CurrentEventLogMonitor,
            Frame("Latest Event Log Records ...", "Event Log", "Time - Message (Source, Event ID)"),
            true));
    sources.Set(web::ReportSources::kLogFiles,
                std::make_shared<RecentRows<logmon::LogFileMonitor>>(
                    ctx, &logmon::CurrentLogFileMonitor,
                    Frame("Latest Logged Records ...", "Log File", "Message Text"), false));
}

void DisconnectMonitorReports(web::ReportSources& sources) {
    for (int kind = 0; kind < web::ReportSources::kKinds; ++kind) {
        sources.Set(static_cast<web::ReportSources::Kind>(kind), nullptr);
    }
    sources.SetHistory(nullptr);
}

}  // namespace kvzn::programs
