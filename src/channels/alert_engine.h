// The alert engine: user scripts run or interpreted for alerts of their levels.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "alerting/alert_record.h"
#include "alerting/message_text.h"
#include "service/service_context.h"

namespace kvzn::channels {

enum class EngineKind { kCommand = 0, kVBScript = 1, kSysLog = 2, kSmtp = 3, kHttp = 4 };

// The settings of a SysLog alert script.
struct SysLogScript {
    std::string server;
    int port = 514;
    int facility = 14;
    int severity = 1;
    std::string text;  // the message lines joined without separator
};
// The settings of an SMTP alert script.
struct SmtpScript {
    std::string server;
    int port = 25;
    std::string sender;
    std::string sendTo;
    std::string subject;
    std::string body;  // the message lines joined with CR LF
    bool hasBody = false;
};
// The settings of an HTTP alert script.
struct HttpScript {
    std::string server;        // without "http://" or "https://"
    bool https = false;        // the server or the URL named https://
    int port = 0;              // 0: 80, or 443 for https
    std::optional<bool> post;  // unset: no method given
    std::string url;
    std::vector<std::string> params;
    std::optional<int> expectedResult;
    std::string successText;
    std::string errorText;
    std::string contentType;
    std::string acceptLanguage;
    std::string acceptCharset;
    std::string acceptEncoding;
    std::string agent;
    std::string version;
    std::string connection;
};

// A parsed script, or the message that ended the parse.
template <class T>
struct ParsedScript {
    T script;
    std::string error;  // empty when the script can be used
};

// Parsers of compiled alert script files: leading blanks ignored, "#" comments, headers
// matched without regard to case (the last of a kind counts, "ZN-Param:" accumulates),
// values cut at the first control character and at their length limit. The checks after
// reading (required values) are reported in `error` with the system's texts.
ParsedScript<SysLogScript> ParseSysLogScript(std::string_view text);
ParsedScript<SmtpScript> ParseSmtpScript(std::string_view text);
ParsedScript<HttpScript> ParseHttpScript(std::string_view text);

// The request path of an HTTP script and its body: GET "url?params" (or "url"), POST "url"
// with the body "&p1&p2"; URL and parameters percent-encoded.
struct HttpScriptRequest {
    std::string path;
    std::optional<std::string> body;
};
HttpScriptRequest BuildScriptRequest(const HttpScript& script);

// The template path and parameters of a script value: the first word (a part in double
// quotes may hold blanks and keeps its quotes) and the rest.
std::pair<std::string, std::string> SplitScriptValue(std::string_view value);

// The alert engine of one run; runs on the alert notification thread only.
// @threadsafety One thread at a time (the compiled file names depend on the process id).
class AlertEngine {
  public:
    explicit AlertEngine(service::ServiceContext& ctx) : ctx_(ctx) {}

    // Runs every entry of every kind whose level mask and time window match. Returns 1.
    int ProcessAlertEngine(const alerting::AlertRecord& record);
    // The entries of one kind. 1 when every matching entry ran, else 0.
    int SendAlertViaAlertEngine(EngineKind kind, const alerting::AlertRecord& record,
                                uint32_t alertMask);
    // Compiles and runs or interprets one entry. 0 when it could not be compiled or launched.
    int RunAlertEngine(EngineKind kind, const alerting::AlertRecord& record,
                       const std::string& scriptValue);
    // Interpreters of the compiled files: 1 when the message went out (and, for HTTP, the
    // reply passed its checks).
    int AlertEngine_SysLog(const std::string& path);
    int AlertEngine_SMTP(const std::string& path);
    int AlertEngine_HTTP(const std::string& path);

  private:
    std::optional<std::string> ReadCompiled(const std::string& path, const char* function);

    service::ServiceContext& ctx_;
    alerting::TemplateNotices notices_;
};

}  // namespace kvzn::channels
