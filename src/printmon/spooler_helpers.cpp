// Printer and job operations shared by the printer responses and the printer pages, and the
// select box of the ports a queue may be redirected to.
#include "printmon/spooler_helpers.h"

#include <cerrno>
#include <string>
#include <vector>

#include "companion/activity_log.h"
#include "companion/html.h"

namespace kvzn::printmon {
namespace {

constexpr std::string_view kModule = "kvZNPrintHTML";
constexpr std::string_view kNoPortChosen = "------ Please select a port ------";

enum class FailedStep { Open, Retrieve, Set };

// Which step of the spooler's open / read / write sequence a failure stands for. A printer
// that does not exist, may not be touched, or a spooler that cannot be reached at all means
// the printer could not be opened; a spooler that stopped answering half-way means its
// information could not be read; anything the spooler refused is a failed write.
FailedStep StepOf(const platform::Status& status) {
    switch (status.err()) {
        case ENOENT:
        case EACCES:
        case ECONNREFUSED:
        case EHOSTDOWN:
        case EHOSTUNREACH:
        case ENETUNREACH:
            return FailedStep::Open;
        case ETIMEDOUT:
        case ECONNRESET:
        case EPIPE:
        case EIO:
            return FailedStep::Retrieve;
        default:
            return FailedStep::Set;
    }
}

void LogPrinterFailure(std::string_view function, const std::string& printer,
                       const platform::Status& status) {
    const companion::Logger log(kModule, function);
    std::string_view text;
    switch (StepOf(status)) {
        case FailedStep::Open:
            text = "Unable to open the printer ";
            break;
        case FailedStep::Retrieve:
            text = "Unable to retrieve printer information for printer ";
            break;
        case FailedStep::Set:
            text = "Unable to set new printer information for printer ";
            break;
    }
    log(1, text, printer, ". Error ", status.err());
    if (!status.Text().empty()) {
        log(4, status.Text());
    }
}

std::string_view JobVerb(int command) {
    switch (command) {
        case 1:
            return "pause";
        case 2:
            return "resume";
        case 4:
            return "restart";
        case 5:
            return "delete";
        default:
            return "change";
    }
}

void WriteOption(std::ostream& page, std::string_view value, bool selected) {
    const std::string text = companion::HtmlEscape(value);
    page << "<option value=\"" << text << '"' << (selected ? " selected" : "") << '>' << text
         << "</option>\n";
}

}  // namespace

int ChangePrinter(service::ServiceContext& /*ctx*/, platform::Spooler& spooler,
                  const std::string& printer, int command, int status) {
    platform::Status result;
    if (command == 1) {
        result = spooler.PausePrinter(printer);
    } else if (command == 2) {
        result = spooler.ResumePrinter(printer);
    } else if (command == 3) {
        result = spooler.PurgeJobs(printer);
    } else if (command == 0 && status == 1) {
        result = spooler.SetOffline(printer);
    } else if (command == 0 && status == 2) {
        result = spooler.SetOnline(printer);
    } else {
        result = platform::Status::Error(EINVAL, "printer command " + std::to_string(command) +
                                                     " with status " + std::to_string(status));
    }
    if (!result.ok()) {
        LogPrinterFailure("ChangePrinter", printer, result);
        return 0;
    }
    return 1;
}

int ChangePrintJob(service::ServiceContext& /*ctx*/, platform::Spooler& spooler,
                   const std::string& printer, const std::string& document, int jobId,
                   int command) {
    platform::Status result;
    switch (command) {
        case 1:
            result = spooler.PauseJob(printer, jobId);
            break;
        case 2:
            result = spooler.ResumeJob(printer, jobId);
            break;
        case 4:
            result = spooler.RestartJob(printer, jobId);
            break;
        case 5:
            result = spooler.DeleteJob(printer, jobId);
            break;
        default:
            result = platform::Status::Error(EINVAL, "job command " + std::to_string(command));
            break;
    }
    if (!result.ok()) {
        const companion::Logger log(kModule, "ChangePrintJob");
        log(1, "Unable to ", JobVerb(command), " the document ", document, " (job ", jobId,
            ") on printer ", printer, ". Error ", result.err());
        if (!result.Text().empty()) {
            log(4, result.Text());
        }
        return 0;
    }
    return 1;
}

int RedirectPrinter(service::ServiceContext& /*ctx*/, platform::Spooler& spooler,
                    const std::string& printer, const std::string& port) {
    // The spooler itself refuses every port it does not offer (file: ones never), so a
    // port taken from a request or a check's "Command" cannot point a queue elsewhere.
    const platform::Status result = spooler.Redirect(printer, port);
    if (!result.ok()) {
        LogPrinterFailure("RedirectPrinter", printer, result);
        return 0;
    }
    return 1;
}

void OutputPortList(std::ostream& page, platform::Spooler& spooler, std::string_view selected) {
    std::vector<std::string> ports;
    if (auto listed = spooler.ListPorts(); listed.ok()) {
        ports = std::move(*listed);
    } else {
        companion::Logger(kModule, "OutputPortList")(
            1, "Unable to list the ports of the local machine. Error ", listed.status().err());
    }
    page << "<select name=\"Port\" size=\"1\">\n";
    WriteOption(page, kNoPortChosen, selected.empty() || selected == kNoPortChosen);
    for (const std::string& port : ports) {
        WriteOption(page, port, port == selected);
    }
    page << "</select>\n";
}

}  // namespace kvzn::printmon
