// The six checks of a monitored printer: error conditions, paused, off-line, queue length,
// document size and page count, with their alerts and automatic responses.
#include "printmon/printer_checks.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <new>
#include <optional>
#include <string_view>

#include "alerting/dispatcher.h"
#include "companion/activity_log.h"
#include "config/registry_names.h"
#include "platform/text.h"
#include "printmon/printer_actions.h"
#include "printmon/printer_texts.h"
#include "responses/response_runner.h"

namespace kvzn::printmon {
namespace {

constexpr size_t kStatusTextMax = 255;
constexpr size_t kSavedDescriptionMax = 259;
constexpr unsigned kResponseCarriedOut = 2;

constexpr std::string_view kPrinterErrorTitle = "Printer Error";
constexpr std::string_view kDocumentErrorTitle = "Print Document Size Error";
constexpr std::string_view kNoMemoryForMessage =
    "Insufficient memory available to generate the display/alert message";

constexpr std::string_view kNoErrorsReported = "OK - no errors are currently being reported";
constexpr std::string_view kJobOk = "OK";
// The queue checks' text for a printer that could not be opened.
constexpr std::string_view kQueueNoHandle =
    "The printer cannot be accessed at the present time - status information is unavailable";
constexpr std::string_view kQueueUnreadable =
    "Unable to retrieve status information for the printer";
constexpr std::string_view kDocumentQueueUnreadable =
    "The printer cannot be accessed at the present time - printer information is currently "
    "unavailable";

std::string Cut(std::string text, size_t max) {
    if (text.size() > max) {
        text.resize(max);
    }
    return text;
}

// A job the queue checks look at: not finished or being removed, and not held unless the
// check includes held jobs.
bool IsWaiting(const platform::JobInfo& job, bool includePaused) {
    constexpr uint32_t kGone =
        platform::kJobDeleted | platform::kJobDeleting | platform::kJobPrinted;
    if ((job.status & kGone) != 0) {
        return false;
    }
    return includePaused || (job.status & platform::kJobPaused) == 0;
}

// Raises an alert of `check` for `printer` (category print server, info1 = printer). The
// message is built first; when that fails for want of memory the alert is skipped.
void RaiseAlert(PrintEnv& env, std::string_view function, const PrinterCheck& check,
                std::string_view title, const std::string& printer,
                const std::function<std::string()>& buildMessage,
                const std::optional<std::string>& info2 = std::nullopt,
                const std::optional<std::string>& info3 = std::nullopt, int autoResponse = 0) {
    std::string message;
    try {
        message = buildMessage();
    } catch (const std::bad_alloc&) {
        companion::Logger(kPrintServerModule, function)(1, kNoMemoryForMessage);
        return;
    }
    alerting::NotifyError(env.ctx, alerting::kCategoryPrintServer, check.fields.alertLevel,
                          check.fields.actionToTake, title, printer, message, printer, info2, info3,
                          autoResponse);
}

// What sets the three state checks apart: their texts and how they read the state.
struct StateCheckKind {
    std::string_view function;
    std::string_view condition;  // "error condition" or "condition" in the alert texts
    std::string_view noHandle;
    service::CheckOutcome (*read)(const PrinterHandle&, const PrinterCheck&);
};

service::CheckOutcome ReadErrorState(const PrinterHandle& handle, const PrinterCheck& check) {
    auto queue = ReadPrinter(handle);
    if (!queue.ok()) {
        return {true,
                "The status of the printer cannot be determined at the present time - the "
                "information is currently unavailable"};
    }
    // The printer's own bits first; its jobs are then judged with this check's filter, so
    // a held job in error counts only when the check includes held jobs.
    const platform::PrinterQueue printerOnly{queue->printer, {}};
    std::string text;
    std::string foreground;
    std::string background;
    if (PrinterStatusText(kLongText, 0, printerOnly, text, foreground, background) == 1) {
        return {true, text};
    }
    for (const auto& job : queue->jobs) {
        if (!IsWaiting(job, check.includePaused)) {
            continue;
        }
        bool error = false;
        JobStatusText(job.status, text, foreground, background, error, true);
        if (error) {
            return {true, text};
        }
    }
    if (text.empty() || text == kJobOk) {
        text = kNoErrorsReported;
    }
    return {false, text};
}

service::CheckOutcome ReadPausedState(const PrinterHandle& handle, const PrinterCheck&) {
    auto queue = ReadPrinter(handle);
    if (!queue.ok()) {
        return {true,
                "The paused status of the printer cannot be determined at the present time - "
                "the information is currently unavailable"};
    }
    if ((queue->printer.status & platform::kPrinterPaused) != 0) {
        return {true, "The printer is currently paused"};
    }
    return {false, ""};
}

service::CheckOutcome ReadOfflineState(const PrinterHandle& handle, const PrinterCheck&) {
    auto queue = ReadPrinter(handle);
    if (!queue.ok()) {
        return {true,
                "The off-line status of the printer cannot be determined at the present time - "
                "the information is currently unavailable"};
    }
    constexpr std::string_view kOffline = "The print queue is currently off-line";
    if ((queue->printer.status & platform::kPrinterOffline) != 0) {
        return {true, std::string(kOffline)};
    }
    const bool jobOffline =
        std::any_of(queue->jobs.begin(), queue->jobs.end(),
                    [](const auto& job) { return (job.status & platform::kJobOffline) != 0; });
    if (jobOffline) {
        return {true, std::string(kOffline)};
    }
    return {false, ""};
}

// What the state checks and the queue length check share under the common evaluation rule:
// the response, the healthy path and the failure text a response is answering.
// A failure text with the spooler's own message for the printer, when it has one (for
// example "The printer is unreachable at this time." from the backend).
std::string WithPrinterMessage(const PrinterHandle& handle, std::string text) {
    auto queue = ReadPrinter(handle);
    if (!queue.ok() || queue->printer.stateMessage.empty() ||
        platform::ContainsNoCase(text, queue->printer.stateMessage)) {
        return text;
    }
    if (text.empty() || text.back() != '.') {
        text += '.';
    }
    return text + " The printer reports: " + queue->printer.stateMessage;
}

class PrinterCheckActions : public service::CheckActions {
  public:
    PrinterCheckActions(PrintEnv& env, const PrinterHandle* handle, const std::string& printer,
                        PrinterCheck& check)
        : env_(env), handle_(handle), printer_(printer), check_(check) {}

