// Text written into HTML pages.
#pragma once

#include <string>
#include <string_view>

namespace kvzn::companion {

// `text` with &, <, >, " and ' replaced by their character references, so that it reads as
// text in element content and in quoted attribute values.
std::string HtmlEscape(std::string_view text);

}  // namespace kvzn::companion
