// ServiceMain: settings, directories, events, worker threads, the run and the shut-down.
#include "service/service_host.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <system_error>

#include "companion/activity_log.h"
#include "config/log_settings.h"
#include "config/registry_names.h"
#include "platform/file.h"
#include "service/service_identity.h"
#include "service/trace.h"

namespace kvzn::service {

namespace {

constexpr std::string_view kModule = "kvZNPrint";
namespace value = config::value;

const char* const kMissingSettingHome =
    "The Korvane/Tessel Print Monitor cannot be started because the required local "
    "configuration settings (home) are not defined. Please contact the System Administrator";
std::string MissingSettingMessage(std::string_view setting) {
    return "The Korvane/Tessel Print Monitor cannot be started because the required local "
           "configuration settings (" +
           std::string(setting) + ") are not defined. Please contact the System Administrator";
}

std::string ShortHostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        return "localhost";
    }
    std::string host = name;
    if (auto dot = host.find('.'); dot != std::string::npos) {
        host.resize(dot);
    }
    return host;
}

}  // namespace

ServiceHost::ServiceHost(companion::Registry& registry, platform::Clock& clock,
                         StatusReporter& status, ComponentTable table, HostTimings timings)
    : context_(std::make_shared<ServiceContext>(registry, clock, status)),
      table_(std::move(table)),
      timings_(timings) {}

ServiceHost::~ServiceHost() {
    // A host that is destroyed without a shut-down (a test that failed half-way) still must
    // not leave joinable threads behind.
    context_->ResumeAll();
    context_->stopEvent.Set();
    std::scoped_lock lock(tableMutex_);
    for (ThreadSlot& slot : slots_) {
        Release(slot);
    }
    Release(web_);
}

bool ServiceHost::Report(ServiceStatusState state, uint32_t waitHint) {
    return context_->status.Report(state, 0, waitHint) == 1;
}

void ServiceHost::Abort(const std::string& message) {
    Report(ServiceStatusState::StopPending);
    companion::Logger(kModule, "ServiceMain")(1, message);
    Report(ServiceStatusState::Stopped, 0);
}

void ServiceHost::AbortAndClean(const std::string& message, int error) {
    Report(ServiceStatusState::StopPending);
    if (error >= 0) {
        companion::Logger(kModule, "ServiceMain")(1, message, error);
    } else {
        companion::Logger(kModule, "ServiceMain")(1, message);
    }
    ServiceStop();
    CleanupMonitor();
    Report(ServiceStatusState::Stopped, 0);
}

void ServiceHost::FetchAndSetLogging() {
    std::string file;
    if (!config::ApplyLogSettings(context_->registry, companion::ActivityLog::Process(), &file)) {
        companion::Logger(kModule, "FetchAndSetLogging")(
            2, "The new log file (", file,
            ") cannot be used. Logging will continue to use the original or default file");
    }
}

int ServiceHost::CreateRequiredDirectories() {
    const companion::Logger log("kvZNShared", "CreateRequiredDirectories");
    auto make = [](const std::string& dir) { return platform::MakeDirectory(dir).ok(); };
    if (!make(context_->dataDirectory)) {
        log(1, "An error occurred whilst creating the Tessel Monitor data directory (",
            context_->dataDirectory, ")");
        return 0;
    }
    if (!make(context_->htmlTargetDirectory)) {
        log(1, "An error occurred whilst creating the Tessel Monitor HTML Target directory (",
            context_->htmlTargetDirectory, ")");
        return 0;
    }
    return 1;
}

void ServiceHost::DeleteOldReportPages() {
    platform::DeleteMatchingFiles(context_->htmlTargetDirectory, "PRT*_*.htm");
}

// Temporary files in the data directory that were there before this run began are removed:
// a run that ended abruptly left them. Those of this run may still become records.
void ServiceHost::PrepareDataDirectory() {
    platform::MakeDirectory(context_->dataDirectory);
    platform::DeleteMatchingFiles(context_->dataDirectory, "*.tmp", runStartNs_.load());
}

