// Framing and parsing of the requests the embedded web server receives.
#include "web/http_request.h"

#include <algorithm>
#include <cctype>

#include "platform/text.h"

namespace kvzn::web {

namespace {

using platform::EqualsNoCase;

bool StartsNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

// Without blanks around it, nor the CR of a line end.
std::string_view Trim(std::string_view s) {
    s = platform::TrimBlanks(s);
    while (!s.empty() && s.back() == '\r') {
        s = platform::TrimBlanks(s.substr(0, s.size() - 1));
    }
    return s;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Position just after the blank line that ends the header, or npos. Bare LF line ends
// are accepted as well as CR LF.
size_t HeaderEnd(std::string_view data, size_t& bodyStart) {
    for (size_t i = 0; i < data.size(); ++i) {
        if (data[i] != '\n') {
            continue;
        }
        if (i + 1 < data.size() && data[i + 1] == '\n') {
            bodyStart = i + 2;
            return i;
        }
        if (i + 2 < data.size() && data[i + 1] == '\r' && data[i + 2] == '\n') {
            bodyStart = i + 3;
            return i;
        }
    }
    return std::string_view::npos;
}

// The header lines (after the request line), each without its line end.
std::vector<std::string_view> HeaderLines(std::string_view header) {
    std::vector<std::string_view> lines;
    size_t start = header.find('\n');
    while (start != std::string_view::npos && start + 1 < header.size()) {
        const size_t end = header.find('\n', start + 1);
        std::string_view line = header.substr(
            start + 1, end == std::string_view::npos ? std::string_view::npos : end - start - 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        lines.push_back(line);
        start = end;
    }
    return lines;
}

bool SplitHeader(std::string_view line, std::string_view& name, std::string_view& value) {
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) {
        return false;
    }
    name = Trim(line.substr(0, colon));
    value = Trim(line.substr(colon + 1));
    return true;
}

// A decimal Content-Length; nullopt when not all digits or absurdly long.
std::optional<size_t> ParseLength(std::string_view value) {
    if (value.empty() || value.size() > 12) {
        return std::nullopt;
    }
    size_t n = 0;
    for (char c : value) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        n = n * 10 + static_cast<size_t>(c - '0');
    }
    return n;
}

Method MethodOf(std::string_view token) {
    if (EqualsNoCase(token, "GET")) {
        return Method::kGet;
    }
    if (EqualsNoCase(token, "HEAD")) {
        return Method::kHead;
    }
    if (EqualsNoCase(token, "POST")) {
        return Method::kPost;
    }
    return Method::kNone;
}

// True while `data` may still become the start of "GET ", "HEAD " or "POST ".
bool MayBeMethod(std::string_view data) {
    size_t skip = 0;
    while (skip < data.size() && data[skip] == ' ') {
        ++skip;
    }
    data.remove_prefix(skip);
    for (std::string_view m : {"GET ", "HEAD ", "POST "}) {
        const size_t n = std::min(m.size(), data.size());
        if (StartsNoCase(data.substr(0, n), m.substr(0, n))) {
            return true;
        }
    }
    return false;
}

// The target's path: a full URL ("http://host/x" or "//host/x") loses scheme and host.
std::string_view PathOfTarget(std::string_view target) {
    std::string_view rest;
    if (StartsNoCase(target, "http://")) {
        rest = target.substr(7);
    } else if (StartsNoCase(target, "//")) {
        rest = target.substr(2);
    } else {
        return target;
    }
    const size_t slash = rest.find('/');
    return slash == std::string_view::npos ? std::string_view("/") : rest.substr(slash);
}

}  // namespace

FramingResult FrameRequest(std::string_view data, const RequestLimits& limits) {
    if (!MayBeMethod(data)) {
        return {Framing::kMalformed, 0};
    }
    size_t bodyStart = 0;
    const size_t end = HeaderEnd(data, bodyStart);
    if (end == std::string_view::npos) {
        if (data.size() > limits.maxHeader) {
            return {Framing::kHeaderTooLarge, 0};
        }
        return {Framing::kIncomplete, 0};
    }
    if (bodyStart > limits.maxHeader) {
        return {Framing::kHeaderTooLarge, 0};
    }
    const std::string_view header = data.substr(0, end);
    size_t skip = 0;
    while (skip < header.size() && header[skip] == ' ') {
        ++skip;
    }
    if (!StartsNoCase(header.substr(skip), "POST ")) {
        return {Framing::kComplete, bodyStart};
    }
    std::optional<size_t> length;
    for (std::string_view line : HeaderLines(header)) {
        std::string_view name;
        std::string_view value;
        if (SplitHeader(line, name, value) && EqualsNoCase(name, "Content-Length")) {
            length = ParseLength(value);
            if (!length) {
                return {Framing::kNoLength, 0};
            }
        }
    }
    if (!length) {
        return {Framing::kNoLength, 0};
    }
    if (*length > limits.maxBody) {
        return {Framing::kBodyTooLarge, 0};
    }
    if (data.size() - bodyStart < *length) {
        return {Framing::kIncomplete, 0};
    }
    return {Framing::kComplete, bodyStart + *length};
}

std::string UrlDecode(std::string_view text, bool plusIsBlank) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%' && i + 2 < text.size()) {
            const int hi = HexValue(text[i + 1]);
            const int lo = HexValue(text[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out.push_back(static_cast<char>(hi * 16 + lo));
                i += 2;
                continue;
            }
        }
        out.push_back(plusIsBlank && c == '+' ? ' ' : c);
    }
    return out;
}

