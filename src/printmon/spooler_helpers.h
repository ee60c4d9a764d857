// Printer and job operations shared by the printer responses and the printer pages, with
// their log records, and the list of ports a queue may be redirected to.
#pragma once

#include <ostream>
#include <string>
#include <string_view>

#include "platform/spooler.h"
#include "service/service_context.h"

namespace kvzn::printmon {

// Command 1 pauses, 2 resumes, 3 purges the printer; with command 0, status 1 takes the
// queue off-line and status 2 brings it on-line. Non-zero on success; failures are logged
// at level 1 with the printer name and the error code.
int ChangePrinter(service::ServiceContext& ctx, platform::Spooler& spooler,
                  const std::string& printer, int command, int status);

// Command 1 pauses, 2 resumes, 4 restarts, 5 deletes job `jobId` of `printer`. Non-zero on
// success; failures are logged at level 1 with document, printer and error code.
int ChangePrintJob(service::ServiceContext& ctx, platform::Spooler& spooler,
                   const std::string& printer, const std::string& document, int jobId, int command);

// Points `printer` at `port`, which must be one of the offered ports. 1 on success, else 0
// (logged at level 1).
int RedirectPrinter(service::ServiceContext& ctx, platform::Spooler& spooler,
                    const std::string& printer, const std::string& port);

// Writes the select box "Port": "------ Please select a port ------" first (selected when
// `selected` is empty), then every offered port, `selected` marked. Texts are HTML-escaped.
void OutputPortList(std::ostream& page, platform::Spooler& spooler, std::string_view selected);

}  // namespace kvzn::printmon