void ServiceHost::Release(ThreadSlot& slot) {
    if (slot.thread.joinable()) {
        if (slot.finished && slot.finished->IsSet()) {
            slot.thread.join();
        } else {
            slot.thread.detach();  // never killed: it ends on its own, the context lives on
        }
    }
    slot.finished.reset();
}

bool ServiceHost::StartComponent(const ComponentEntry& entry) {
    auto finished = std::make_shared<platform::Event>();
    std::shared_ptr<ServiceContext> context = context_;
    std::thread thread;
    try {
        thread = std::thread([context, finished, body = entry.body, name = entry.name] {
            try {
                if (body) {
                    body(*context);
                }
            } catch (const std::exception& e) {
                companion::Logger(kModule, name)(
                    1, "The thread ended on an unexpected error: ", e.what());
            } catch (...) {
                companion::Logger(kModule, name)(1, "The thread ended on an unexpected error");
            }
            finished->Set();
        });
    } catch (const std::system_error& e) {
        AbortAndClean(entry.failureMessage, e.code().value());
        return false;
    }
    std::scoped_lock lock(tableMutex_);
    ThreadSlot& slot = entry.slot == kWebSlot ? web_ : slots_.at(static_cast<size_t>(entry.slot));
    slot.thread = std::move(thread);
    slot.finished = std::move(finished);
    startedSlots_.push_back(entry.slot);
    return true;
}

std::vector<int> ServiceHost::StartedSlots() const {
    std::scoped_lock lock(tableMutex_);
    return startedSlots_;
}