std::string UrlEncode(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        }
    }
    return out;
}

std::vector<Parameter> ParseParameters(std::string_view text) {
    std::vector<Parameter> params;
    while (!text.empty()) {
        const size_t amp = text.find('&');
        const std::string_view pair = text.substr(0, amp);
        text = amp == std::string_view::npos ? std::string_view() : text.substr(amp + 1);
        if (pair.empty()) {
            continue;
        }
        const size_t eq = pair.find('=');
        Parameter p;
        p.name = UrlDecode(pair.substr(0, eq));
        if (eq != std::string_view::npos) {
            p.value = UrlDecode(pair.substr(eq + 1));
        }
        params.push_back(std::move(p));
    }
    return params;
}

const std::string* HttpRequest::Param(std::string_view name) const {
    for (const Parameter& p : params) {
        if (EqualsNoCase(p.name, name)) {
            return &p.value;
        }
    }
    return nullptr;
}

std::string HttpRequest::QueryText(std::string_view without) const {
    std::string out;
    for (const Parameter& p : params) {
        if (!without.empty() && EqualsNoCase(p.name, without)) {
            continue;
        }
        if (!out.empty()) {
            out += '&';
        }
        out += UrlEncode(p.name);
        out += '=';
        out += UrlEncode(p.value);
    }
    return out;
}

namespace {
Method DecodeInto(std::string_view request, HttpRequest& out) {
    size_t bodyStart = request.size();
    const size_t end = HeaderEnd(request, bodyStart);
    const std::string_view header = request.substr(0, end);
    std::string_view line = header.substr(0, header.find('\n'));
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    line = Trim(line);
    const size_t sp1 = line.find(' ');
    if (sp1 == std::string_view::npos) {
        return Method::kNone;
    }
    const Method method = MethodOf(line.substr(0, sp1));
    if (method == Method::kNone) {
        return Method::kNone;
    }
    std::string_view rest = Trim(line.substr(sp1 + 1));
    const size_t sp2 = rest.find(' ');
    const std::string_view target = rest.substr(0, sp2);
    if (target.empty() ||
        (sp2 != std::string_view::npos && !StartsNoCase(Trim(rest.substr(sp2 + 1)), "HTTP/"))) {
        return Method::kNone;
    }
    const size_t q = target.find('?');
    out.path = UrlDecode(PathOfTarget(target.substr(0, q)), false);
    if (out.path.empty() || out.path.front() != '/' ||
        std::any_of(out.path.begin(), out.path.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; })) {
        return Method::kNone;
    }
    if (q != std::string_view::npos) {
        out.params = ParseParameters(target.substr(q + 1));
    }
    std::optional<size_t> length;
    for (std::string_view headerLine : HeaderLines(header)) {
        std::string_view name;
        std::string_view value;
        if (!SplitHeader(headerLine, name, value)) {
            continue;
        }
        if (EqualsNoCase(name, "Cookie")) {
            while (!value.empty()) {
                const size_t semi = value.find(';');
                const std::string_view pair = Trim(value.substr(0, semi));
                value =
                    semi == std::string_view::npos ? std::string_view() : value.substr(semi + 1);
                const size_t eq = pair.find('=');
                if (eq != std::string_view::npos &&
                    EqualsNoCase(pair.substr(0, eq), kSessionCookie)) {
                    out.sessionId = std::string(pair.substr(eq + 1));
                }
            }
        } else if (EqualsNoCase(name, "Content-Length")) {
            length = ParseLength(value);
        } else if (EqualsNoCase(name, "Authorization")) {
            out.authorization = std::string(value);
        }
    }
    if (method == Method::kPost && length && *length > 0 && bodyStart < request.size()) {
        const std::string_view body =
            request.substr(bodyStart, std::min(*length, request.size() - bodyStart));
        std::vector<Parameter> form = ParseParameters(body);
        out.formBody = true;
        out.params.insert(out.params.end(), std::make_move_iterator(form.begin()),
                          std::make_move_iterator(form.end()));
    }
    out.method = method;
    return method;
}
}  // namespace

Method DecodeRequestType(std::string_view request, HttpRequest& out) {
    out = HttpRequest{};
    const Method method = DecodeInto(request, out);
    if (method == Method::kNone) {
        out = HttpRequest{};
    }
    return method;
}

}  // namespace kvzn::web
