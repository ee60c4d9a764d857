// The alert engine: user scripts run or interpreted for alerts of their levels.
#include "channels/alert_engine.h"

#include <unistd.h>

#include <array>
#include <chrono>
#include <functional>
#include <new>

#include "alerting/dispatcher.h"
#include "channels/alert_email.h"
#include "channels/http_client.h"
#include "channels/record_context.h"
#include "channels/smtp_client.h"
#include "channels/syslog_client.h"
#include "companion/activity_log.h"
#include "config/registry_names.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/text.h"
#include "responses/shell_quote.h"
#include "service/monitor_schedule.h"

namespace kvzn::channels {

namespace {

constexpr std::string_view kModule = "kvZNAlertEngine";
constexpr int kAlertEngineComponent = 1;
constexpr size_t kNoLimit = 0;
constexpr const char* kConfigTitle = "Alert Engine Configuration Error";
constexpr const char* kConfigSource = "Tessel Monitor Internal Error";
constexpr const char* kMissingEntries =
    "One or more Tessel Monitor Alert Engine files cannot be run due to missing configuration "
    "entries. Please verify these settings using the Configuration Utility";
// The CA file for HTTPS scripts (registry value of the AlertEngine key); empty: the
// system's trust store.
constexpr const char* kHttpsCAFile = "HTTPSCAFile";
constexpr size_t kScriptValueSize = 520;

struct KindInfo {
    const char* levelPrefix;
    const char* scriptPrefix;
    const char* extension;
    const char* serverWord;  // in the interpretation failure text
};
constexpr std::array<KindInfo, 5> kKinds = {{
    {"ScriptCMDLevel", "ScriptCMD", "bat", ""},
    {"ScriptVBLevel", "ScriptVB", "vbs", ""},
    {"ScriptSysLogLevel", "ScriptSysLog", "tmp", "SysLog Server"},
    {"ScriptSMTPLevel", "ScriptSMTP", "tmp", "SMTP Server"},
    {"ScriptHTTPLevel", "ScriptHTTP", "tmp", "HTTP Server"},
}};

const KindInfo& Info(EngineKind kind) {
    return kKinds[static_cast<size_t>(kind)];
}

// A value after its header keyword: leading blanks removed, cut at the first control
// character and to `limit` characters (0: no limit).
std::string HeaderValue(std::string_view rest, size_t limit) {
    size_t start = 0;
    while (start < rest.size() && (rest[start] == ' ' || rest[start] == '\t')) {
        ++start;
    }
    std::string value;
    for (size_t i = start; i < rest.size(); ++i) {
        if (static_cast<unsigned char>(rest[i]) < 0x20) {
            break;
        }
        value += rest[i];
    }
    if (limit > 0 && value.size() > limit) {
        value.resize(limit);
    }
    return value;
}

// A header keyword with its length limit and what to do with its value; the handler
// returns an error text to end the parse.
struct Header {
    const char* keyword;
    size_t limit;
    std::function<std::string(std::string)> apply;
};

// Walks the lines of a script: comments skipped, headers applied, every other line given to
// `onText`. Returns the first error of a header.
std::string WalkScript(std::string_view text, const std::vector<Header>& headers,
                       const std::function<void(std::string_view)>& onText) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        std::string_view trimmed = line;
        while (!trimmed.empty() && (trimmed.front() == ' ' || trimmed.front() == '\t')) {
            trimmed.remove_prefix(1);
        }
        if (!trimmed.empty() && trimmed.front() == '#') {
            continue;
        }
        bool matched = false;
        for (const Header& h : headers) {
            const std::string_view keyword = h.keyword;
            if (trimmed.size() >= keyword.size() &&
                platform::EqualsNoCase(trimmed.substr(0, keyword.size()), keyword)) {
                std::string error = h.apply(HeaderValue(trimmed.substr(keyword.size()), h.limit));
                if (!error.empty()) {
                    return error;
                }
                matched = true;
                break;
            }
        }
        if (!matched && onText) {
            onText(line);
        }
    }
    return {};
}

