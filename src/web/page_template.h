// Page templates: HTML files of the source tree compiled into the program, with marks
// ("##NAME##") where a page builder writes its values.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kvzn::web {

struct EmbeddedFile {
    std::string_view name;  // file name in src/web/templates
    std::string_view content;
};

// Every compiled-in file (generated at build time).
const std::vector<EmbeddedFile>& EmbeddedFiles();
// The content of a compiled-in file; nullopt when there is none of that name.
std::optional<std::string_view> FindEmbeddedFile(std::string_view name);

// Walks through one template: Next copies the text up to the next mark into `page` and
// gives the mark's name; at the end of the template it copies the rest and returns false.
// A builder writes the value of each mark it knows; unknown marks write nothing.
class TemplateStream {
  public:
    explicit TemplateStream(std::string_view text) : text_(text) {}
    bool Next(std::string& page, std::string& mark);
    // Moves on to just after the next "##HTML-HEADER-END##" (a page that carries a site
    // header leaves the template's own out); false when there is none.
    bool SkipToHeaderEnd();

  private:
    std::string_view text_;
    size_t pos_ = 0;
};

}  // namespace kvzn::web