void ServiceHost::ServiceMain(int /*argc*/, char** /*argv*/) {
    ServiceContext& ctx = *context_;
    companion::Registry& reg = ctx.registry;
    const companion::Logger log(kModule, "ServiceMain");
    auto report = [&]() {
        if (Report(ServiceStatusState::StartPending)) {
            return true;
        }
        log(1, "Unable to contact the SCM. The Tessel Monitor will exit");
        return false;
    };

    runStartNs_ = platform::FileClockNowNs();
    FetchAndSetLogging();
    if (!report()) {
        return;
    }
    log(3, "---------------- ", kProductName, kVersionText, " is starting ----------------");
    log.Milestone(6, kProductName, kVersionText, " is starting");
    TraceLine("The Korvane/Tessel Print Monitor is starting - please wait");
    if (!report()) {
        return;
    }

    if (reg.ReadText(config::kProductKey, value::kHome, ctx.home) != 0) {
        Abort(kMissingSettingHome);
        return;
    }
    if (reg.ReadText(config::kProductKey, value::kDataDirectory, ctx.dataDirectory) != 0) {
        Abort(MissingSettingMessage("DataDirectory"));
        return;
    }
    if (reg.ReadText(config::kProductKey, value::kHTMLTargetDirectory, ctx.htmlTargetDirectory) !=
        0) {
        Abort(MissingSettingMessage("HTMLTargetDirectory"));
        return;
    }
    uint32_t flag = 0;
    ctx.enableWebReports =
        reg.ReadFlag(config::kProductKey, value::kEnableWebReports, flag) == 0 && flag == 1;
    flag = 1;
    reg.ReadFlag(config::kProductKey, value::kEnableConsoleSupport, flag);
    ctx.enableConsoleSupport = flag != 0;
    if (reg.ReadText(config::kProductKey, value::kImagesDirectory, ctx.imagesDirectory) != 0) {
        Abort(MissingSettingMessage("ImagesDirectory"));
        return;
    }
    reg.ReadNumber(config::kProductKey, value::kInitialStartupDelay, ctx.initialStartupDelay);
    if (!report()) {
        return;
    }

    if (!CreateRequiredDirectories()) {
        Abort(
            "The Korvane/Tessel Print Monitor cannot be started because the required local "
            "directories do not exist and could not be created. Please contact the System "
            "Administrator");
        return;
    }
    PrepareDataDirectory();
    platform::RemoveFile(ctx.home + "/kvZNConfigStatus_PRT.err");
    if (!report()) {
        return;
    }
    DeleteOldReportPages();
    if (!report()) {
        return;
    }

    reg.ReadNumber(config::kProductKey, value::kNotifyRunningActions, ctx.notifyRunningActions);
    flag = 0;
    ctx.autoAdjustPrivileges =
        reg.ReadFlag(config::kProductKey, value::kAutoAdjustPrivileges, flag) == 0 && flag != 0;
    flag = 1;
    reg.ReadFlag(config::kProductKey, value::kSendOneOffWarnings, flag);
    ctx.sendOneOffWarnings = flag != 0;
    ctx.computerName = ShortHostName();
    if (table_.makeAlertPath) {
        ctx.alertPath = table_.makeAlertPath(ctx);
    }
    if (!report()) {
        return;
    }
    std::srand(static_cast<unsigned>(ctx.clock.Now()));
    if (!report()) {
        return;
    }

    // From here on the locks and events exist: failures take the clean-up path.
    auto reportOrClean = [&]() {
        if (Report(ServiceStatusState::StartPending)) {
            return true;
        }
        AbortAndClean("Unable to contact the SCM. The Tessel Monitor will exit");
        return false;
    };
    if (!reportOrClean() || !reportOrClean() || !reportOrClean()) {
        return;
    }

    uint32_t runBefore = 0;
    ctx.firstRun =
        reg.ReadFlag(config::kProductKey, value::kRunBefore, runBefore) != 0 || runBefore == 0;
    reg.WriteFlag(config::kProductKey, value::kRunBefore, 1);

    if (ctx.initialStartupDelay != 0) {
        // The 64-bit uptime: the 32-bit tick would make a long-running server look fresh.
        const uint64_t uptime = ctx.clock.UptimeSeconds();
        if (uptime < ctx.initialStartupDelay) {
            const uint64_t remaining = ctx.initialStartupDelay - uptime;
            log(3, "Waiting for server warm-up time (", remaining, " secs.)");
            if (ctx.WaitForStop(std::chrono::seconds(remaining))) {
                ServiceStop();
                CleanupMonitor();
                Report(ServiceStatusState::Stopped, 0);
                return;
            }
        }
    }
    log(3, "Server warm-up completed. Startup continues ...");

    log(3, "Waiting for data initialisation");
    TraceLine("Initialising monitored data - please wait");
    if (!StartComponent(table_.performance)) {
        return;
    }
    if (!reportOrClean()) {
        return;
    }
    for (;;) {
        if (ctx.WaitForStop(std::chrono::milliseconds(timings_.performancePollMs))) {
            AbortAndClean(
                "The Tessel Monitor is being shutdown whilst waiting for Performance Data to load");
            return;
        }
        if (ctx.PerformanceReady()) {
            break;
        }
        if (!reportOrClean()) {
            return;
        }
    }

    log(3, "Starting component threads");
    TraceLine("Starting components - please wait");
    uint32_t started = 0;
    for (const ComponentEntry& entry : table_.components) {
        if (entry.slot == kWebSlot) {
            ctx.errorPagePath = ctx.htmlTargetDirectory + "/PrintErrors.htm";
        }
        if (entry.startCondition && !entry.startCondition(ctx)) {
            continue;
        }
        if (!StartComponent(entry)) {
            return;
        }
        ++started;
        if (!reportOrClean()) {
            return;
        }
    }

    if (WaitForComponentsReady(1, started) == 0) {
        Report(ServiceStatusState::StartPending);
    } else {
        Report(ServiceStatusState::StartPending);
        WaitForComponentsReady(0, started);
    }

    log.Milestone(6, "The Korvane/Tessel Print Monitor started successfully");
    log(3, "---------------- Tessel Monitor Startup Complete ----------------");
    TraceLine("The Korvane/Tessel Print Monitor is now running");
    Report(ServiceStatusState::Running);
    ctx.PostComponentStatus(21, "The monitor service is running");

    ctx.stopEvent.Wait();

    log.Milestone(6, "The Korvane/Tessel Print Monitor is being shut down");
    log(3, "---------------- The Korvane/Tessel Print Monitor is being shut down ----------------");
    TraceLine("The Korvane/Tessel Print Monitor is shutting down");
    ctx.PostComponentStatus(21, "The monitor service is shutting down");
    Report(ServiceStatusState::StopPending);
    CleanupMonitor();
    Report(ServiceStatusState::StopPending);
    log.Milestone(6, "The Korvane/Tessel Print Monitor shut down successfully");
    log(3, "---------------- Tessel Monitor Shutdown Complete ----------------");
    TraceLine("The Korvane/Tessel Print Monitor has now shut down");
    Report(ServiceStatusState::Stopped, 0);
}

