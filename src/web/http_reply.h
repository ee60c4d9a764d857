// The replies of the embedded web server: pages, files, redirects and error pages. Each
// reply is built whole, so its Content-Length is the length of the body that follows.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

namespace kvzn::web {

// "Sun, 06 Dec 2026 09:05:01 GMT" of `now`.
std::string FormatHTTPDate(std::time_t now);

struct ReplyHeaders {
    std::string_view serverName;  // the computer name, in the "Server:" header
    std::time_t now = 0;
    std::string_view setCookie;  // the whole Set-Cookie value; empty: none
    bool cacheable = false;      // static files; pages are never stored
};

// A complete reply: status line, headers (Content-Length = body size) and body.
std::string BuildReply(int code, std::string_view reason, std::string_view contentType,
                       std::string_view body, const ReplyHeaders& headers);

// A 303 redirect to `location` (a relative page and an encoded query; never raw input).
std::string BuildRedirect(std::string_view location, const ReplyHeaders& headers);

// The error page: "Error: HTTP/1.0 <code> (<reason>)" and `messageHtml`, which is trusted
// markup of the server's own (fixed texts with <BR>).
std::string BuildErrorReply(int code, std::string_view reason, std::string_view messageHtml,
                            const ReplyHeaders& headers);

// The Set-Cookie value that gives the browser session `id`, and the one that clears it.
std::string SessionCookie(std::string_view id);
std::string ClearedSessionCookie();

// The content type of a static file by its extension; empty when the server does not
// serve that kind of file.
std::string_view ContentTypeOf(std::string_view fileName);

}  // namespace kvzn::web
