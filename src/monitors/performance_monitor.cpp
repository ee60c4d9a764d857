// The performance counter monitor: configuration, start sequence, sampling cycle, the
// evaluation of one sample, and the data of the status and history pages.
#include "monitors/performance_monitor.h"

#include <algorithm>
#include <exception>
#include <limits>

#include "alerting/dispatcher.h"
#include "alerting/message_text.h"
#include "companion/activity_log.h"
#include "config/numbered_lists.h"
#include "config/registry_names.h"
#include "platform/file.h"
#include "responses/response_runner.h"
#include "service/config_status.h"
#include "service/monitor_schedule.h"

namespace kvzn::monitors {

namespace {

constexpr std::string_view kModule = kPerformanceModule;
constexpr const char* kSection = "Performance";
constexpr int kRecheckEvery = 6;
constexpr uint32_t kAllLevels = 1023;

const service::MonitorIdentity kIdentity{
    "PerformanceCounter",
    kPerformanceComponent,
    kPerformanceModule,
    "There are no monitoring tasks to perform or the monitoring interval is disabled. The "
    "Performance Counter Monitor will close",
    kSection,
    false,
    false};

std::string Unquoted(std::string path) {
    if (path.size() >= 2 && path.front() == '"' && path.back() == '"') {
        return path.substr(1, path.size() - 2);
    }
    return path;
}

// "(Object: %s, Counter: %s, Parent: %s, Name: %s, Index: %d)"
std::string CounterText(const CounterEntry& e) {
    return "(Object: " + e.objectName + ", Counter: " + e.counterName +
           ", Parent: " + e.instanceParent + ", Name: " + e.instanceName +
           ", Index: " + std::to_string(e.instanceIndex) + ")";
}

std::string ThresholdText(const CounterEntry& e) {
    const std::string t = std::to_string(e.threshold) + e.suffix;
    switch (e.comparison) {
        case 1:
            return "= " + t;
        case 2:
            return "> " + t;
        case 5:
            return "< " + t + " (> 0)";
        default:
            return "< " + t;
    }
}

// Width of the status page bar for `value`, 0 to 100.
int BarPercent(const CounterEntry& e, int64_t value, int64_t raw) {
    double p = 0;
    if (e.threshold == 0) {
        p = value > 0 ? 100 : 0;
    } else if (e.comparison == 3 || e.comparison == 5) {
        p = value == 0 ? 100 : static_cast<double>(e.threshold) * 100 / static_cast<double>(value);
    } else if (e.comparison == 4) {
        p = static_cast<double>(raw);
    } else {
        p = static_cast<double>(value) * 100 / static_cast<double>(e.threshold);
    }
    return static_cast<int>(std::clamp(p, 0.0, 100.0));
}

LoggedCheck ToLogged(const CounterEntry& e) {
    return {e.displayName, e.comparison, e.threshold, e.suffix};
}

void ReadEntryNumbers(const companion::Registry& registry, const std::string& key,
                      CounterEntry& e) {
    uint32_t threshold = 0;
    registry.ReadNumber(key, config::check::kActionToTake, e.responseCode);
    registry.ReadNumber(key, config::check::kAlertLevel, e.levelMask);
    registry.ReadNumber(key, config::check::kCountBeforeAction, e.countBeforeAction);
    registry.ReadNumber(key, config::check::kThreshold, threshold);
    registry.ReadNumber(key, config::check::kNonNotificationPeriod, e.nonNotificationPeriod);
    registry.ReadText(key, config::check::kCommand, e.command, 256);
    e.threshold = threshold;  // the low 32 bits; the high ones stay 0
    e.restart = e.responseCode == config::kActionRebootServer;
}

}  // namespace

int PerformanceCounter_Config(service::ServiceContext& ctx, PerformanceConfig& config) {
    const companion::Logger log(kModule, "PerformanceCounter_Config");
    const companion::Registry& registry = ctx.registry;
    config = {};
    registry.ReadNumber(config::kProductKey, config::value::kPerfInterval, config.intervalSeconds);

    const std::string logging = config::SubKey(config::subkey::kAlertLogging);
    uint32_t enableLogging = 0;
    registry.ReadNumber(logging, config::alert_logging::kEnablePerfLogging, enableLogging);
    if (enableLogging == 1) {
        std::string path;
        registry.ReadText(logging, config::alert_logging::kPerfDataFile, path, 260);
        config.csvPath = Unquoted(path);
        config.logging = !config.csvPath.empty();
        registry.ReadNumber(logging, config::alert_logging::kAutoDelTime, config.autoDeleteHours);
    }

    int count = 0;
    const std::string perf = config::SubKey(config::subkey::kPerformance);
    for (const BuiltInCounter& b : kBuiltInCounters) {
        CounterEntry e;
        e.name = b.name;
        e.displayName = b.displayName;
        e.objectName = b.object;
        e.instanceName = b.instance;
        e.counterName = b.counter;
        e.suffix = b.suffix;
        e.comparison = b.comparison;
        e.measureIncrease = b.measureIncrease;
        e.instanceIndex = config.builtIns.empty() ? 0 : -1;
        const std::string key = perf + "\\" + e.name;
        uint32_t enabled = 0;
        if (registry.ReadFlag(key, config::check::kEnabled, enabled) == 0 && enabled != 0) {
            e.enabled = true;
            ReadEntryNumbers(registry, key, e);
            ++count;
        }
        config.builtIns.push_back(std::move(e));
    }

    config::WalkNumberedSubkeys(
        registry, config::SubKey(config::subkey::kCustomPerformance), config::list::kCounterEntry,
        config::check::kEnabled, true, [&](int, const std::string& key) {
            CounterEntry e;
            e.enabled = true;
            uint32_t number = 0;
            registry.ReadNumber(key, "ResetCounterValue", number);
            e.measureIncrease = number != 0;
            number = 0;
            registry.ReadNumber(key, "InstanceIndex", number);
            e.instanceIndex = static_cast<int32_t>(number);
            registry.ReadNumber(key, "ResultComparison", e.comparison);
            ReadEntryNumbers(registry, key, e);
            registry.ReadText(key, config::check::kName, e.name, 256);
            registry.ReadText(key, config::check::kDisplayName, e.displayName, 256);
            registry.ReadText(key, "ObjectName", e.objectName, 256);
            registry.ReadText(key, "InstanceName", e.instanceName, 256);
            registry.ReadText(key, "InstanceParent", e.instanceParent, 256);
            registry.ReadText(key, "CounterName", e.counterName, 256);
            registry.ReadText(key, "DisplaySuffix", e.suffix, 20);
            config.customs.push_back(std::move(e));
            ++count;
        });
    return count;
}

int CheckCounterForError(service::ServiceContext& ctx, CounterEntry& entry, int64_t& value,
                         uint32_t now) {
    if (entry.measureIncrease) {
        const int64_t raw = value;
        value = raw - entry.previousValue;
        entry.previousValue = raw;
    }
    const std::string threshold = std::to_string(entry.threshold);
    const std::string actual = std::to_string(value);
    if (CounterFails(entry.comparison, value, entry.threshold) != 0) {
        ctx.PostComponentStatus(kPerformanceComponent,
                                "The performance value associated with test " + entry.name +
                                    " is outside permitted limits");
        std::string message = "The performance check " + entry.name +
                              " failed on this server. The threshold value is " + threshold +
                              entry.suffix + ", but the actual value is " + actual + entry.suffix +
                              " ...";
        int autoResponse = 0;
        if (!entry.responseInProgress) {
            if (entry.failureCount + 1 <= entry.countBeforeAction) {
                ++entry.failureCount;
                return 1;
            }
            std::string description;
            const unsigned result = responses::RunSpecifiedActions(
                ctx, kCategoryPerformance, entry.levelMask, entry.responseCode, entry.name, message,
                entry.restart ? 1 : 0, entry.command, entry.name, std::nullopt, std::nullopt,
                description);
            if (result == responses::kRunnerAlerted) {
                return 1;
            }
            if (result == responses::kResponseStarted) {
                entry.responseInProgress = true;
                return 1;
            }
        } else {
            entry.responseInProgress = false;
            autoResponse = 1;
            message = "Automatic response failed. The performance check " + entry.name +
                      " failed on this server and was not corrected by running the configured "
                      "action. The threshold value is " +
                      threshold + entry.suffix + ", but the actual value is " + actual +
                      entry.suffix + " ...";
        }
        alerting::NotifyError(ctx, kCategoryPerformance, entry.levelMask, entry.responseCode,
                              entry.name, entry.name, message, entry.name, threshold, actual,
                              autoResponse);
        entry.lastAlertTick = now;
        entry.failureCount = 0;
        return 1;
    }
    if (entry.responseInProgress && ctx.notifyRunningActions != 0) {
        std::string message =
            "Automatic response was successful. The performance check " + entry.name +
            " failed previously on this server. The Korvane/Tessel Monitor responded "
            "automatically and the fault has now been resolved ...";
        alerting::NotifyError(ctx, kCategoryPerformance, entry.levelMask, entry.responseCode,
                              entry.name, entry.name, message, entry.name, std::nullopt,
                              std::nullopt, 1);
    }
    entry.responseInProgress = false;
    entry.lastAlertTick = 0;
    entry.failureCount = 0;
    responses::ResetLastRebootedFor(ctx, entry.name);
    return 0;
}

struct PerformanceMonitor::State {
    PerformanceSources sources;
    PerformanceConfig config;
    int enabledChecks = 0;
    std::unique_ptr<PerformanceLog> csv;
    int cycle = 0;  // cycles since the last recheck
    uint32_t previousTick = 0;
    int statusCounter = 1;  // next "Title"/"Reason" number of the configuration status
    service::ServiceContext* ctx = nullptr;