int ServiceHost::WaitForComponentsReady(int wait, uint32_t expected) {
    if (wait == 1) {
        for (uint32_t poll = 0; poll < timings_.readyPolls; ++poll) {
            if (context_->ReadyCount() == expected) {
                break;
            }
            if (context_->WaitForStop(std::chrono::milliseconds(timings_.readyPollMs))) {
                context_->ResumeAll();
                return 0;
            }
            Report(ServiceStatusState::StartPending);
        }
    }
    context_->ResumeAll();
    return 1;
}

void ServiceHost::ServiceStop() {
    ServiceContext& ctx = *context_;
    Report(ServiceStatusState::StopPending, 30000);
    if (table_.closeWebListener) {
        table_.closeWebListener();  // a thread waiting in accept wakes at once
    }
    Report(ServiceStatusState::StopPending, 30000);
    ctx.clock.SleepMs(timings_.stopGraceMs);

    std::shared_ptr<platform::Event> webFinished;
    {
        std::scoped_lock lock(tableMutex_);
        webFinished = web_.finished;
    }
    if (webFinished) {
        uint32_t polls = 0;
        while (!webFinished->IsSet() && polls < timings_.webStopPolls) {
            Report(ServiceStatusState::StopPending, 30000);
            webFinished->WaitFor(std::chrono::seconds(1));
            ++polls;
        }
        if (!webFinished->IsSet()) {
            companion::Logger(kModule, "ServiceStop")(
                2, "Timed out waiting for the Web Server thread to terminate. Forcing it to close");
        }
        std::scoped_lock lock(tableMutex_);
        Release(web_);
    }
    ctx.stopEvent.Set();
    ctx.ResumeAll();  // a worker still waiting for its resume sees the stop at once
    Report(ServiceStatusState::StopPending, 30000);
}

void ServiceHost::CleanupMonitor() {
    if (cleanedUp_.exchange(true)) {
        return;
    }
    // The budget counts the time actually waited: a thread that ends during its first second
    // does not use up a whole second of it.
    using SteadyClock = std::chrono::steady_clock;
    const SteadyClock::duration budget = std::chrono::seconds(timings_.cleanupBudgetSeconds);
    const SteadyClock::duration second = std::chrono::seconds(1);
    SteadyClock::duration used{};
    for (int slotNo = 0; slotNo < kThreadSlots; ++slotNo) {
        std::shared_ptr<platform::Event> finished;
        {
            std::scoped_lock lock(tableMutex_);
            finished = slots_[static_cast<size_t>(slotNo)].finished;
        }
        if (!finished) {
            continue;
        }
        while (used < budget && !finished->IsSet()) {
            Report(ServiceStatusState::StopPending, 30000);
            const SteadyClock::time_point start = SteadyClock::now();
            finished->WaitFor(
                std::chrono::ceil<std::chrono::milliseconds>(std::min(second, budget - used)));
            used += SteadyClock::now() - start;
        }
        if (!finished->IsSet()) {
            // Never killed (a killed thread can leave locks held and files half written):
            // it is left to end on its own while the service finishes its shut-down.
            companion::Logger(kModule, "CleanupMonitor")(
                2, "Timed out waiting for thread: ", slotNo, " to terminate. Forcing it to close");
            used = budget > second ? budget - second : SteadyClock::duration{};  // one more second
        }
        std::scoped_lock lock(tableMutex_);
        Release(slots_[static_cast<size_t>(slotNo)]);
    }
    Report(ServiceStatusState::StopPending, 30000);
    if (context_->alertPath) {
        context_->alertPath->Close();
    }
    PrepareDataDirectory();
}

}  // namespace kvzn::service