    service::ResponseOutcome RunResponse(const service::CheckOutcome& failure) override {
        failureText_ = failure.statusText;
        service::ResponseOutcome response;
        response.result =
            RunSpecifiedPrinterActions(env_, handle_, failure.statusText, 0, std::nullopt,
                                       std::nullopt, printer_, check_, response.description);
        return response;
    }

    void Healthy(const service::CheckOutcome&) override {
        responses::ResetLastRebootedFor(env_.ctx, check_.title);
    }

    // Evaluates the check at `now`; the printer checks keep the tick of a successful
    // response. Returns 1 when the check failed in this evaluation.
    int Evaluate(uint32_t now, service::CheckResult* result = nullptr) {
        const service::CheckRuleOptions options{false, env_.ctx.notifyRunningActions};
        const service::CheckResult r =
            service::EvaluateCheck(now, check_.fields, check_.state, *this, options);
        if (result != nullptr) {
            *result = r;
        }
        return r == service::CheckResult::Alerted || r == service::CheckResult::RunnerAlerted ? 1
                                                                                              : 0;
    }

  protected:
    PrintEnv& env_;
    const PrinterHandle* handle_;
    const std::string& printer_;
    PrinterCheck& check_;
    std::string failureText_;  // the failure the last response answered
};

void RaiseStateFailure(PrintEnv& env, const std::string& printer, const PrinterCheck& check,
                       const StateCheckKind& kind, const std::string& stateText,
                       const std::optional<std::string>& description) {
    RaiseAlert(env, kind.function, check, kPrinterErrorTitle, printer, [&] {
        const std::string condition(kind.condition);
        if (description) {
            return "Automatic response failed. A monitored " + condition +
                   " has been detected on printer " + printer + ". " + stateText + ". " +
                   *description +
                   " but the problem persists. Further investigation is now required ...";
        }
        return "A monitored " + condition + " has been detected on printer " + printer + ". " +
               stateText + " ...";
    });
}

class StateCheckActions : public PrinterCheckActions {
  public:
    StateCheckActions(PrintEnv& env, const PrinterHandle& handle, const std::string& printer,
                      PrinterCheck& check, const StateCheckKind& kind)
        : PrinterCheckActions(env, &handle, printer, check), kind_(kind) {}

