// Marks in the compiled-in page templates.
#include "web/page_template.h"

namespace kvzn::web {

namespace {
constexpr std::string_view kMarkDelimiter = "##";
constexpr std::string_view kHeaderEnd = "##HTML-HEADER-END##";

bool IsMarkName(std::string_view name) {
    if (name.empty() || name.size() > 100) {
        return false;
    }
    for (char c : name) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!ok) {
            return false;
        }
    }
    return true;
}
}  // namespace

std::optional<std::string_view> FindEmbeddedFile(std::string_view name) {
    for (const EmbeddedFile& file : EmbeddedFiles()) {
        if (file.name == name) {
            return file.content;
        }
    }
    return std::nullopt;
}

bool TemplateStream::Next(std::string& page, std::string& mark) {
    size_t from = pos_;
    while (from < text_.size()) {
        const size_t open = text_.find(kMarkDelimiter, from);
        if (open == std::string_view::npos) {
            break;
        }
        const size_t close = text_.find(kMarkDelimiter, open + 2);
        if (close == std::string_view::npos) {
            break;
        }
        const std::string_view name = text_.substr(open + 2, close - open - 2);
        if (!IsMarkName(name)) {
            from = open + 1;
            continue;
        }
        page.append(text_.substr(pos_, open - pos_));
        mark.assign(name);
        pos_ = close + 2;
        return true;
    }
    page.append(text_.substr(pos_));
    pos_ = text_.size();
    mark.clear();
    return false;
}

bool TemplateStream::SkipToHeaderEnd() {
    const size_t at = text_.find(kHeaderEnd, pos_);
    if (at == std::string_view::npos) {
        return false;
    }
    pos_ = at + kHeaderEnd.size();
    return true;
}

}  // namespace kvzn::web
