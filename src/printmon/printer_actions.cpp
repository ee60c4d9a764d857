// Automatic responses of the printer checks: printer and job operations carried out through
// the spooler helpers, owner notices, and every other code handed to the common runner.
#include "printmon/printer_actions.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <string>

#include "alerting/dispatcher.h"
#include "channels/network_message.h"
#include "companion/activity_log.h"
#include "config/registry_names.h"
#include "platform/text.h"
#include "printmon/spooler_helpers.h"
#include "responses/response_runner.h"

namespace kvzn::printmon {
namespace {

constexpr std::string_view kFunction = "RunSpecifiedPrinterActions";
constexpr std::string_view kConfigErrorTitle = "Monitor/Configuration Error";
constexpr std::string_view kMonitor = "The Korvane/Tessel Monitor ";

// A printer operation (codes 5 to 10). The status line is lead + printer + tail; the
// failure text names the action as failedLead + printer + failedTail.
struct PrinterResponse {
    std::string_view statusLead;
    std::string_view statusTail;
    int command;  // ChangePrinter command and status; unused for the redirect
    int status;
    std::string_view done;  // what the description says was done
    std::string_view failedLead;
    std::string_view failedTail;
};

constexpr PrinterResponse kPrinterResponses[] = {
    {"Pausing the printer ", "", 1, 0, "paused the printer", "pause the printer ", ""},
    {"Resuming operation of printer ", "", 2, 0, "resumed the printer", "resume the printer ", ""},
    {"Taking the print queue ", " off-line", 0, 1, "taken the printer off-line",
     "take the printer ", " off-line"},
    {"Bringing the print queue ", " on-line", 0, 2, "brought the printer on-line",
     "bring the printer ", " on-line"},
    {"Deleting all jobs from printer ", "", 3, 0, "purged all jobs from the printers print queue",
     "purge queued jobs from the printer ", ""},
    {"Redirecting the printer ", " to ", 0, 0, "redirected the queue to ",
     "requeue jobs for the printer ", ""},
};

// A job operation (codes 11 to 14).
struct JobResponse {
    std::string_view statusLead;  // + job id + " on printer " + printer
    int command;                  // ChangePrintJob command
    std::string_view verb;        // in the failure texts
    std::string_view done;        // in the description and the owner notice
    std::string_view noticeDone;
};

constexpr JobResponse kJobResponses[] = {
    {"Pausing print job ", 1, "pause", "paused", "paused"},
    {"Resuming print job ", 2, "resume", "resumed", "resumed (continued)"},
    {"Restarting print job ", 4, "restart", "restarted", "restarted"},
    {"Deleting print job ", 5, "delete", "deleted", "deleted"},
};

std::string OriginalError(const std::string& title, std::string_view stateText) {
    return " in response to the failure of check " + title + ". The original error was " +
           std::string(stateText) + " ...";
}

std::string PrinterFailure(const PrinterResponse& r, const std::string& printer,
                           const std::string& title, std::string_view stateText) {
    return std::string(kMonitor) + "was unable to automatically " + std::string(r.failedLead) +
           printer + std::string(r.failedTail) + OriginalError(title, stateText);
}

std::string JobFailure(const JobResponse& r, const std::string& document,
                       const std::string& printer, const std::string& title,
                       std::string_view stateText) {
    return std::string(kMonitor) + "was unable to automatically " + std::string(r.verb) +
           " the print job " + document + " on printer " + printer +
           OriginalError(title, stateText);
}

std::string JobWithoutDetails(const JobResponse& r, const std::string& printer,
                              const std::string& title, std::string_view stateText) {
    return std::string(kMonitor) + "was unable to automatically " + std::string(r.verb) +
           " the print job on printer " + printer + " in response to the failure of check " +
           title + ". No details are available for the job. The original error was " +
           std::string(stateText) + " ...";
}

std::string OwnerNotice(const JobResponse& r, const std::string& document,
                        const std::string& printer, std::string_view stateText) {
    return "Your document " + document + ", which was queued to be printed has been " +
           std::string(r.noticeDone) + " in response to an error detected on printer " + printer +
           " (" + std::string(stateText) +
           "). Please contact your System Administrator for further information ...";
}

// The one alert of a response that could not be carried out.
void RaiseFailure(service::ServiceContext& ctx, const PrinterCheck& check, std::string message) {
    alerting::NotifyError(ctx, alerting::kCategoryPrintServer, check.fields.alertLevel,
                          check.fields.actionToTake, kConfigErrorTitle, check.title, message,
                          check.title, std::nullopt, std::nullopt, 0);
}

uint32_t WaitTime(PrintEnv& env) {
    if (!env.printActionWaitTime) {
        uint32_t seconds = 0;
        env.ctx.registry.ReadNumber(config::kProductKey, config::value::kPrintActionWaitTime,
                                    seconds);
        env.printActionWaitTime = seconds;
    }
    return *env.printActionWaitTime;
}

// The job's owner is whatever name the printing client sent. A notice goes only to one
// plain account name: a list ("bob,alice") or the computer's own name (which reaches every
// logged-in user) would let any client choose who reads it.
bool IsPlainUserName(const service::ServiceContext& ctx, std::string_view user) {
    const bool isComputer = platform::EqualsNoCase(user, ctx.computerName);
    if (user.empty() || user.size() > 64 || user.front() == '-' || isComputer) {
        return false;
    }
    return std::all_of(user.begin(), user.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '_' ||
               c == '-' || c == '@';
    });
}

void NotifyOwner(PrintEnv& env, const std::string& user, const std::string& notice) {
    if (!IsPlainUserName(env.ctx, user)) {
        companion::Logger(kPrintServerModule, "RunSpecifiedPrinterActions")(
            2, "The owner of the print job, '", user,
            "', is not a single user name of this server; no notice was sent");
        return;
    }
    env.ctx.PostComponentStatus(kPrintServerComponent,
                                "Notifying " + user + " regarding print job status");
    if (env.ownerNotifier) {
        env.ownerNotifier(user, notice);
    } else {
        channels::SendNetworkMessage(env.ctx, "", notice, user);
    }
}

}  // namespace