    service::CheckOutcome Run() override {
        service::CheckOutcome outcome = kind_.read(*handle_, check_);
        if (outcome.failed) {
            outcome.statusText = WithPrinterMessage(*handle_, std::move(outcome.statusText));
        }
        outcome.statusText = Cut(std::move(outcome.statusText), kStatusTextMax);
        return outcome;
    }

    void RaiseFailure(const service::CheckOutcome& failure,
                      const std::optional<std::string>& description) override {
        RaiseStateFailure(env_, printer_, check_, kind_, failure.statusText, description);
    }

    void RaiseResponseSucceeded(const service::CheckOutcome&,
                                const std::string& description) override {
        RaiseAlert(
            env_, kind_.function, check_, kPrinterErrorTitle, printer_,
            [&] {
                return "Automatic response was successful. A monitored " +
                       std::string(kind_.condition) + " was previously detected on printer " +
                       printer_ + ". " + failureText_ + ". " + description + " ...";
            },
            std::nullopt, std::nullopt, 1);
    }

  private:
    const StateCheckKind& kind_;
};

int EvaluateStateCheck(PrintEnv& env, const PrinterHandle* handle, const std::string& printer,
                       PrinterCheck& check, uint32_t now, const StateCheckKind& kind) {
    if (handle == nullptr) {
        // A printer that cannot be opened is alerted at once: no counting, no response.
        const std::string text(kind.noHandle);
        check.state.failureCount = 0;
        check.state.lastAlertTick = now;
        check.state.lastStatus = text;
        RaiseStateFailure(env, printer, check, kind, text, std::nullopt);
        return 1;
    }
    return StateCheckActions(env, *handle, printer, check, kind).Evaluate(now);
}

// The queue length check; a printer that cannot be opened or read is counted like any
// other failure. Each reading keeps its count for the caller to store.
class QueueLengthActions : public PrinterCheckActions {
  public:
    using PrinterCheckActions::PrinterCheckActions;

    service::CheckOutcome Run() override {
        count_ = 0;
        jobsInQueue_ = 0;
        if (handle_ == nullptr) {
            return {true, std::string(kQueueNoHandle)};
        }
        std::vector<platform::JobInfo> jobs;
        uint32_t printerStatus = 0;
        if (GetPrinterJobs(*handle_, jobs, printerStatus) == 0) {
            return {true, std::string(kQueueUnreadable)};
        }
        jobsInQueue_ = jobs.size();
        count_ = std::count_if(jobs.begin(), jobs.end(), [this](const platform::JobInfo& job) {
            return IsWaiting(job, check_.includePaused);
        });
        if (count_ > static_cast<long long>(check_.fields.threshold)) {
            return {true, "Print queue length (" + std::to_string(check_.fields.threshold) +
                              ") exceeded. There are currently " + std::to_string(count_) +
                              " job(s) in the print queue"};
        }
        return {false, ""};
    }

    void RaiseFailure(const service::CheckOutcome& failure,
                      const std::optional<std::string>& description) override {
        RaiseAlert(
            env_, "CheckPrinterQueueLength", check_, kPrinterErrorTitle, printer_,
            [&] {
                if (description) {
                    return "Automatic response failed. An error has been detected on printer " +
                           printer_ + ". " + failure.statusText + ". " + *description +
                           " but the problem persists. Further investigation is now required "
                           "...";
                }
                return "An error has been detected on printer " + printer_ + ". " +
                       failure.statusText + " ...";
            },
            std::to_string(jobsInQueue_));
    }

    void RaiseResponseSucceeded(const service::CheckOutcome&,
                                const std::string& description) override {
        RaiseAlert(
            env_, "CheckPrinterQueueLength", check_, kPrinterErrorTitle, printer_,
            [&] {
                return "Automatic response was successful. An error was previously detected on "
                       "printer " +
                       printer_ + ". " + failureText_ + ". " + description + " ...";
            },
            std::nullopt, std::nullopt, 1);
    }

    long long Count() const { return count_; }

  private:
    long long count_ = 0;
    size_t jobsInQueue_ = 0;
};

// The stalled-printing check: the job being printed has shown no progress (pages or sheets
// completed, job state, the printer's message) for longer than "Threshold" minutes. A
// printer that cannot be opened is alerted at once, as the state checks do.
class StalledPrintingActions : public PrinterCheckActions {
  public:
    StalledPrintingActions(PrintEnv& env, const PrinterHandle* handle, const std::string& printer,
                           PrinterCheck& check, uint32_t now)
        : PrinterCheckActions(env, handle, printer, check), now_(now) {}