// A port header: a decimal number from 1 to 65535.
bool ParsePort(const std::string& value, int& port) {
    if (value.empty() || value.size() > 5 ||
        value.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const int n = std::stoi(value);
    if (n <= 0 || n > 65535) {
        return false;
    }
    port = n;
    return true;
}

int LeadingNumber(const std::string& value, int fallback) {
    size_t i = 0;
    int n = 0;
    for (; i < value.size() && i < 9 && value[i] >= '0' && value[i] <= '9'; ++i) {
        n = n * 10 + (value[i] - '0');
    }
    return i == 0 ? fallback : n;
}

Header Text(const char* keyword, size_t limit, std::string& target) {
    return {keyword, limit, [&target](std::string v) {
                target = std::move(v);
                return std::string();
            }};
}

std::string InvalidPort(const char* kind) {
    return std::string("Invalid port found in Alert Script file. The ") + kind +
           " alert cannot be sent";
}

}  // namespace

ParsedScript<SysLogScript> ParseSysLogScript(std::string_view text) {
    ParsedScript<SysLogScript> parsed;
    SysLogScript& s = parsed.script;
    bool hasText = false;
    const std::vector<Header> headers = {
        Text("ZN-Server:", 259, s.server),
        {"ZN-Port:", kNoLimit,
         [&s](std::string v) {
             return ParsePort(v, s.port) ? std::string() : InvalidPort("SysLog");
         }},
        {"ZN-SysLogFacility:", kNoLimit,
         [&s](std::string v) {
             s.facility = LeadingNumber(v, s.facility);
             return std::string();
         }},
        {"ZN-SysLogSeverity:", kNoLimit,
         [&s](std::string v) {
             s.severity = LeadingNumber(v, s.severity);
             return std::string();
         }},
    };
    parsed.error = WalkScript(text, headers, [&](std::string_view line) {
        s.text += line;
        hasText = true;
    });
    if (!parsed.error.empty()) {
        return parsed;
    }
    if (!hasText || s.text.empty()) {
        parsed.error =
            "Insufficient data available to send SysLog message - message text was not specified";
    } else if (s.server.empty()) {
        parsed.error =
            "Insufficient data available to send SysLog message - SysLog server name/address was "
            "not specified";
    }
    return parsed;
}

ParsedScript<SmtpScript> ParseSmtpScript(std::string_view text) {
    ParsedScript<SmtpScript> parsed;
    SmtpScript& s = parsed.script;
    const std::vector<Header> headers = {
        Text("ZN-Server:", 259, s.server),
        {"ZN-Port:", kNoLimit,
         [&s](std::string v) {
             return ParsePort(v, s.port) ? std::string() : InvalidPort("SMTP");
         }},
        Text("ZN-SendFrom:", 259, s.sender),
        Text("ZN-SendTo:", kNoLimit, s.sendTo),
        Text("ZN-Subject:", 259, s.subject),
    };
    parsed.error = WalkScript(text, headers, [&](std::string_view line) {
        if (s.hasBody) {
            s.body += "\r\n";
        }
        s.body += line;
        s.hasBody = true;
    });
    if (!parsed.error.empty()) {
        return parsed;
    }
    const char* missing = nullptr;
    if (!s.hasBody) {
        missing = "message text was not specified";
    } else if (s.sendTo.empty()) {
        missing = "no recipients were specified";
    } else if (s.server.empty()) {
        missing = "SMTP server name/address was not specified";
    } else if (s.sender.empty()) {
        missing = "no sending e-mail address was specified";
    }
    if (missing != nullptr) {
        parsed.error = std::string("Insufficient data available to send SMTP message - ") + missing;
    }
    return parsed;
}