    // The performance data lock: the query, and what the pages read of the last cycle.
    mutable std::mutex perfData;
    std::unique_ptr<counters::CounterQuery> query;
    bool dataAvailable = false;
    bool collectFailed = false;
    std::string lastChecked = "N/A";
    std::array<std::vector<PerformanceRow>, 3> rows;
    std::vector<HistoryRule> historyRules;

    // The last readings of the cycle, per entry: the raw value and the evaluated one.
    struct Reading {
        bool ok = false;
        int64_t raw = 0;
        int64_t value = 0;
    };
};

PerformanceMonitor::PerformanceMonitor(PerformanceSources sources)
    : state_(std::make_unique<State>()) {
    state_->sources = std::move(sources);
}

PerformanceMonitor::~PerformanceMonitor() = default;

const service::MonitorIdentity& PerformanceMonitor::Identity() const {
    return kIdentity;
}

int PerformanceMonitor::ReadConfiguration(service::ServiceContext& ctx) {
    State& s = *state_;
    s.enabledChecks = PerformanceCounter_Config(ctx, s.config);
    std::vector<HistoryRule> rules;
    for (const auto* list : {&s.config.builtIns, &s.config.customs}) {
        for (const CounterEntry& e : *list) {
            if (e.enabled) {
                rules.push_back({e.comparison, e.threshold});
            }
        }
    }
    std::scoped_lock lock(s.perfData);
    s.historyRules = std::move(rules);
    return s.enabledChecks;
}

bool PerformanceMonitor::IntervalsDisabled() const {
    return state_->config.intervalSeconds == 0;
}

void PerformanceMonitor::ClearAlertTicks() {
    for (auto* list : {&state_->config.builtIns, &state_->config.customs}) {
        for (CounterEntry& e : *list) {
            e.lastAlertTick = 0;
        }
    }
}

namespace {

// Adds the entry's counter to the query under the lock; false when the table refuses it.
bool AddEntryCounter(std::mutex& lock, counters::CounterQuery& query, CounterEntry& e,
                     std::string& why) {
    std::scoped_lock guard(lock);
    uint32_t handle = 0;
    if (query.AddCounter(e.Path(), handle, &why) == 1) {
        e.handle = handle;
        e.unavailable = false;
        return true;
    }
    e.handle = 0;
    e.unavailable = true;
    return false;
}

}  // namespace

bool PerformanceMonitor::Start(service::ServiceContext& ctx) {
    State& s = *state_;
    s.ctx = &ctx;
    const companion::Logger log(kModule, "PerformanceCounter");
    const int enabled = ReadConfiguration(ctx);
    if (enabled == 0 || IntervalsDisabled()) {
        if (!s.config.csvPath.empty()) {
            platform::RemoveFile(s.config.csvPath);
        }
        log(3, kIdentity.closingSentence);
        service::RecordConfigStatus(ctx, kSection, service::kNoConfigValues, 0, {});
        return false;
    }

    if (s.config.logging) {
        ctx.PostComponentStatus(kPerformanceComponent,
                                "Data is being logged to " + s.config.csvPath);
        s.csv = std::make_unique<PerformanceLog>(s.config.csvPath, s.config.autoDeleteHours,
                                                 ctx.DateFormat(), ctx.clock);
        std::vector<LoggedCheck> columns;
        for (const auto* list : {&s.config.builtIns, &s.config.customs}) {
            for (const CounterEntry& e : *list) {
                if (e.enabled) {
                    columns.push_back(ToLogged(e));
                }
            }
        }
        if (s.csv->Prepare(HeadingLine(columns)) == 0) {
            s.csv.reset();
        }
    }
    if (ctx.Stopping()) {
        log(3, "The Tessel Monitor is being shutdown");
        return false;
    }

    {
        std::scoped_lock lock(s.perfData);
        ctx.PostComponentStatus(kPerformanceComponent,
                                "Initialising performance monitoring library");
        auto query = std::make_unique<counters::CounterQuery>(ctx.clock, s.sources.root,
                                                              s.sources.makeSpooler);
        std::string why;
        if (query->Open(&why) == 0) {
            ctx.PostComponentStatus(kPerformanceComponent,
                                    "Monitoring disabled - Unable to initialise Performance Data");
            log(1,
                "An error occurred whilst creating the PDH query #1. Performance data will be "
                "unavailable (",
                why, ")");
            alerting::BroadcastConfigurationFailure(
                ctx, kCategoryPerformance,
                "Performance checks cannot be performed on this Server because an error occurred "
                "whilst initialising Performance Counters. Please contact the System "
                "Administrator");
            return false;
        }
        s.query = std::move(query);
    }

    bool anyFailed = false;
    const auto addAll = [&](std::vector<CounterEntry>& list, const char* what) {
        int position = 0;
        for (CounterEntry& e : list) {
            ++position;
            if (!e.enabled) {
                continue;
            }
            std::string why;
            if (!AddEntryCounter(s.perfData, *s.query, e, why)) {
                anyFailed = true;
                log(1, "Unable to add ", what, position, " (", e.name, "). Skipping entry (", why,
                    ")");
                const std::string counter = CounterText(e);
                if (!ctx.firstRun) {
                    std::string message =
                        "The performance check " + e.name +
                        " cannot be performed on this Server because an error occurred whilst "
                        "initialising the Performance Counter. The counter " +
                        counter +
                        " is not available or valid on this host. This may indicate one or more "
                        "software components or counters are not installed. In this case, to "
                        "prevent this warning appearing again, please disable the appropriate "
                        "option in the Configuration utility. For more information, please "
                        "contact the System Administrator ...";
                    alerting::NotifyError(ctx, kCategoryPerformance, e.levelMask, e.responseCode,
                                          "Performance Monitor Error", e.name, message, e.name);
                }
                service::RecordConfigStatus(ctx, kSection, "Title", s.statusCounter, e.displayName);
                service::RecordConfigStatus(
                    ctx, kSection, "Reason", s.statusCounter,
                    "Error initialising the Performance Counter. The counter " + counter +
                        " is currently unavaialble on this host");
                ++s.statusCounter;
            }
            if (ctx.Stopping()) {
                return false;
            }
        }
        return true;
    };
    if (!addAll(s.config.builtIns, "performance counter ")) {
        log(3, "The Tessel Monitor is being shutdown");
        return false;
    }
    ctx.PostComponentStatus(kPerformanceComponent, "Initialising custom performance counters");
    if (!addAll(s.config.customs, "custom performance counter ")) {
        log(3, "The Tessel Monitor is being shutdown");
        return false;
    }
    if (anyFailed && !ctx.enableWebReports && !ctx.firstRun) {
        std::string message =
            "One or more performance checks cannot be performed on server " + ctx.computerName +
            " at the present time. The provider may be unavailable or the "
            "Counter is not installed on this server. Please refer to the file " +
            service::ConfigStatusPath(ctx) + " for more information on this error ...";
        alerting::NotifyError(ctx, kCategoryPerformance, kAllLevels, 0, "Performance Monitor Error",
                              "Performance Monitor Error", message);
    }

    // The first collection: the starting point of rates and increases.
    {
        std::scoped_lock lock(s.perfData);
        s.query->Collect();
    }
    ctx.PostComponentStatus(kPerformanceComponent, "Performing initial data fetch");
    for (auto* list : {&s.config.builtIns, &s.config.customs}) {
        for (CounterEntry& e : *list) {
            if (!e.enabled || e.unavailable || !e.measureIncrease) {
                continue;
            }
            std::scoped_lock lock(s.perfData);
            int64_t value = 0;
            if (s.query->ReadValue(e.handle, value) == 1) {
                e.previousValue = value;
            } else {
                log(2, "The counter of ", e.name,
                    " cannot be read: ", s.query->ReadFailure(e.handle));
                s.query->RemoveCounter(e.handle);
                e.handle = 0;
                e.unavailable = true;
                service::RecordConfigStatus(ctx, kSection, "Title", s.statusCounter, e.displayName);
                service::RecordConfigStatus(ctx, kSection, "Reason", s.statusCounter,
                                            "Information for the Performance Counter " +
                                                CounterText(e) +
                                                " is currently unavaialble on this host");
                ++s.statusCounter;
            }
        }
    }
    if (ctx.Stopping()) {
        log(3, "The Tessel Monitor is being shutdown");
        return false;
    }
    return true;
}

void PerformanceMonitor::Run(service::ServiceContext& ctx) {
    State& s = *state_;
    const companion::Logger log(kModule, "PerformanceCounter");
    const bool cycles = Start(ctx);
    ctx.SetPerformanceReady();
    if (!cycles) {
        return;
    }
    if (ctx.WaitForStop(std::chrono::seconds(1))) {
        log(3, "The Tessel Monitor is being shutdown");
        return;
    }

    for (;;) {
        const uint32_t now = ctx.clock.TickCount();
        uint32_t wait = s.config.intervalSeconds * 1000;
        try {
            wait = RunCycle(ctx, now);
        } catch (const std::exception& e) {
            log(1, "The monitoring cycle ended on an unexpected error: ", e.what());
        }
        if (ctx.WaitForStop(std::chrono::milliseconds(wait))) {
            log(3, "The Tessel Monitor is being shutdown");
            std::scoped_lock lock(s.perfData);
            s.query.reset();
            return;
        }
    }
}

uint32_t PerformanceMonitor::RunCycle(service::ServiceContext& ctx, uint32_t now) {
    State& s = *state_;
    const companion::Logger log(kModule, "PerformanceCounter");
    const uint32_t intervalMs =
        s.config.intervalSeconds > std::numeric_limits<uint32_t>::max() / 1000
            ? std::numeric_limits<uint32_t>::max()
            : s.config.intervalSeconds * 1000;
    if (!s.query) {
        return intervalMs;
    }
    if (now < s.previousTick) {
        ClearAlertTicks();  // the 32-bit tick wrapped after about 49.7 days
    }
    s.previousTick = now;
    if (s.cycle != 0 && s.cycle % kRecheckEvery == 0) {
        ctx.PostComponentStatus(kPerformanceComponent, "Rechecking available counters");
        s.statusCounter = 1;
        service::RecordConfigStatus(ctx, kSection, {}, 0, {});
        for (auto* list : {&s.config.builtIns, &s.config.customs}) {
            for (CounterEntry& e : *list) {
                if (!e.enabled || !e.unavailable) {
                    continue;
                }
                std::string why;
                if (AddEntryCounter(s.perfData, *s.query, e, why)) {
                    log(3, "The performance counter of ", e.name, " is available again");
                    continue;
                }
                service::RecordConfigStatus(ctx, kSection, "Title", s.statusCounter, e.displayName);
                service::RecordConfigStatus(
                    ctx, kSection, "Reason", s.statusCounter,
                    "Error initialising the Performance Counter. The counter " + CounterText(e) +
                        " is currently unavaialble on this host");
                ++s.statusCounter;
            }
        }
    }
    ++s.cycle;

    ctx.PostComponentStatus(kPerformanceComponent, "Retrieving performance data from Windows");
    bool collected = false;
    {
        std::scoped_lock lock(s.perfData);
        collected = s.query->Collect() == 1;
        s.collectFailed = !collected;
    }
    if (!collected) {
        log(1, "Unable to retrieve Windows Performance Data");
    } else {
        std::vector<int64_t> csvRow;
        std::array<std::vector<PerformanceRow>, 3> rows;
        const auto sample = [&](CounterEntry& e, bool custom, std::vector<PerformanceRow>& out) {
            if (!e.enabled) {
                return;
            }
            int64_t raw = 0;
            bool ok = false;
            std::string failure = "the counter is not available";
            {
                std::scoped_lock lock(s.perfData);
                if (e.handle != 0) {
                    ok = s.query->ReadValue(e.handle, raw) == 1;
                    if (!ok) {
                        failure = s.query->ReadFailure(e.handle);
                    }
                }
            }
            if (!ok) {
                raw = 0;
            }
            csvRow.push_back(ok ? raw : kNotRead);
            int64_t value = e.measureIncrease ? raw - e.previousValue : raw;
            if (!e.unavailable &&
                service::IsIntervalElapsed(now, e.lastAlertTick, e.nonNotificationPeriod) != 0) {
                if (ok) {
                    try {
                        value = raw;
                        CheckCounterForError(ctx, e, value, now);
                    } catch (const std::exception& ex) {
                        log(1, "The check ", e.name, " ended on an unexpected error: ", ex.what());
                    }
                } else {
                    log(1, "The performance counter of ", e.name, " cannot be read: ", failure);
                    {
                        std::scoped_lock lock(s.perfData);
                        s.query->RemoveCounter(e.handle);
                    }
                    e.handle = 0;
                    e.unavailable = true;
                    if (custom) {
                        ctx.PostComponentStatus(
                            kPerformanceComponent,
                            "Counter error detected for Object: " + e.objectName +
                                ", Counter: " + e.counterName + ", Parent: " + e.instanceParent +
                                ", Name: " + e.instanceName +
                                ", Index: " + std::to_string(e.instanceIndex));
                    }
                    service::RecordConfigStatus(ctx, kSection, "Title", s.statusCounter,
                                                e.displayName);
                    service::RecordConfigStatus(ctx, kSection, "Reason", s.statusCounter,
                                                "Information for the Performance Counter " +
                                                    CounterText(e) +
                                                    " is currently unavaialble on this host");
                    ++s.statusCounter;
                }
            }
            PerformanceRow row;
            row.displayName = e.displayName;
            row.available = ok;
            row.thresholdText = ThresholdText(e);
            if (ok) {
                row.valueText = e.measureIncrease ? std::to_string(value) + e.suffix + " (" +
                                                        std::to_string(raw) + e.suffix + ")"
                                                  : std::to_string(raw) + e.suffix;
                row.failed = CounterFails(e.comparison, value, e.threshold) != 0;
                row.percent = BarPercent(e, value, raw);
            } else {
                row.valueText = "N/A";
            }
            out.push_back(std::move(row));
        };
        ctx.PostComponentStatus(kPerformanceComponent, "Verifying performance data");
        for (size_t i = 0; i < s.config.builtIns.size(); ++i) {
            sample(s.config.builtIns[i], false, rows[i < 8 ? 0 : 1]);
        }
        ctx.PostComponentStatus(kPerformanceComponent, "Verifying custom performance data");
        for (CounterEntry& e : s.config.customs) {
            sample(e, true, rows[2]);
        }
        if (s.csv) {
            s.csv->AppendRow(csvRow);
        }
        std::string time = alerting::StandardTimeText(ctx.DateFormat(), ctx.clock);
        std::scoped_lock lock(s.perfData);
        s.rows = std::move(rows);
        s.lastChecked = std::move(time);
        s.dataAvailable = true;
    }
    ctx.PostComponentStatus(
        kPerformanceComponent,
        "Waiting for next check time in " + std::to_string(s.config.intervalSeconds) + " seconds");
    return intervalMs;
}

PerformanceWebData PerformanceMonitor::WebData() const {
    const State& s = *state_;
    PerformanceWebData data;
    std::unique_lock lock(s.perfData, std::try_to_lock);
    if (!lock.owns_lock()) {
        for (PerformanceGroup& g : data.groups) {
            g.state = PerformanceGroup::State::kBusy;
        }
        return data;
    }
    data.lastChecked = s.lastChecked;
    if (!s.dataAvailable) {
        return data;
    }
    for (size_t i = 0; i < data.groups.size(); ++i) {
        PerformanceGroup& g = data.groups[i];
        if (s.collectFailed) {
            g.state = PerformanceGroup::State::kError;
        } else if (!s.rows[i].empty()) {
            g.state = PerformanceGroup::State::kRows;
            g.rows = s.rows[i];
        }
    }
    return data;
}

std::vector<HistoryRule> PerformanceMonitor::HistoryRules() const {
    std::scoped_lock lock(state_->perfData);
    return state_->historyRules;
}

const std::vector<CounterEntry>& PerformanceMonitor::BuiltIns() const {
    return state_->config.builtIns;
}

const std::vector<CounterEntry>& PerformanceMonitor::Customs() const {
    return state_->config.customs;
}

void PerformanceCounter(service::ServiceContext& ctx) {
    auto monitor = std::make_shared<PerformanceMonitor>();
    ctx.PublishMonitor(kPerformanceComponent, monitor);
    try {
        monitor->Run(ctx);
    } catch (const std::exception& e) {
        companion::Logger(kModule, "PerformanceCounter")(
            1, "The performance monitor ended on an unexpected error: ", e.what());
        ctx.SetPerformanceReady();
    }
    if (ctx.Stopping()) {
        ctx.WithdrawMonitor(kPerformanceComponent, monitor.get());
    }
}

std::shared_ptr<PerformanceMonitor> CurrentPerformanceMonitor(const service::ServiceContext& ctx) {
    return std::dynamic_pointer_cast<PerformanceMonitor>(
        ctx.PublishedMonitor(kPerformanceComponent));
}

PerformanceWebData PerformanceCounterWebData(const service::ServiceContext& ctx) {
    const std::shared_ptr<PerformanceMonitor> monitor = CurrentPerformanceMonitor(ctx);
    return monitor ? monitor->WebData() : PerformanceWebData{};
}

PerformanceHistory PerformanceCounterHistory(service::ServiceContext& ctx, int rows) {
    PerformanceHistory history;
    history.rowsAsked = rows <= 0 ? 100 : rows;
    const std::string logging = config::SubKey(config::subkey::kAlertLogging);
    uint32_t enabled = 0;
    ctx.registry.ReadNumber(logging, config::alert_logging::kEnablePerfLogging, enabled);
    history.loggingEnabled = enabled == 1;
    if (!history.loggingEnabled) {
        return history;
    }
    std::string path;
    ctx.registry.ReadText(logging, config::alert_logging::kPerfDataFile, path, 260);
    history.path = Unquoted(path);
    ctx.PostComponentStatus(kPerformanceComponent, "Processing logged data");
    platform::Result<std::string> text = platform::ReadWholeFile(history.path);
    if (!text.ok()) {
        return history;
    }
    std::vector<HistoryRule> rules;
    if (const std::shared_ptr<PerformanceMonitor> monitor = CurrentPerformanceMonitor(ctx)) {
        rules = monitor->HistoryRules();
    } else {
        PerformanceConfig config;
        PerformanceCounter_Config(ctx, config);
        for (const auto* list : {&config.builtIns, &config.customs}) {
            for (const CounterEntry& e : *list) {
                if (e.enabled) {
                    rules.push_back({e.comparison, e.threshold});
                }
            }
        }
    }
    history.fileRead = ProcessLoggedData(*text, history.rowsAsked, rules, history.table) == 1;
    return history;
}

}  // namespace kvzn::monitors
