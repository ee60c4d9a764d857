// The log file monitor.
#include "logmon/log_file_monitor.h"

#include <algorithm>
#include <chrono>
#include <exception>

#include "config/registry_names.h"
#include "platform/text.h"
#include "service/config_status.h"

namespace kvzn::logmon {

namespace {

constexpr std::string_view kModule = "kvZNLogFile";
constexpr std::string_view kSection = "LogFiles";

const service::MonitorIdentity kIdentity{
    "VerifyLogFiles",
    kLogFileComponent,
    kModule,
    "There are no monitoring tasks to perform. The Log File Monitor will close",
    kSection,
    true,
    false,
};

std::string_view WithoutQuotes(std::string_view text) {
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        text.remove_prefix(1);
        text.remove_suffix(1);
    }
    return text;
}

// Seconds from `local` to the next midnight.
long SecondsToMidnight(const std::tm& local) {
    return 86400L - (local.tm_hour * 3600L + local.tm_min * 60L + local.tm_sec);
}

}  // namespace

LogFileMonitor::LogFileMonitor(WatcherFactory makeWatcher, EnvironmentLookup env)
    : makeWatcher_(makeWatcher ? std::move(makeWatcher)
                               : WatcherFactory(platform::MakeFileWatcher)),
      env_(std::move(env)) {}

const service::MonitorIdentity& LogFileMonitor::Identity() const {
    return kIdentity;
}

int LogFileMonitor::ReadConfiguration(service::ServiceContext& ctx) {
    const companion::Logger log(kModule, "ReadLogFileConfig");
    files_.clear();
    checkCount_ =
        ReadLogChecks(ctx, IsLogFileType, [&](uint32_t, std::string file, LogCheck check) {
            if (!check.hasKeywords) {
                ReportNoKeywords(ctx, log, kSection, check);
            }
            const std::string path = ExpandEnvironment(WithoutQuotes(file), env_);
            for (MonitoredFile& entry : files_) {
                if (platform::EqualsNoCase(entry.configuredPath, path)) {
                    entry.checks.push_back(std::move(check));
                    return;
                }
            }
            MonitoredFile entry;
            entry.configuredPath = path;
            entry.checks.push_back(std::move(check));
            files_.push_back(std::move(entry));
        });
    uint32_t poll = 0;
    if (ctx.registry.ReadNumber(config::kProductKey, config::value::kLogFilePollInterval, poll) ==
            0 &&
        poll >= 1) {
        pollSeconds_ = poll;
    }
    return checkCount_;
}

bool LogFileMonitor::ExpandName(service::ServiceContext& ctx, MonitoredFile& file,
                                const std::tm& today, std::string& path) {
    DateMacroExpansion expanded =
        ExpandDateMacroText(file.configuredPath, kPathBuffer, today, env_);
    file.usesDateMacros = expanded.replaced > 0;
    if (!expanded.fits) {
        if (file.available) {
            companion::Logger(kModule, "VerifyLogFiles")(
                1, "The log file name ", file.configuredPath,
                " is too long once its date macros are expanded. The file will not be monitored");
            ++unavailableCount_;
            service::RecordConfigStatus(ctx, kSection, "Title", unavailableCount_,
                                        file.checks.front().name);
            service::RecordConfigStatus(ctx, kSection, "Reason", unavailableCount_,
                                        "Log file name too long after date expansion");
        }
        file.available = false;
        return false;
    }
    path = std::move(expanded.text);
    return true;
}

void LogFileMonitor::Prepare(service::ServiceContext& ctx) {
    const std::tm today = ctx.clock.LocalNow();
    watcher_ = makeWatcher_();
    for (MonitoredFile& file : files_) {
        std::vector<const KeywordList*> lists;
        for (const LogCheck& check : file.checks) {
            lists.push_back(&check.include);
        }
        file.scanner = std::make_unique<BlockScanner>(AllTerms(lists));
        std::string path;
        if (!ExpandName(ctx, file, today, path)) {
            continue;
        }
        ctx.PostComponentStatus(kLogFileComponent,
                                "Initialising monitoring for the log file " + path);
        file.follower = std::make_unique<LogFollower>(path);
        file.follower->PositionAtEnd();
    }
    WatchAll();
}

void LogFileMonitor::WatchAll() {
    watcher_->Clear();
    for (const MonitoredFile& file : files_) {
        if (file.available && file.follower) {
            watcher_->Watch(file.follower->Path());  // a failure leaves the file to polling
        }
    }
}

void LogFileMonitor::SwitchDays(service::ServiceContext& ctx) {
    const std::tm today = ctx.clock.LocalNow();
    bool switched = false;
    for (MonitoredFile& file : files_) {
        if (!file.available || !file.usesDateMacros || !file.follower) {
            continue;
        }
        std::string path;
        if (!ExpandName(ctx, file, today, path) || path == file.follower->Path()) {
            continue;
        }
        ctx.PostComponentStatus(kLogFileComponent,
                                "Initialising monitoring for the log file " + path);
        file.follower->PositionAtEnd(path);
        switched = true;
    }
    if (switched) {
        WatchAll();
    }
}