ParsedScript<HttpScript> ParseHttpScript(std::string_view text) {
    ParsedScript<HttpScript> parsed;
    HttpScript& s = parsed.script;
    const std::vector<Header> headers = {
        {"ZN-HTTPServer:", 259,
         [&s](std::string v) {
             if (v.size() >= 7 &&
                 platform::EqualsNoCase(std::string_view(v).substr(0, 7), "http://")) {
                 v.erase(0, 7);
                 s.https = false;
             } else if (v.size() >= 8 &&
                        platform::EqualsNoCase(std::string_view(v).substr(0, 8), "https://")) {
                 v.erase(0, 8);
                 s.https = true;
             }
             while (!v.empty() && v.back() == '/') {
                 v.pop_back();
             }
             s.server = std::move(v);
             return std::string();
         }},
        {"ZN-Port:", kNoLimit,
         [&s](std::string v) {
             return ParsePort(v, s.port) ? std::string() : InvalidPort("HTTP");
         }},
        {"ZN-Method:", kNoLimit,
         [&s](std::string v) {
             if (platform::EqualsNoCase(v, "GET")) {
                 s.post = false;
             } else if (platform::EqualsNoCase(v, "POST")) {
                 s.post = true;
             } else {
                 return std::string(
                     "Invalid method found in Alert Script file (must be GET or POST). The HTTP "
                     "alert cannot be sent");
             }
             return std::string();
         }},
        Text("ZN-URL:", kNoLimit, s.url),
        {"ZN-Param:", kNoLimit,
         [&s](std::string v) {
             s.params.push_back(std::move(v));
             return std::string();
         }},
        {"ZN-HTTPResult:", 259,
         [&s](std::string v) {
             if (v.empty() || v.size() > 9 ||
                 v.find_first_not_of("0123456789") != std::string::npos) {
                 return std::string(
                     "Invalid HTTP Result code found in Alert Script file. The HTTP alert cannot "
                     "be "
                     "sent");
             }
             const int code = std::stoi(v);
             s.expectedResult = code == 0 ? std::nullopt : std::optional<int>(code);
             return std::string();
         }},
        Text("ZN-SuccessText:", 259, s.successText),
        Text("ZN-ErrorText:", 259, s.errorText),
        Text("ZN-ContentType:", 99, s.contentType),
        Text("ZN-AcceptLanguage:", 149, s.acceptLanguage),
        Text("ZN-AcceptCharset:", 149, s.acceptCharset),
        Text("ZN-AcceptEncoding:", 149, s.acceptEncoding),
        Text("ZN-Agent:", 259, s.agent),
        Text("ZN-HTTPVer:", 99, s.version),
        Text("ZN-Connection:", 99, s.connection),
    };
    parsed.error = WalkScript(text, headers, {});
    if (!parsed.error.empty()) {
        return parsed;
    }
    // A full URL names its own scheme and server.
    for (const char* scheme : {"http://", "https://"}) {
        const std::string_view prefix = scheme;
        if (s.url.size() > prefix.size() &&
            platform::EqualsNoCase(std::string_view(s.url).substr(0, prefix.size()), prefix)) {
            const size_t slash = s.url.find('/', prefix.size());
            if (s.server.empty()) {
                s.server = s.url.substr(prefix.size(), slash - prefix.size());
            }
            s.https = prefix.size() == 8;
            s.url = slash == std::string::npos ? "/" : s.url.substr(slash);
        }
    }
    if (s.server.empty()) {
        parsed.error =
            "Insufficient data available to send HTTP message - no HTTP Server was specified";
    } else if (s.url.empty()) {
        parsed.error = "Insufficient data available to send HTTP message - no URL was specified";
    } else if (!s.post) {
        parsed.error =
            "Invalid method found in Alert Script file (must be GET or POST). The HTTP alert "
            "cannot be sent";
    }
    return parsed;
}

HttpScriptRequest BuildScriptRequest(const HttpScript& script) {
    HttpScriptRequest request;
    std::string params;
    for (const std::string& p : script.params) {
        params += "&" + EncodeParameter(p);
    }
    request.path = EncodeUrlPath(script.url);
    if (script.post.value_or(false)) {
        request.body = params;
    } else if (!params.empty()) {
        request.path += "?" + params.substr(1);
    }
    return request;
}

std::pair<std::string, std::string> SplitScriptValue(std::string_view value) {
    value = platform::TrimBlanks(value);
    size_t i = 0;
    bool quoted = false;
    for (; i < value.size(); ++i) {
        if (value[i] == '"') {
            quoted = !quoted;
        } else if (value[i] == ' ' && !quoted) {
            break;
        }
    }
    return {std::string(value.substr(0, i)),
            std::string(platform::TrimBlanks(value.substr(std::min(i, value.size()))))};
}

