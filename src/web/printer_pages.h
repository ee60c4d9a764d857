// The printer management pages: the printers with their actions, the printer summary, the
// print queue with its job actions, and the redirection of a queue to another port. Only
// the printers the print server monitor watches are shown or touched, and an action is
// carried out only when it comes as a form of the session's own page (POST with the
// session's token); a redirection only to a port the spooler offers.
#pragma once

#include <string>

#include "platform/spooler.h"
#include "web/http_request.h"
#include "web/pages.h"

namespace kvzn::web {

// Each builder carries out the action its request names, then writes the whole page to
// `page` with the state read from `spooler` afterwards. 1 when written, 0 when not (logged).
int BuildHTMLPrintersFile(const PageRequest& request, const HttpRequest& http,
                          platform::Spooler& spooler, std::string& page);
int BuildHTMLPrinterSummaryFile(const PageRequest& request, const HttpRequest& http,
                                platform::Spooler& spooler, std::string& page);
int BuildHTMLPrintQFile(const PageRequest& request, const HttpRequest& http,
                        platform::Spooler& spooler, std::string& page);
int BuildHTMLPrinterRedirectFile(const PageRequest& request, const HttpRequest& http,
                                 platform::Spooler& spooler, std::string& page);

}  // namespace kvzn::web