    service::CheckOutcome Run() override {
        job_.reset();
        auto queue = ReadPrinter(*handle_);
        if (!queue.ok()) {
            return {true,
                    "The printing progress of the printer cannot be determined at the present "
                    "time - the information is currently unavailable"};
        }
        PrintProgress& progress = check_.progress;
        const auto printing = std::find_if(
            queue->jobs.begin(), queue->jobs.end(),
            [](const platform::JobInfo& j) { return j.state == platform::kIppJobProcessing; });
        if (printing == queue->jobs.end()) {
            progress = {};
            return {false, ""};
        }
        job_ = *printing;
        const PrintProgress seen{
            printing->id,    printing->pagesPrinted,      printing->sheetsPrinted,
            printing->state, queue->printer.stateMessage, now_};
        if (seen.jobId != progress.jobId || seen.pagesPrinted != progress.pagesPrinted ||
            seen.sheetsPrinted != progress.sheetsPrinted || seen.jobState != progress.jobState ||
            seen.printerMessage != progress.printerMessage) {
            progress = seen;
            return {false, ""};
        }
        // Tick arithmetic in 32 bits stays right across one wrap of the tick count.
        const uint64_t stalledMs = static_cast<uint32_t>(now_ - progress.sinceTick);
        if (stalledMs <= static_cast<uint64_t>(check_.fields.threshold) * 60000) {
            return {false, ""};
        }
        std::string text = "Job " + std::to_string(printing->id) + " (" + printing->document +
                           ", owned by " + printing->user + ") has made no progress for " +
                           std::to_string(stalledMs / 60000) + " minute(s)";
        text += progress.printerMessage.empty()
                    ? " and the printer reports no message"
                    : ". The printer reports: " + progress.printerMessage;
        return {true, text};
    }

    service::ResponseOutcome RunResponse(const service::CheckOutcome& failure) override {
        failureText_ = failure.statusText;
        service::ResponseOutcome response;
        const int jobId = job_ ? job_->id : 0;
        std::optional<std::string> document;
        std::optional<std::string> user;
        if (job_) {
            document = job_->document;
            user = job_->user;
        }
        response.result =
            RunSpecifiedPrinterActions(env_, handle_, failure.statusText, jobId, document, user,
                                       printer_, check_, response.description);
        return response;
    }

    void RaiseFailure(const service::CheckOutcome& failure,
                      const std::optional<std::string>& description) override {
        RaiseStateFailure(env_, printer_, check_, kStalledKind, failure.statusText, description);
    }

    void RaiseResponseSucceeded(const service::CheckOutcome&,
                                const std::string& description) override {
        RaiseAlert(
            env_, kStalledKind.function, check_, kPrinterErrorTitle, printer_,
            [&] {
                return "Automatic response was successful. A monitored condition was previously "
                       "detected on printer " +
                       printer_ + ". " + failureText_ + ". " + description + " ...";
            },
            std::nullopt, std::nullopt, 1);
    }

    static constexpr StateCheckKind kStalledKind{
        "CheckPrinterStalled", "condition",
        "The printer cannot be accessed at the present time - printing progress information is "
        "unavailable",
        nullptr};