int AlertEngine::ProcessAlertEngine(const alerting::AlertRecord& record) {
    if (record.autoResponse.value_or(false) && ctx_.notifyRunningActions != 2) {
        ctx_.PostComponentStatus(kAlertEngineComponent,
                                 "Auto-response triggered - no notification required");
        return 1;
    }
    const uint32_t mask = record.LevelMask();
    for (EngineKind kind : {EngineKind::kCommand, EngineKind::kVBScript, EngineKind::kSmtp,
                            EngineKind::kSysLog, EngineKind::kHttp}) {
        SendAlertViaAlertEngine(kind, record, mask);
    }
    return 1;
}

int AlertEngine::SendAlertViaAlertEngine(EngineKind kind, const alerting::AlertRecord& record,
                                         uint32_t alertMask) {
    const companion::Logger log(kModule, "SendAlertViaAlertEngine");
    const std::string key = config::SubKey(config::subkey::kAlertEngine);
    const KindInfo& info = Info(kind);
    int result = 1;
    for (int n = 1;; ++n) {
        uint32_t entryMask = 0;
        if (ctx_.registry.ReadNumber(key, info.levelPrefix + std::to_string(n), entryMask) != 0) {
            break;
        }
        if (alertMask != 1023 && (alertMask & entryMask) == 0) {
            continue;
        }
        std::string value;
        ctx_.registry.ReadText(key, info.scriptPrefix + std::to_string(n), value, kScriptValueSize);
        if (platform::TrimBlanks(value).empty()) {
            alerting::NotifyInternalError(ctx_, 1, kConfigTitle, kConfigSource, kMissingEntries);
            result = 0;
            continue;
        }
        if (!service::IsWithinTimeWindow(ctx_, key, info.scriptPrefix, n)) {
            continue;
        }
        // One entry's failure never stops the others.
        int ran = 0;
        try {
            ran = RunAlertEngine(kind, record, value);
        } catch (const std::exception& e) {
            log(1, "The Alert Engine entry ", value, " failed: ", e.what());
        }
        if (!ran) {
            log(1, "An error occurred within the Alert Engine whilst processing the file ", value,
                ". One or more alerts may not have been sent");
            result = 0;
        }
    }
    return result;
}

