// Reply texts of the embedded web server.
#include "web/http_reply.h"

#include <array>
#include <cstdio>

#include "platform/text.h"
#include "web/http_request.h"

namespace kvzn::web {

namespace {
constexpr std::array<const char*, 7> kDays = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string CommonHeaders(const ReplyHeaders& h) {
    std::string out;
    out += "Server: Korvane Tessel Monitor (";
    out += h.serverName;
    out += ")\r\nDate: ";
    out += FormatHTTPDate(h.now);
    out +=
        "\r\nConnection: close\r\nX-Content-Type-Options: nosniff\r\n"
        "X-Frame-Options: DENY\r\nReferrer-Policy: same-origin\r\n";
    out += h.cacheable ? "Cache-Control: max-age=3600\r\n" : "Cache-Control: no-store\r\n";
    if (!h.setCookie.empty()) {
        out += "Set-Cookie: ";
        out += h.setCookie;
        out += "\r\n";
    }
    return out;
}
}  // namespace

std::string FormatHTTPDate(std::time_t now) {
    std::tm t{};
    gmtime_r(&now, &t);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[t.tm_wday % 7],
                  t.tm_mday, kMonths[t.tm_mon % 12], t.tm_year + 1900, t.tm_hour, t.tm_min,
                  t.tm_sec);
    return buf;
}

std::string BuildReply(int code, std::string_view reason, std::string_view contentType,
                       std::string_view body, const ReplyHeaders& headers) {
    std::string out = "HTTP/1.0 " + std::to_string(code) + " ";
    out += reason;
    out += "\r\nContent-Type: ";
    out += contentType;
    out += "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    if (contentType.substr(0, 9) == "text/html") {
        out += "Content-Security-Policy: default-src 'self'; frame-ancestors 'none'\r\n";
    }
    out += CommonHeaders(headers);
    out += "\r\n";
    out += body;
    return out;
}

std::string BuildRedirect(std::string_view location, const ReplyHeaders& headers) {
    std::string out = "HTTP/1.0 303 See Other\r\nLocation: ";
    // Only a relative page and an encoded query come here; line breaks never reach a header.
    for (char c : location) {
        if (c != '\r' && c != '\n') {
            out += c;
        }
    }
    out += "\r\nContent-Length: 0\r\n";
    out += CommonHeaders(headers);
    out += "\r\n";
    return out;
}

std::string BuildErrorReply(int code, std::string_view reason, std::string_view messageHtml,
                            const ReplyHeaders& headers) {
    const std::string status = std::to_string(code);
    std::string body;
    body +=
        "<!DOCTYPE html>\r\n<html lang=\"en\">\r\n<head>\r\n<meta charset=\"utf-8\">\r\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\r\n"
        "<link rel=\"stylesheet\" href=\"/kvzn.css\">\r\n"
        "<title>Korvane Tessel Monitor Embedded Web Server - ";
    body += reason;
    body +=
        "</title>\r\n</head>\r\n<body>\r\n<main class=\"error-page\">\r\n"
        "<p>We are sorry, but the following error occurred whilst processing the "
        "browser's request.</p>\r\n<hr>\r\n<h1>Error: HTTP/1.0 ";
    body += status + " (";
    body += reason;
    body += ")</h1>\r\n<p>";
    body += messageHtml;
    body +=
        "</p>\r\n<p class=\"support\">The Korvane Tessel Monitor Embedded Web Server displays "
        "monitoring information from the Korvane system. Support is found in the on-line "
        "documentation or from <a href=\"https://support.korvane.example/\">Korvane "
        "support</a>.</p>\r\n</main>\r\n</body>\r\n</html>\r\n";
    return BuildReply(code, reason, "text/html; charset=utf-8", body, headers);
}

std::string SessionCookie(std::string_view id) {
    return std::string(kSessionCookie) + "=" + std::string(id) +
           "; Path=/; HttpOnly; SameSite=Strict";
}

std::string ClearedSessionCookie() {
    return std::string(kSessionCookie) + "=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict";
}

std::string_view ContentTypeOf(std::string_view fileName) {
    const size_t dot = fileName.rfind('.');
    if (dot == std::string_view::npos) {
        return {};
    }
    const std::string_view ext = fileName.substr(dot + 1);
    struct Kind {
        std::string_view ext;
        std::string_view type;
    };
    static constexpr std::array<Kind, 8> kKinds = {{{"gif", "image/gif"},
                                                    {"jpg", "image/jpeg"},
                                                    {"jpeg", "image/jpeg"},
                                                    {"png", "image/png"},
                                                    {"bmp", "image/bmp"},
                                                    {"ico", "image/x-icon"},
                                                    {"webp", "image/webp"},
                                                    {"css", "text/css"}}};
    for (const Kind& k : kKinds) {
        if (platform::EqualsNoCase(ext, k.ext)) {
            return k.type;
        }
    }
    return {};
}

}  // namespace kvzn::web