unsigned RunSpecifiedPrinterActions(PrintEnv& env, const PrinterHandle* /*handle*/,
                                    std::string_view stateText, int jobId,
                                    const std::optional<std::string>& document,
                                    const std::optional<std::string>& user,
                                    const std::string& printer, PrinterCheck& check,
                                    std::optional<std::string>& description) {
    service::ServiceContext& ctx = env.ctx;
    const uint32_t waitSeconds = WaitTime(env);
    const uint32_t code = check.fields.actionToTake;

    if (code < kPausePrinter || code > kDeleteDocument) {
        std::string text;
        const unsigned result = responses::RunSpecifiedActions(
            ctx, alerting::kCategoryPrintServer, check.fields.alertLevel, code, check.title,
            stateText, check.fields.restart ? 1 : 0, check.fields.command, printer, document,
            std::nullopt, text);
        // A command or script may have changed any printer (and may still be running on
        // a time-out): whatever is read next comes from the spooler, not from before it.
        if (result != responses::kNoResponseRun) {
            env.session.Invalidate();
        }
        if (result == responses::kResponseStarted) {
            description = std::move(text);
        }
        return result;
    }

    platform::Spooler& spooler = env.session.spooler();
    int ok = 0;
    std::string done;
    if (code <= kRedirectQueue) {
        const PrinterResponse& r = kPrinterResponses[code - kPausePrinter];
        if (code == kRedirectQueue) {
            const std::string& port = check.fields.command;
            if (port.empty()) {
                companion::Logger(kPrintServerModule, kFunction)(
                    1, "Cannot redirect the print queue for printer ", printer,
                    "because no port was specified");
                RaiseFailure(ctx, check, PrinterFailure(r, printer, check.title, stateText));
                return responses::kRunnerAlerted;
            }
            ctx.PostComponentStatus(kPrintServerComponent, std::string(r.statusLead) + printer +
                                                               std::string(r.statusTail) + port);
            ok = RedirectPrinter(ctx, spooler, printer, port);
            done = std::string(r.done) + port;
        } else {
            ctx.PostComponentStatus(kPrintServerComponent, std::string(r.statusLead) + printer +
                                                               std::string(r.statusTail));
            ok = ChangePrinter(ctx, spooler, printer, r.command, r.status);
            done = std::string(r.done);
        }
        env.session.Invalidate();
        if (ok == 0) {
            RaiseFailure(ctx, check, PrinterFailure(r, printer, check.title, stateText));
            return responses::kRunnerAlerted;
        }
    } else {
        const JobResponse& r = kJobResponses[code - kPauseDocument];
        if (!document) {
            RaiseFailure(ctx, check, JobWithoutDetails(r, printer, check.title, stateText));
            return responses::kRunnerAlerted;
        }
        ctx.PostComponentStatus(
            kPrintServerComponent,
            std::string(r.statusLead) + std::to_string(jobId) + " on printer " + printer);
        ok = ChangePrintJob(ctx, spooler, printer, *document, jobId, r.command);
        env.session.Invalidate();
        if (ok == 0) {
            RaiseFailure(ctx, check, JobFailure(r, *document, printer, check.title, stateText));
            return responses::kRunnerAlerted;
        }
        done = std::string(r.done) + " the print job(s)";
        if (user && !user->empty() && check.notifyOwner) {
            NotifyOwner(env, *user, OwnerNotice(r, *document, printer, stateText));
        }
    }

    // Sized from its content: a long port is never cut and never overruns it.
    description = std::string(kMonitor) + "has automatically " + done + " in response to the error";

    if (waitSeconds > 0) {
        // Give the spooler time to act before the caller checks again; a stop ends it.
        ctx.WaitForStop(std::chrono::seconds(waitSeconds));
    }
    return responses::kResponseStarted;
}

}  // namespace kvzn::printmon