int AlertEngine::RunAlertEngine(EngineKind kind, const alerting::AlertRecord& record,
                                const std::string& scriptValue) {
    const companion::Logger log(kModule, "RunAlertEngine");
    ctx_.PostComponentStatus(kAlertEngineComponent, "Preparing the command " + scriptValue);
    auto [templatePath, params] = SplitScriptValue(scriptValue);
    alerting::AlertTextContext text;
    try {
        text = RecordTextContext(ctx_, record, "N/A");
    } catch (const std::bad_alloc&) {
        log(1, "Insufficient memory available to run Alert Engine");
        return 0;
    }
    const KindInfo& info = Info(kind);
    const std::string compiled =
        ctx_.home + "/" + std::to_string(::getpid()) + "." + info.extension;
    platform::RemoveFile(compiled);
    ctx_.PostComponentStatus(kAlertEngineComponent, "Compiling " + templatePath);
    const bool shell = kind == EngineKind::kCommand || kind == EngineKind::kVBScript;
    // Alert texts in a shell script are quoted for the place they land in.
    const alerting::ValueTransform quote = [](std::string_view value, std::string_view before) {
        return responses::QuoteForShell(value, before);
    };
    const alerting::ValueTransform* transform = shell ? &quote : nullptr;
    const int dateFormat = ctx_.DateFormat();
    int compiledOk = alerting::SubstituteParams(record.errorType, templatePath, compiled, text,
                                                dateFormat, notices_, transform);
    if (!compiledOk && !params.empty()) {
        templatePath = scriptValue;
        params.clear();
        compiledOk = alerting::SubstituteParams(record.errorType, templatePath, compiled, text,
                                                dateFormat, notices_, transform);
    }
    if (!compiledOk) {
        const std::string message =
            "An error occurred while processing Alert Engine script " + templatePath;
        log(1, message);
        alerting::NotifyInternalError(ctx_, 1, kConfigTitle, kConfigSource, message);
        return 0;
    }

    if (shell) {
        const std::string commandLine = "/bin/sh \"" + compiled + "\" " + params;
        ctx_.PostComponentStatus(kAlertEngineComponent, "Running command " + commandLine);
        platform::SpawnOptions options;
        options.workingDirectory = ctx_.home;
        options.environment = {"KVZN_SERVER=" + text.server, "KVZN_TITLE=" + text.title,
                               "KVZN_ERROR=" + text.message, "KVZN_SOURCE=" + text.source,
                               "KVZN_INFO1=" + text.extra1,  "KVZN_INFO2=" + text.extra2,
                               "KVZN_INFO3=" + text.extra3};
        auto process = platform::SpawnProcess({"/bin/sh", "-c", commandLine}, options);
        if (!process.ok()) {
            const std::string message = "Unable to launch the command or script " + commandLine +
                                        ". The return code was " +
                                        std::to_string(process.status().err());
            log(1, message);
            alerting::NotifyInternalError(ctx_, 1, kConfigTitle, kConfigSource, message);
            platform::RemoveFile(compiled);
            return 0;
        }
        uint32_t timeout = 0;
        ctx_.registry.ReadNumber(config::kProductKey, config::value::kActionTimeout, timeout);
        if (timeout < 1) {
            timeout = 120;
        }
        ctx_.PostComponentStatus(kAlertEngineComponent,
                                 "Waiting for command to complete - timeout is " +
                                     std::to_string(timeout) + "secs. ...");
        process->WaitFor(std::chrono::seconds(timeout), &ctx_.stopEvent);
        process->Abandon();  // a command still running is left to finish on its own
    } else {
        int sent = 0;
        if (kind == EngineKind::kSysLog) {
            sent = AlertEngine_SysLog(compiled);
        } else if (kind == EngineKind::kSmtp) {
            sent = AlertEngine_SMTP(compiled);
        } else {
            sent = AlertEngine_HTTP(compiled);
        }
        if (!sent) {
            const std::string message =
                std::string(
                    "An error occurred whilst the Alert Engine attempted to log an alert to "
                    "the ") +
                info.serverWord + " using the file " + templatePath +
                ". Please check the Korvane log file & Configuration Utility settings";
            log(1, message);
            alerting::NotifyInternalError(ctx_, 1, kConfigTitle, kConfigSource, message);
        }
    }
    platform::RemoveFile(compiled);
    return 1;
}

std::optional<std::string> AlertEngine::ReadCompiled(const std::string& path,
                                                     const char* function) {
    auto text = platform::ReadWholeFile(path);
    if (!text.ok()) {
        companion::Logger(kModule, function)(1, "Unable to open the temporary Alert Engine file ",
                                             path, ". The file does not exist");
        return std::nullopt;
    }
    return std::move(*text);
}

int AlertEngine::AlertEngine_SysLog(const std::string& path) {
    const companion::Logger log(kModule, "AlertEngine_SysLog");
    ctx_.PostComponentStatus(kAlertEngineComponent, "Processing SysLog file " + path);
    const auto text = ReadCompiled(path, "AlertEngine_SysLog");
    if (!text) {
        return 0;
    }
    const auto parsed = ParseSysLogScript(*text);
    if (!parsed.error.empty()) {
        log(1, parsed.error);
        return 0;
    }
    const SysLogScript& s = parsed.script;
    ctx_.PostComponentStatus(kAlertEngineComponent,
                             "Sending details to the SysLog server " + s.server);
    return kvZNSysLog_Send({}, s.server, s.port, s.facility, s.severity, ctx_.computerName, s.text,
                           ctx_.clock);
}

int AlertEngine::AlertEngine_SMTP(const std::string& path) {
    const companion::Logger log(kModule, "AlertEngine_SMTP");
    ctx_.PostComponentStatus(kAlertEngineComponent, "Processing the SMTP file " + path);
    const auto text = ReadCompiled(path, "AlertEngine_SMTP");
    if (!text) {
        return 0;
    }
    const auto parsed = ParseSmtpScript(*text);
    if (!parsed.error.empty()) {
        log(1, parsed.error);
        return 0;
    }
    const SmtpScript& s = parsed.script;
    ctx_.PostComponentStatus(kAlertEngineComponent,
                             "Sending  details to the SMTP server " + s.server);
    // A script names its own server: the encryption settings apply, the common logon does not.
    SmtpSecurity security = ReadSmtpSecurity(ctx_);
    security.user.clear();
    security.password.clear();
    return kvZNNotify_SMTPConnectAndSend(s.server, s.server, s.port, s.sender, s.sendTo, s.subject,
                                         s.body, {}, security);
}

