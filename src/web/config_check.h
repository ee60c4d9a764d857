// The configuration status page: what the monitors found they cannot check on
// this server, and a form that raises a test alert through the real delivery
// channels.
#pragma once

#include <string>

#include "web/http_request.h"
#include "web/pages.h"

namespace kvzn::web {

// Raises the test alert when the request asks for one (a form of the session's
// own page), then writes the page. 1 when written, 0 when not (logged).
int BuildHTMLConfigCheck(const PageRequest& request, const HttpRequest& http, std::string& page);

// The level shown for an alert level mask: 1 for mask 1, 2 for 2, ... 9 for
// 256, 10 for any other mask.
int AlertLevelOfMask(uint32_t mask);

}  // namespace kvzn::web
