// HTTP requests of the embedded web server: framing of the bytes received, parsing into a
// method, a path, named parameters and the session cookie, and the URL codings.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kvzn::web {

// Method codes as the dispatcher knows them; 0 = not decodable or not supported.
enum class Method { kNone = 0, kHead = 1, kGet = 2, kPost = 3 };

// The session cookie's name.
inline constexpr std::string_view kSessionCookie = "ckKorvanePrintSession";

// How much one request may hold. A request beyond these is refused, never buffered.
struct RequestLimits {
    size_t maxHeader = 16 * 1024;  // request line and header lines, up to the blank line
    size_t maxBody = 64 * 1024;    // a POST's declared Content-Length
};

// What the bytes received so far amount to.
enum class Framing {
    kIncomplete,      // keep reading
    kComplete,        // `length` bytes form one request
    kHeaderTooLarge,  // no end of header within maxHeader (reply 431)
    kBodyTooLarge,    // Content-Length above maxBody (reply 413)
    kNoLength,        // a POST without a usable Content-Length (reply 411)
    kMalformed,       // not an HTTP request of a supported method (reply 400)
};

struct FramingResult {
    Framing framing = Framing::kIncomplete;
    size_t length = 0;  // with kComplete: bytes of header and body
};

// Looks at the bytes received so far. Pure; each call looks at the whole of `data`.
FramingResult FrameRequest(std::string_view data, const RequestLimits& limits = {});

struct Parameter {
    std::string name;   // decoded
    std::string value;  // decoded
};

// One parsed request. Every text is decoded once, after it has been split off, so an
// encoded "&", "=", "?" or line break is part of a value and never a delimiter.
struct HttpRequest {
    Method method = Method::kNone;
    std::string path;               // decoded path, without the query
    std::vector<Parameter> params;  // the query's, then the form body's, in order
    std::string sessionId;          // value of the session cookie; empty when absent
    std::string authorization;      // the Authorization header's value
    bool formBody = false;          // the parameters include a POSTed form

    // The value of the first parameter whose whole name equals `name` (any case); null when
    // absent.
    const std::string* Param(std::string_view name) const;
    bool Has(std::string_view name) const { return Param(name) != nullptr; }
    // The parameters re-encoded as a query text, leaving out those named `without`.
    std::string QueryText(std::string_view without = {}) const;
};

// Parses one complete request (as framed by FrameRequest). Returns the method code;
// kNone, with nothing else filled, for a method other than GET, HEAD and POST or a request
// line that cannot be read. Malformed header lines are ignored.
Method DecodeRequestType(std::string_view request, HttpRequest& out);

// "%XX" becomes the byte it gives ("%" without two hexadecimal digits stays as it is);
// with `plusIsBlank`, "+" becomes a blank (query and form texts, not paths).
std::string UrlDecode(std::string_view text, bool plusIsBlank = true);
// Everything but letters, digits and "-._~/" as "%XX"; safe inside a header and a URL.
std::string UrlEncode(std::string_view text);

// The parameters of a query or form text "a=1&b=2", each decoded.
std::vector<Parameter> ParseParameters(std::string_view text);

}  // namespace kvzn::web