int AlertEngine::AlertEngine_HTTP(const std::string& path) {
    const companion::Logger log(kModule, "AlertEngine_HTTP");
    ctx_.PostComponentStatus(kAlertEngineComponent, "Processing the HTTP file " + path);
    const auto text = ReadCompiled(path, "AlertEngine_HTTP");
    if (!text) {
        return 0;
    }
    const auto parsed = ParseHttpScript(*text);
    if (!parsed.error.empty()) {
        log(1, parsed.error);
        return 0;
    }
    const HttpScript& s = parsed.script;
    HttpSecurity security;
    security.tls = s.https;
    ctx_.registry.ReadText(config::SubKey(config::subkey::kAlertEngine), kHttpsCAFile,
                           security.trust.caFile, 260);
    const int port = s.port != 0 ? s.port : (s.https ? 443 : 80);
    HttpConnection connection;
    if (!kvHTTP_ConnectEx(connection, s.server, port, security)) {
        log(1, "Unable to connect to the HTTP server ", s.server, " on port ", port,
            ". The HTTP alert could not be sent");
        return 0;
    }
    const HttpScriptRequest target = BuildScriptRequest(s);
    HttpRequest request;
    request.method = s.post.value_or(false) ? HttpMethod::kPost : HttpMethod::kGet;
    request.server = s.server;
    request.path = target.path;
    request.body = target.body;
    request.contentType = s.contentType;
    request.acceptLanguage = s.acceptLanguage;
    request.acceptCharset = s.acceptCharset;
    request.acceptEncoding = s.acceptEncoding;
    request.connection = s.connection;
    request.agent = s.agent;
    request.version = s.version;
    if (request.method == HttpMethod::kPost) {
        ctx_.PostComponentStatus(kAlertEngineComponent, "Sending POST request to HTTP server ");
    } else if (s.params.empty()) {
        ctx_.PostComponentStatus(kAlertEngineComponent,
                                 "Sending GET request to HTTP server " + s.server);
    } else {
        ctx_.PostComponentStatus(kAlertEngineComponent,
                                 "Sending GET request (with parameters) to HTTP server ");
    }
    std::string errorText;
    std::string reply;
    std::string sentRequest;
    if (!kvHTTP_SendRequestWithTextReturn(connection, request, errorText, 1000, reply, 5000,
                                          kHttpDefaultTimeout, &sentRequest)) {
        // Gateway passwords travel in parameters: the logged request never shows them.
        const std::string shownPath = RequestForLog(request.path);
        log(1, "Unable to access the requested URL ", shownPath,
            ". The HTTP alert cannot be sent. The original request was ",
            RequestForLog(sentRequest), ". The error was ", errorText);
        kvHTTP_DisconnectEx(connection);
        return 0;
    }
    kvHTTP_DisconnectEx(connection);
    if (s.expectedResult) {
        const std::optional<int> status = ParseHttpStatus(reply);
        if (status != s.expectedResult) {
            log(1, "The HTTP alert was sent but the expected HTTP return code (", *s.expectedResult,
                ") was not found in the result: ", reply, ". The original request was ",
                RequestForLog(sentRequest));
            return 0;
        }
    }
    auto containsNoCase = [](std::string_view hay, std::string_view needle) {
        if (needle.size() > hay.size()) {
            return false;
        }
        for (size_t i = 0; i + needle.size() <= hay.size(); ++i) {
            if (platform::EqualsNoCase(hay.substr(i, needle.size()), needle)) {
                return true;
            }
        }
        return false;
    };
    if (!s.errorText.empty() && containsNoCase(reply, s.errorText)) {
        log(1, "The HTTP alert was sent but the error text was found in the result: ", reply);
        return 0;
    }
    if (!s.successText.empty() && reply.find(s.successText) == std::string::npos) {
        log(1, "The HTTP alert was sent but the success text was not found in the result: ", reply);
        return 0;
    }
    return 1;
}

}  // namespace kvzn::channels