uint32_t LogFileMonitor::RunCycle(service::ServiceContext& ctx, uint32_t) {
    const long waitSeconds = CheckAllFiles(ctx);
    if (waitSeconds > 0) {
        watcher_->Wait(ctx.stopEvent, std::chrono::seconds(waitSeconds));
    }
    return 0;
}

long LogFileMonitor::CheckAllFiles(service::ServiceContext& ctx) {
    bool anyDateMacros = false;
    for (MonitoredFile& file : files_) {
        if (!file.available || !file.follower) {
            continue;
        }
        anyDateMacros = anyDateMacros || file.usesDateMacros;
        try {
            if (!CheckLatestLogFileMessages(ctx, file)) {
                return 0;
            }
        } catch (const std::exception& e) {
            companion::Logger(kModule, "CheckLatestLogFileMessages")(
                1, "The log file ", file.follower->Path(), " could not be checked: ", e.what());
        }
    }
    if (anyDateMacros) {
        SwitchDays(ctx);
    }
    long waitSeconds = pollSeconds_;
    if (anyDateMacros) {
        waitSeconds = std::min(waitSeconds, SecondsToMidnight(ctx.clock.LocalNow()) + 1);
    }
    return std::max(1L, waitSeconds);
}

bool LogFileMonitor::CheckLatestLogFileMessages(service::ServiceContext& ctx, MonitoredFile& file) {
    const companion::Logger log(kModule, "CheckLatestLogFileMessages");
    LogFollower& follower = *file.follower;
    bool stopping = false;
    follower.ReadNew(
        file.scanner->Empty() ? nullptr : file.scanner.get(),
        [&](std::string_view line) {
            if (ctx.Stopping()) {
                log(3, "The Tessel Monitor is being shutdown");
                stopping = true;
                return false;
            }
            if (!file.scanner->Empty()) {
                EvaluateRecord(ctx, file, line);
            }
            return true;
        },
        [&](FollowNotice notice, const std::string& detail) {
            switch (notice) {
                case FollowNotice::kReset:
                    ctx.PostComponentStatus(kLogFileComponent,
                                            "The Log File " + follower.Path() +
                                                " has been changed. Repositioning "
                                                "scan");
                    log(2, "Warning: The log file ", follower.Path(),
                        " has been reset. Monitoring will continue from the new location");
                    break;
                case FollowNotice::kReplaced:
                    log(2, "Warning: The log file ", follower.Path(),
                        " has been replaced by a new file. Monitoring continues from its "
                        "beginning");
                    break;
                case FollowNotice::kLongRecord:
                    log(2,
                        "Warning: The log record exceeds the maximum permitted limit in the file ",
                        follower.Path(), ". Continuing from the end of the record");
                    break;
                case FollowNotice::kUnreadable:
                    log(1, "The log file ", follower.Path(), " cannot be read: ", detail);
                    break;
            }
        });
    return !stopping;
}

bool LogFileMonitor::EvaluateRecord(service::ServiceContext& ctx, MonitoredFile& file,
                                    std::string_view line) {
    const std::string& path = file.follower->Path();
    ctx.PostComponentStatus(kLogFileComponent, "Entry found in log file " + path);
    const std::string record = PrintableText(line);
    bool alerted = false;
    for (const LogCheck& check : file.checks) {
        if (MatchKeywords(record, check.matchAll ? 1 : 0, check.include) == 0) {
            continue;
        }
        if (duplicates_.IsRecentDuplicate(path, record, ctx.clock.TickCount())) {
            ctx.PostComponentStatus(kLogFileComponent,
                                    "Inbound text already alerted within timeframe - it will be "
                                    "ignored");
            continue;
        }
        if (MatchKeywords(record, 0, check.exclude) != 0) {
            continue;
        }
        ctx.PostComponentStatus(kLogFileComponent, "Entry is configured for alerting");
        MatchContext match{"Log File", ". ", "Log File " + path, path, false};
        if (ActOnMatch(ctx, check, record, match) && ctx.enableWebReports) {
            recent_.Add({check.name, {}, record});
        }
        alerted = true;
    }
    return alerted;
}

void LogFileMonitor::WriteWebData(service::ServiceContext&, service::ReportRequest& request) {
    WriteRecentSection(request.page, "Latest Logged Records ...",
                       "<th>Log File</th><th>Message Text</th>", false, checkCount_, recent_);
}

void VerifyLogFiles(service::ServiceContext& ctx) {
    RunPublishedMonitor(ctx, kLogFileComponent, std::make_shared<LogFileMonitor>());
}

std::shared_ptr<LogFileMonitor> CurrentLogFileMonitor(const service::ServiceContext& ctx) {
    return std::dynamic_pointer_cast<LogFileMonitor>(ctx.PublishedMonitor(kLogFileComponent));
}

}  // namespace kvzn::logmon
