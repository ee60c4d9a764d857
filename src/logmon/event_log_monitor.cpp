// The event log monitor over the systemd journal.
#include "logmon/event_log_monitor.h"

#include <chrono>
#include <cstdlib>
#include <exception>

#include "alerting/alert_store.h"
#include "alerting/dispatcher.h"
#include "alerting/message_text.h"
#include "config/registry_names.h"
#include "platform/file.h"
#include "platform/readiness.h"
#include "platform/text.h"
#include "service/config_status.h"

namespace kvzn::logmon {

namespace {

constexpr std::string_view kModule = "kvZNEventLog";
constexpr std::string_view kSection = "EventLogs";

const service::MonitorIdentity kIdentity{
    "VerifyEventLogs",
    kEventLogComponent,
    kModule,
    "There are no monitoring tasks to perform. The Event Log Monitor will close",
    kSection,
    false,
    false,
};

std::string StandardLogName(uint32_t type, const std::string& file) {
    if (!file.empty() || type == 5) {
        return file;
    }
    return type == 0 ? "Application" : type == 1 ? "System" : "Security";
}

// A file name for a log's cursor: letters and digits kept, everything else "_".
std::string CursorFileName(std::string_view logName) {
    std::string name = "EventLogCursor_";
    for (char c : logName) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        name.push_back(keep ? c : (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : '_');
    }
    return name + ".txt";
}

}  // namespace

EventLogMonitor::EventLogMonitor(JournalOpener open)
    : open_(open ? std::move(open) : JournalOpener(platform::OpenJournal)) {}

const service::MonitorIdentity& EventLogMonitor::Identity() const {
    return kIdentity;
}

int EventLogMonitor::ReadConfiguration(service::ServiceContext& ctx) {
    const companion::Logger log(kModule, "ReadEventLogConfig");
    logs_.clear();
    checkCount_ =
        ReadLogChecks(ctx, IsEventLogType, [&](uint32_t type, std::string file, LogCheck check) {
            const std::string name = StandardLogName(type, file);
            if (!check.hasKeywords) {
                ReportNoKeywords(ctx, log, kSection, check);
            }
            for (MonitoredLog& entry : logs_) {
                if (platform::EqualsNoCase(entry.name, name)) {
                    entry.checks.push_back(std::move(check));
                    return;
                }
            }
            MonitoredLog entry;
            entry.name = name;
            entry.kind = KindOfLog(name);
            entry.cursorPath = ctx.dataDirectory + "/" + CursorFileName(name);
            entry.checks.push_back(std::move(check));
            logs_.push_back(std::move(entry));
        });
    uint32_t poll = 0;
    if (ctx.registry.ReadNumber(config::kProductKey, config::value::kEventLogPollInterval, poll) ==
            0 &&
        poll >= 1) {
        pollSeconds_ = poll;
    }
    if (const char* dir = std::getenv(kJournalDirVariable); dir != nullptr && *dir != '\0') {
        journalDirectory_ = dir;
    }
    return checkCount_;
}

bool EventLogMonitor::MonitorEventLog(service::ServiceContext& ctx, MonitoredLog& entry) {
    const companion::Logger log(kModule, "MonitorEventLog");
    ctx.PostComponentStatus(kEventLogComponent,
                            "Initialising monitoring for the " + entry.name + " Event Log");
    auto opened = open_(journalDirectory_);
    platform::Status failure;
    if (opened.ok()) {
        entry.journal = std::move(*opened);
        if (entry.kind == LogKind::kCustom) {
            for (const std::string& match : CustomLogMatches(entry.name)) {
                failure =
                    match == "+" ? entry.journal->AddDisjunction() : entry.journal->AddMatch(match);
                if (!failure.ok()) {
                    break;
                }
            }
        }
    } else {
        failure = opened.status();
    }
    if (failure.ok()) {
        ctx.PostComponentStatus(kEventLogComponent, "Locating current position");
        auto saved = platform::ReadWholeFile(entry.cursorPath);
        const std::string cursor = saved.ok() ? std::string(platform::TrimBlanks(*saved)) : "";
        if (!cursor.empty()) {
            auto found = entry.journal->SeekAfterCursor(cursor);
            if (!found.ok()) {
                failure = found.status();
            } else if (!*found) {
                log(2, "Warning: The last record read from the ", entry.name,
                    " Event Log is no longer in the journal. Monitoring continues with the oldest "
                    "record after it");
            }
        } else {
            auto end = entry.journal->SeekToEnd();
            if (!end.ok()) {
                failure = end.status();
            } else if (*end) {
                SaveCursor(entry, **end);
            }
        }
    }
    if (failure.ok()) {
        entry.available = true;
        return true;
    }
    entry.journal.reset();
    entry.available = false;
    log(1, "The event log ", entry.name,
        " could not be accessed. Please check the name matches an available event log and "
        "contact your System Administrator. Error: ",
        failure.Text());
    if (!ctx.firstRun) {
        std::string message = "Please investigate - the event log " + entry.name +
                              " cannot be monitored because it does not exist on this host. Please "
                              "report this error to the System Administrator";
        alerting::NotifyError(ctx, alerting::kCategoryLogs, alerting::kAllLevels, 0,
                              "Monitor/Configuration Error", entry.name + " Event Log", message,
                              entry.name + " Event Log", entry.name);
    }
    ++unavailableCount_;
    service::RecordConfigStatus(ctx, kSection, "Title", unavailableCount_, entry.name);
    service::RecordConfigStatus(ctx, kSection, "Reason", unavailableCount_,
                                "Event log file does not exist on this server");
    return false;
}

void EventLogMonitor::Prepare(service::ServiceContext& ctx) {
    const companion::Logger log(kModule, "VerifyEventLogs");
    for (MonitoredLog& entry : logs_) {
        if (!MonitorEventLog(ctx, entry)) {
            log(2, "Warning: Unable to monitor the Windows Event Log: ", entry.name);
        }
    }
}

uint32_t EventLogMonitor::RunCycle(service::ServiceContext& ctx, uint32_t) {
    std::vector<int> fds;
    for (MonitoredLog& entry : logs_) {
        fds.push_back(entry.available ? entry.journal->ChangeDescriptor() : -1);
    }
    const int woke =
        platform::WaitForReadable(fds, ctx.stopEvent, std::chrono::seconds(pollSeconds_));
    if (woke != platform::kWaitStopped) {
        ProcessAll(ctx);
    }
    return 0;
}

void EventLogMonitor::ProcessAll(service::ServiceContext& ctx) {
    for (MonitoredLog& entry : logs_) {
        if (!entry.available) {
            continue;
        }
        if (entry.journal->ProcessChanges() == platform::JournalChange::kInvalidated) {
            companion::Logger(kModule, "ProcessEventLog")(
                4, "The journal files of the ", entry.name,
                " Event Log changed; reading continues after the last record read");
        }
        if (!ProcessEventLog(ctx, entry)) {
            return;
        }
    }
}

bool EventLogMonitor::ProcessEventLog(service::ServiceContext& ctx, MonitoredLog& entry) {
    const companion::Logger log(kModule, "ProcessEventLog");
    for (;;) {
        if (ctx.Stopping()) {
            log(3, "The Tessel Monitor is being shutdown");
            return false;
        }
        auto next = entry.journal->Next();
        if (!next.ok()) {
            log(1, "The ", entry.name, " Event Log could not be read: ", next.status().Text());
            return true;
        }
        if (!next->has_value()) {
            return true;
        }
        const platform::JournalRecord& record = **next;
        try {
            if (BelongsToLog(entry.kind, record)) {
                EventRecord event = MapJournalRecord(record);
                event.message = PrintableText(event.message);
                ctx.PostComponentStatus(kEventLogComponent,
                                        "Event " + std::to_string(event.eventId) +
                                            " has been detected in the Event Log");
                Evaluate(ctx, entry, event);
            }
        } catch (const std::exception& e) {
            log(1, "A record of the ", entry.name, " Event Log could not be evaluated: ", e.what());
        }
        SaveCursor(entry, record.cursor);
    }
}

void EventLogMonitor::Evaluate(service::ServiceContext& ctx, MonitoredLog& entry,
                               const EventRecord& event) {
    const std::string id = std::to_string(event.eventId);
    bool duplicateTested = false;
    for (const LogCheck& check : entry.checks) {
        if (MatchKeywords(event.message, 0, check.exclude) != 0) {
            continue;
        }
        if (!check.eventId.empty() && !platform::EqualsNoCase(check.eventId, id)) {
            continue;
        }
        if (!check.source.empty() && !platform::EqualsNoCase(check.source, event.source)) {
            continue;
        }
        if (!EventTypeMatches(event.type, check.eventType)) {
            continue;
        }
        if (check.hasKeywords &&
            MatchKeywords(event.message, check.matchAll ? 1 : 0, check.include) == 0) {
            continue;
        }
        // Only a record some check wants enters the duplicate filter: one journal entry can
        // belong to several logs, and a log without interest in it must not swallow it.
        if (!duplicateTested) {
            duplicateTested = true;
            if (duplicates_.IsRecentDuplicate(event.source, event.message, ctx.clock.TickCount())) {
                ctx.PostComponentStatus(kEventLogComponent,
                                        "Inbound event already alerted within timeframe - it will "
                                        "be ignored");
                return;
            }
        }
        ctx.PostComponentStatus(kEventLogComponent, "Event is configured for alerting");
        MatchContext match{"Event Log", "", entry.name + " Event Log", entry.name, true};
        if (ActOnMatch(ctx, check, event.message, match) && ctx.enableWebReports) {
            recent_.Add({check.name, alerting::StandardTimeText(ctx.DateFormat(), ctx.clock),
                         event.message});
        }
    }
}

void EventLogMonitor::SaveCursor(const MonitoredLog& entry, const std::string& cursor) {
    // Renamed into place: a restart finds the old or the new cursor, never a torn one.
    const platform::Status saved = platform::WriteFileAtomically(entry.cursorPath, cursor + "\n",
                                                                 0600, platform::Durability::kNone);
    if (!saved.ok()) {
        companion::Logger(kModule, "ProcessEventLog")(
            1, "The position in the ", entry.name, " Event Log could not be saved: ", saved.Text());
    }
}

void EventLogMonitor::WriteWebData(service::ServiceContext&, service::ReportRequest& request) {
    WriteRecentSection(request.page, "Latest Event Log Records ...",
                       "<th>Event Log</th><th>Time</th><th>Message (Source, Event ID)</th>", true,
                       checkCount_, recent_);
}

void VerifyEventLogs(service::ServiceContext& ctx) {
    RunPublishedMonitor(ctx, kEventLogComponent, std::make_shared<EventLogMonitor>());
}

std::shared_ptr<EventLogMonitor> CurrentEventLogMonitor(const service::ServiceContext& ctx) {
    return std::dynamic_pointer_cast<EventLogMonitor>(ctx.PublishedMonitor(kEventLogComponent));
}

}  // namespace kvzn::logmon