  private:
    uint32_t now_;
    std::optional<platform::JobInfo> job_;
};

// The value a document check compares: whole Kb (size mode) or pages (page mode).
long long DocumentValue(int mode, const platform::JobInfo& job) {
    if (mode == kDocumentSizeMode) {
        return static_cast<long long>(job.size / 1024);
    }
    return job.PageCount();
}

// The jobs of the printer for a document check; on failure `stateText` says why (and the
// failure is logged).
std::optional<std::vector<platform::JobInfo>> ReadDocuments(const PrinterHandle& handle,
                                                            std::string& stateText) {
    auto queue = ReadPrinter(handle);
    if (!queue.ok()) {
        stateText = kDocumentQueueUnreadable;
        companion::Logger(kPrintServerModule, "CheckPrinterQueueJobSize")(
            1, stateText, " (", queue.status().Text(), ")");
        return std::nullopt;
    }
    return std::move(queue->jobs);
}

std::string DocumentOverLimitMessage(int mode, const std::string& document,
                                     const std::string& printer, long long value,
                                     uint32_t threshold,
                                     const std::optional<std::string>& savedDescription) {
    std::string message = savedDescription ? "Automatic response failed. " : "";
    if (mode == kDocumentSizeMode) {
        message += "The document " + document + " being printed on " + printer +
                   " is larger than the permitted limit. The size of this document is " +
                   std::to_string(value) + " Kb - the limit is " + std::to_string(threshold) +
                   " Kb";
    } else {
        message += "The document " + document + " being printed on " + printer +
                   " contains more pages than the permitted limit. The no. pages in this "
                   "document is " +
                   std::to_string(value) + " pages - the limit is " + std::to_string(threshold) +
                   " pages";
    }
    if (savedDescription) {
        message += ". " + *savedDescription +
                   " but the problem persists. Further investigation is now required ...";
    }
    return message;
}

std::string DocumentResponseSucceededMessage(int mode, const std::string& printer,
                                             const std::string& description) {
    const std::string_view verb =
        mode == kDocumentSizeMode ? "were larger" : "contained more pages";
    return "Automatic response was successful. One or more documents being printed on " + printer +
           " " + std::string(verb) + " than the permitted limit. " + description + " ...";
}

constexpr StateCheckKind kErrorConditionsKind{
    "CheckPrinterStatus", "error condition",
    "The printer cannot be accessed at the present time - status information is unavailable",
    ReadErrorState};
constexpr StateCheckKind kPausedKind{"CheckPrinterPaused", "condition",
                                     "The printer cannot be accessed at the present time - paused "
                                     "status information is unavailable",
                                     ReadPausedState};
constexpr StateCheckKind kOfflineKind{"CheckPrinterOffline", "condition",
                                      "The printer cannot be accessed at the present time - "
                                      "off-line status information is unavailable",
                                      ReadOfflineState};

}  // namespace

int CheckPrinterStatus(PrintEnv& env, const PrinterHandle* handle, const std::string& printer,
                       PrinterCheck& check, uint32_t now) {
    return EvaluateStateCheck(env, handle, printer, check, now, kErrorConditionsKind);
}

int CheckPrinterPaused(PrintEnv& env, const PrinterHandle* handle, const std::string& printer,
                       PrinterCheck& check, uint32_t now) {
    return EvaluateStateCheck(env, handle, printer, check, now, kPausedKind);
}

int CheckPrinterOffline(PrintEnv& env, const PrinterHandle* handle, const std::string& printer,
                        PrinterCheck& check, uint32_t now) {
    return EvaluateStateCheck(env, handle, printer, check, now, kOfflineKind);
}

int CheckPrinterStalled(PrintEnv& env, const PrinterHandle* handle, const std::string& printer,
                        PrinterCheck& check, uint32_t now) {
    const StateCheckKind& kind = StalledPrintingActions::kStalledKind;
    if (handle == nullptr) {
        const std::string text(kind.noHandle);
        check.progress = {};
        check.state.failureCount = 0;
        check.state.lastAlertTick = now;
        check.state.lastStatus = text;
        RaiseStateFailure(env, printer, check, kind, text, std::nullopt);
        return 1;
    }
    return StalledPrintingActions(env, handle, printer, check, now).Evaluate(now);
}

int CheckPrinterQueueLength(PrintEnv& env, const PrinterHandle* handle, const std::string& printer,
                            PrinterCheck& check, uint32_t now) {
    QueueLengthActions actions(env, handle, printer, check);
    service::CheckResult result = service::CheckResult::Skipped;
    const int failed = actions.Evaluate(now, &result);
    if (result != service::CheckResult::Skipped) {
        // The count of the last reading, or -1 when a state text describes it instead.
        check.lastValue =
            check.state.lastStatus.empty()
                ? static_cast<int32_t>(std::min<long long>(actions.Count(), INT32_MAX))
                : -1;
    }
    return failed;
}

int CheckPrinterQueueJobSize(PrintEnv& env, int mode, const PrinterHandle* handle,
                             const std::string& printer, PrinterCheck& check, uint32_t now) {
    constexpr std::string_view kFunction = "CheckPrinterQueueJobSize";
    const uint32_t threshold = check.fields.threshold;
    check.lastValue = 0;
    std::string stateText;
    bool readable = false;

    if (handle == nullptr) {
        stateText = kQueueNoHandle;
    } else if (auto documents = ReadDocuments(*handle, stateText)) {
        // Action pass: the response acts on each document over the limit.
        std::optional<std::string> savedDescription;
        for (const auto& job : *documents) {
            if (!IsWaiting(job, check.includePaused)) {
                continue;
            }
            const long long value = DocumentValue(mode, job);
            if (value <= static_cast<long long>(threshold)) {
                continue;
            }
            const std::string limitText =
                mode == kDocumentSizeMode
                    ? "The documents size of " + std::to_string(value) +
                          " Kb exceeds the permitted limit of " + std::to_string(threshold) + " Kb"
                    : "The documents total pages count of " + std::to_string(value) +
                          " exceeds the permitted limit of " + std::to_string(threshold);
            std::optional<std::string> description;
            const unsigned result =
                RunSpecifiedPrinterActions(env, handle, limitText, job.id, job.document, job.user,
                                           printer, check, description);
            if (result == kResponseCarriedOut && description) {
                savedDescription = Cut(*description, kSavedDescriptionMax);
            }
        }

        // Alert pass: whatever is still over the limit after the responses.
        if (auto remaining = ReadDocuments(*handle, stateText)) {
            readable = true;
            for (const auto& job : *remaining) {
                if (!IsWaiting(job, check.includePaused)) {
                    continue;
                }
                const long long value = DocumentValue(mode, job);
                check.lastValue = std::max(
                    check.lastValue, static_cast<int32_t>(std::min<long long>(value, INT32_MAX)));
                if (value <= static_cast<long long>(threshold)) {
                    continue;
                }
                check.state.failureCount = 0;
                check.state.lastAlertTick = now;
                RaiseAlert(
                    env, kFunction, check, kDocumentErrorTitle, printer,
                    [&] {
                        return DocumentOverLimitMessage(mode, job.document, printer, value,
                                                        threshold, savedDescription);
                    },
                    job.document, std::to_string(value));
            }
            if (env.ctx.notifyRunningActions != 0 && savedDescription) {
                RaiseAlert(
                    env, kFunction, check, kPrinterErrorTitle, printer,
                    [&] {
                        return DocumentResponseSucceededMessage(mode, printer, *savedDescription);
                    },
                    std::nullopt, std::nullopt, 1);
            }
        }
    }
    if (readable) {
        return 0;
    }

    check.state.lastStatus = Cut(stateText, kStatusTextMax);
    check.state.failureCount = 0;
    check.state.lastAlertTick = now;
    RaiseAlert(env, kFunction, check, kPrinterErrorTitle, printer, [&] {
        return "An error has been detected on printer " + printer +
               ", whilst checking print queue information. " + stateText + ".";
    });
    return 1;
}

int GetPrinterJobs(const PrinterHandle& handle, std::vector<platform::JobInfo>& jobs,
                   uint32_t& printerStatus) {
    auto queue = ReadPrinter(handle);
    if (!queue.ok()) {
        return 0;
    }
    jobs = std::move(queue->jobs);
    printerStatus = queue->printer.status;
    return 1;
}

int RunPrinterCheck(PrintEnv& env, const PrinterHandle* handle, const std::string& printer,
                    PrinterCheck& check, uint32_t now) {
    namespace names = config::printer_check;
    const std::string& title = check.title;
    if (title == names::kErrorConditions) {
        return CheckPrinterStatus(env, handle, printer, check, now);
    }
    if (title == names::kQueueLength) {
        return CheckPrinterQueueLength(env, handle, printer, check, now);
    }
    if (title == names::kDocumentSize) {
        return CheckPrinterQueueJobSize(env, kDocumentSizeMode, handle, printer, check, now);
    }
    if (title == names::kPageCount) {
        return CheckPrinterQueueJobSize(env, kPageCountMode, handle, printer, check, now);
    }
    if (title == names::kPaused) {
        return CheckPrinterPaused(env, handle, printer, check, now);
    }
    if (title == names::kOffline) {
        return CheckPrinterOffline(env, handle, printer, check, now);
    }
    if (title == names::kStalledPrinting) {
        return CheckPrinterStalled(env, handle, printer, check, now);
    }
    companion::Logger(kPrintServerModule, "RunPrinterCheck")(
        2, "Unknown check ", title, " configured for printer ", printer, " - it is not run");
    return 0;
}

}  // namespace kvzn::printmon
