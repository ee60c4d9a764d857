// The HTTP/1.1 client of the alert engine: one connection, one request, one reply.
#include "channels/http_client.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>

#include "companion/activity_log.h"
#include "platform/text.h"

namespace kvzn::channels {

namespace {

constexpr std::string_view kModule = "kvHTTP";

// A header value on one line, cut to its limit (limit - 1 characters kept).
std::string HeaderValue(std::string_view value, std::string_view fallback, size_t limit) {
    std::string out;
    for (char c : value.empty() ? fallback : value) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7f) {
            out += c;
        }
    }
    if (limit > 0 && out.size() > limit - 1) {
        out.resize(limit - 1);
    }
    return out;
}

bool Unreserved(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_' ||
           c == '~';
}

bool SecretName(std::string_view name) {
    std::string lower;
    for (char c : name) {
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    for (const char* word : {"pass", "pwd", "secret", "token", "key", "auth"}) {
        if (lower.find(word) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// Masks the values of secret parameters in "a=1&b=2" text (stopping at a blank or line end).
std::string MaskParameters(std::string_view text) {
    std::string out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of("& \r\n", pos);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string_view item = text.substr(pos, end - pos);
        const size_t eq = item.find('=');
        if (eq != std::string_view::npos && SecretName(item.substr(0, eq))) {
            out += std::string(item.substr(0, eq + 1)) + "***";
        } else {
            out += item;
        }
        if (end < text.size()) {
            out += text[end];
        }
        pos = end + 1;
    }
    return out;
}

// True once the header block has ended and as much body as its Content-Length announces
// (none when it announces nothing) has arrived.
bool ReplyComplete(std::string_view received) {
    const size_t end = received.find("\r\n\r\n");
    if (end == std::string_view::npos) {
        return false;
    }
    size_t length = 0;
    size_t pos = 0;
    while (pos < end) {
        size_t eol = received.find("\r\n", pos);
        const std::string_view line = received.substr(pos, eol - pos);
        if (line.size() > 15 && platform::EqualsNoCase(line.substr(0, 15), "Content-Length:")) {
            const std::string_view digits = platform::TrimBlanks(line.substr(15));
            for (char c : digits.substr(0, 9)) {
                if (c < '0' || c > '9') {
                    break;
                }
                length = length * 10 + static_cast<size_t>(c - '0');
            }
        }
        pos = eol + 2;
    }
    return received.size() >= end + 4 + length;
}

}  // namespace

std::string BuildHttpRequest(const HttpRequest& r) {
    static constexpr std::array<const char*, 4> kMethods = {"GET", "HEAD", "GET", "POST"};
    const bool post = r.method == HttpMethod::kPost;
    std::string text = std::string(kMethods[static_cast<size_t>(r.method) % 4]) + " " +
                       HeaderValue(r.path, "/", 0) + " " + HeaderValue(r.version, "HTTP/1.1", 100) +
                       "\r\n";
    text += "Accept: */*\r\n";
    text += "Accept-Language: " + HeaderValue(r.acceptLanguage, "en-gb", 150) + "\r\n";
    text += "Accept-Encoding: " + HeaderValue(r.acceptEncoding, "gzip, deflate", 150) + "\r\n";
    text += "Accept-charset: " + HeaderValue(r.acceptCharset, "utf-8", 150) + "\r\n";
    text += "User-Agent: " +
            HeaderValue(r.agent, "Mozilla/4.0 (compatible; Korvane Tessel Monitor)", 260) + "\r\n";
    text += "Host: " + HeaderValue(r.server, "", 0) + "\r\n";
    text +=
        "Content-type: " + HeaderValue(r.contentType, "application/x-www-form-urlencoded", 100) +
        "\r\n";
    const std::string body = post ? r.body.value_or("") : std::string();
    if (post) {
        text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    }
    text += "Connection: " + HeaderValue(r.connection, "Keep-Alive", 150) + "\r\n";
    text += "\r\n";
    text += body;
    return text;
}

std::optional<int> ParseHttpStatus(std::string_view reply, std::string* reason) {
    const std::string_view line = reply.substr(0, reply.find_first_of("\r\n"));
    const size_t first = line.find(' ');
    if (first == std::string_view::npos) {
        return std::nullopt;
    }
    const size_t second = line.find(' ', first + 1);
    if (second == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view code = line.substr(first + 1, std::min<size_t>(second - first - 1, 20));
    if (code.empty() || code.size() > 9 ||
        code.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    if (reason != nullptr) {
        *reason = std::string(line.substr(second + 1));
    }
    return std::stoi(std::string(code));
}

std::string PercentEncode(std::string_view text, std::string_view keep) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (Unreserved(c) || keep.find(c) != std::string_view::npos) {
            out += c;
        } else {
            const auto u = static_cast<unsigned char>(c);
            out += {'%', kHex[u >> 4], kHex[u & 15]};
        }
    }
    return out;
}

std::string EncodeUrlPath(std::string_view path) {
    return PercentEncode(path, "/:@!$'()*,;=");
}

std::string EncodeParameter(std::string_view parameter) {
    const size_t eq = parameter.find('=');
    if (eq == std::string_view::npos) {
        return PercentEncode(parameter);
    }
    return PercentEncode(parameter.substr(0, eq)) + "=" + PercentEncode(parameter.substr(eq + 1));
}

std::string RequestForLog(std::string_view request) {
    std::string out;
    size_t pos = 0;
    bool firstLine = true;
    bool inBody = false;
    while (pos < request.size()) {
        size_t end = request.find('\n', pos);
        end = end == std::string_view::npos ? request.size() : end + 1;
        std::string_view line = request.substr(pos, end - pos);
        pos = end;
        if (inBody) {
            out += MaskParameters(line);
        } else if (firstLine) {
            // "METHOD target VERSION": user information and secret query values masked.
            std::string l(line);
            if (const size_t scheme = l.find("://"); scheme != std::string::npos) {
                const size_t at = l.find('@', scheme);
                const size_t slash = l.find('/', scheme + 3);
                if (at != std::string::npos && (slash == std::string::npos || at < slash)) {
                    l = l.substr(0, scheme + 3) + "***" + l.substr(at);
                }
            }
            const size_t query = l.find('?');
            out += query == std::string::npos
                       ? l
                       : l.substr(0, query + 1) + MaskParameters(l.substr(query + 1));
            firstLine = false;
        } else if (line == "\r\n" || line == "\n") {
            out += line;
            inBody = true;
        } else if (line.size() > 14 &&
                   platform::EqualsNoCase(line.substr(0, 14), "Authorization:")) {
            out += "Authorization: ***\r\n";
        } else {
            out += line;
        }
    }
    return out;
}

bool kvHTTP_ConnectEx(HttpConnection& c, std::string_view server, int port,
                      const HttpSecurity& security) {
    const companion::Logger log(kModule, "kvHTTP_ConnectEx");
    if (port == 0) {
        port = security.tls ? 443 : 80;
    }
    std::string reason;
    const int rc = port > 0 && port <= 65535
                       ? companion::IpConnect(c.sock, server, static_cast<uint16_t>(port),
                                              kHttpConnectTimeout, &reason)
                       : EINVAL;
    if (rc != companion::kIpOk) {
        log(1, "Unable to connect to the HTTP server as a connection to the target server ", server,
            " could not be established. Error ", rc);
        if (!reason.empty()) {
            log(4, reason);
        }
        return false;
    }
    if (security.tls) {
        auto tls =
            platform::StartTlsSession(c.sock.fd(), server, security.trust, kHttpConnectTimeout);
        if (!tls.ok()) {
            log(1,
                "Unable to connect to the HTTP server as a secure connection to the target server ",
                server, " could not be established. ", tls.status().Text());
            companion::IpClose(c.sock);
            return false;
        }
        c.tls = std::move(*tls);
    }
    return true;
}

int kvHTTP_SendRequestWithTextReturn(HttpConnection& c, const HttpRequest& request,
                                     std::string& errorText, size_t errorSize, std::string& reply,
                                     size_t replySize, int timeoutSeconds,
                                     std::string* requestOut) {
    const companion::Logger log(kModule, "kvHTTP_SendRequestWithTextReturn");
    auto fail = [&](const std::string& text) {
        log(1, text);
        errorText = errorSize == 0 ? std::string() : text.substr(0, errorSize - 1);
        return 0;
    };
    reply.clear();
    if (request.path.empty()) {
        return fail("Unable to retrieve HTML Page. No URL was specified");
    }
    if (timeoutSeconds < 0) {
        timeoutSeconds = kHttpDefaultTimeout;
    }
    const std::string text = BuildHttpRequest(request);
    if (requestOut != nullptr) {
        *requestOut = text;
    }
    int rc = companion::kIpOk;
    if (c.tls) {
        const platform::Status st = c.tls->Send(text, 10);
        rc = st.ok() ? companion::kIpOk : st.err();
    } else {
        rc = companion::IpSendText(c.sock, text);
    }
    if (rc != companion::kIpOk) {
        return fail("Unable to retrieve HTML Page due to error " + std::to_string(rc));
    }
    // The first chunk within the time-out; then what follows at once, up to the end of the
    // header block or 999 bytes.
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
    std::string received;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::seconds>(deadline - Clock::now());
        const int wait = received.empty() ? std::max<int>(1, static_cast<int>(left.count())) : 1;
        std::string chunk;
        if (c.tls) {
            const platform::Status st =
                c.tls->Receive(chunk, kHttpReplyChunk - received.size(), wait);
            rc = st.ok() ? companion::kIpOk
                         : (st.err() == ETIMEDOUT ? companion::kIpTimedOut : st.err());
        } else {
            rc = companion::IpReceiveReply(c.sock, chunk, kHttpReplyChunk - received.size(), wait);
        }
        if (rc != companion::kIpOk) {
            if (received.empty()) {
                return fail("Unable to retrieve HTTP response due to error " + std::to_string(rc));
            }
            break;
        }
        received += chunk;
        if (received.size() >= kHttpReplyChunk || ReplyComplete(received) ||
            Clock::now() >= deadline) {
            break;
        }
    }
    reply = replySize == 0 ? std::string() : received.substr(0, replySize - 1);
    return 1;
}

int kvHTTP_DisconnectEx(HttpConnection& c) {
    const companion::Logger log(kModule, "kvHTTP_DisconnectEx");
    if (!c.sock.valid()) {
        log(1, "Unable to disconnect. No HTTP connection specified");
        return 0;
    }
    if (c.tls) {
        c.tls->Bye();
        c.tls.reset();
    }
    const int rc = companion::IpClose(c.sock);
    if (rc != companion::kIpOk) {
        log(1, "An error occurred whilst disconnecting from the HTTP server. Error ", rc);
        return 0;
    }
    return 1;
}

}  // namespace kvzn::channels
