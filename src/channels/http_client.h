// The HTTP/1.1 client of the alert engine: one connection, one request, one reply.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "companion/tcpip.h"
#include "platform/tls.h"

namespace kvzn::channels {

inline constexpr int kHttpConnectTimeout = 9;
inline constexpr int kHttpDefaultTimeout = 120;
inline constexpr size_t kHttpReplyChunk = 999;

enum class HttpMethod { kHead = 1, kGet = 2, kPost = 3 };

// One connection slot: the socket and, for HTTPS, the TLS session on it.
struct HttpConnection {
    companion::Socket sock;
    std::unique_ptr<platform::TlsSession> tls;
};

// How a connection is secured: plain HTTP, or HTTPS checked against `trust`.
struct HttpSecurity {
    bool tls = false;
    platform::TlsTrust trust;
};

// The values of one request; an empty value takes the client's default.
struct HttpRequest {
    HttpMethod method = HttpMethod::kGet;
    std::string server;  // the "Host:" value
    std::string path;
    std::string contentType;
    std::string acceptLanguage;
    std::string acceptCharset;
    std::string acceptEncoding;
    std::string connection;
    std::string agent;
    std::string version;
    std::optional<std::string> body;  // POST only
};

// The request text: request line, the header lines in fixed order with their defaults
// (values cut to their limits, line breaks removed), "Content-Length" for POST, the empty
// line and the body.
std::string BuildHttpRequest(const HttpRequest& request);

// The status code of a reply's first line (the text between its first and second blank),
// and its reason phrase when asked; nothing when the line has no such blanks or the code
// is not a number.
std::optional<int> ParseHttpStatus(std::string_view reply, std::string* reason = nullptr);

// Percent-encodes every byte outside the unreserved set (letters, digits, "-", ".", "_",
// "~"), with lower-case hexadecimal digits. `keep` names further characters left as they
// are ("/" for a path).
std::string PercentEncode(std::string_view text, std::string_view keep = {});
// A request path: "/" and the path characters kept, all else encoded (blanks, "%", "&",
// "+", "?", "#", line breaks, non-ASCII).
std::string EncodeUrlPath(std::string_view path);
// One "name=value" parameter: name and value encoded apart, the first "=" kept.
std::string EncodeParameter(std::string_view parameter);

// The request text as it may be logged: the value of every query or body parameter whose
// name suggests a secret (password, pwd, pass, secret, token, key, auth) and the value of
// an "Authorization" header become "***", as does the user information of a URL.
std::string RequestForLog(std::string_view request);

// Connects to `server` (port 0 means 80, or 443 with TLS) within 9 seconds and, for
// HTTPS, completes the handshake. True when connected; failures logged under kvHTTP.
bool kvHTTP_ConnectEx(HttpConnection& connection, std::string_view server, int port,
                      const HttpSecurity& security = {});

// Sends the request and reads its reply: the status line, the headers and as much of the
// body as fits in 999 bytes (cut to `replySize` - 1), waiting at most `timeoutSeconds`
// (negative: 120). 1 when a reply came; 0 with `errorText` (cut to `errorSize` - 1) on
// failure. `requestOut`, when given, receives the request that was sent.
int kvHTTP_SendRequestWithTextReturn(HttpConnection& connection, const HttpRequest& request,
                                     std::string& errorText, size_t errorSize, std::string& reply,
                                     size_t replySize, int timeoutSeconds,
                                     std::string* requestOut = nullptr);

// Ends the session and closes the connection. 1 when closed.
int kvHTTP_DisconnectEx(HttpConnection& connection);

}  // namespace kvzn::channels
