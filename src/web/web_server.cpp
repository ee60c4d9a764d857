// The embedded web server: the listener thread accepts connections and hands them to a
// fixed pool of workers; each worker reads one request within its size and time limits,
// applies the address list and the logon rules, and sends one reply.
#include "web/web_server.h"

#include <cstdlib>

#include <algorithm>
#include <filesystem>

#include "alerting/dispatcher.h"
#include "alerting/message_text.h"
#include "companion/activity_log.h"
#include "config/registry_names.h"
#include "config/scrambled_values.h"
#include "console/console_requests.h"
#include "platform/file.h"
#include "platform/os_info.h"
#include "platform/profile_file.h"
#include "platform/text.h"
#include "printmon/print_server_monitor.h"
#include "web/config_check.h"
#include "web/http_reply.h"
#include "web/page_template.h"
#include "web/pages.h"
#include "web/printer_pages.h"
#include "web/remote_exec.h"
#include "web/status_data.h"

namespace kvzn::web {

namespace {
constexpr std::string_view kModule = "kvZNWebSvr";
constexpr int kWebComponent = 13;
constexpr const char* kInternalErrorTitle = "Web Server Configuration Error";
constexpr const char* kInternalErrorSource = "Tessel Monitor Internal Error";
constexpr const char* kRetryText =
    "Please retry the request again.<BR>If it continues to fail, please contact your System "
    "Administrator";

bool StartsNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           platform::EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

// The management pages that need a logon in logon mode 2.
constexpr std::string_view kManagementPaths[] = {
    "/ZNRExec.htm",       "/ZNRExec.kvp",     "/PrintPrinterSummary.kvp",
    "/PrintPrinters.kvp", "/PrintPrintQ.kvp", "/PrintRedirect.kvp"};

// The pages a logon may lead back to.
constexpr std::string_view kKnownPages[] = {
    "/PrintStatus.kvp",   "/PrintStatus.htm",   "/RecStatus.kvp",
    "/PrintErrors.kvp",   "/PrintErrors.htm",   "/RecErrors.kvp",
    "/PrintPerfLog.kvp",  "/PrintPerfLog.htm",  "/ZNRExec.htm",
    "/ZNRExec.kvp",       "/ZNConfigCheck.htm", "/ZNConfigCheck.kvp",
    "/PrintPrintQ.kvp",   "/PrintPrinters.kvp", "/PrintPrinterSummary.kvp",
    "/PrintRedirect.kvp", "/ZNHome.htm",        "/metrics",
    "/status.json"};

std::string_view KnownPage(std::string_view path) {
    for (std::string_view page : kKnownPages) {
        if (platform::EqualsNoCase(path, page)) {
            return page;
        }
    }
    return {};
}

std::string Base64Decode(std::string_view in) {
    std::string out;
    uint32_t buffer = 0;
    int bits = 0;
    for (char c : in) {
        int v = -1;
        if (c >= 'A' && c <= 'Z') {
            v = c - 'A';
        } else if (c >= 'a' && c <= 'z') {
            v = c - 'a' + 26;
        } else if (c >= '0' && c <= '9') {
            v = c - '0' + 52;
        } else if (c == '+') {
            v = 62;
        } else if (c == '/') {
            v = 63;
        } else if (c == '=') {
            break;
        } else {
            return {};
        }
        buffer = (buffer << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((buffer >> bits) & 0xff));
        }
    }
    return out;
}

}  // namespace

WebSettings ReadWebSettings(service::ServiceContext& ctx) {
    WebSettings s;
    const std::string ini = ctx.home + "/kvZNWebServer.ini";
    const long port = platform::GetProfileInt("TesselPrint", "Port", 80, ini);
    s.port = port > 0 && port <= 65535 ? static_cast<uint16_t>(port) : 80;
    const companion::Registry& reg = ctx.registry;
    uint32_t threads = 50;
    if (reg.ReadNumber(config::kProductKey, config::value::kMaxWebServerThreads, threads) == 0) {
        s.maxThreads = threads < 1 ? 50 : std::min<uint32_t>(threads, 255);
    }
    reg.ReadNumber(config::kProductKey, config::value::kWebSessionTimeout, s.sessionTimeout);
    uint32_t rexec = 0;
    reg.ReadNumber(config::kProductKey, config::value::kEnableRExecSessions, rexec);
    s.enableRExec = rexec == 1;
    reg.ReadNumber(config::kProductKey, config::value::kWebSessionLogon, s.logonMode);
    reg.ReadNumber(config::kProductKey, config::value::kWebSessionIPShutdownTimeout,
                   s.shutdownTimeout);
    s.shutdownTimeout = std::min<uint32_t>(s.shutdownTimeout, 30);
    return s;
}

// What one run of the listener shares with its workers.
struct WebServer::Run_ {
    Run_(service::ServiceContext& ctx, WebSettings settings,
         std::shared_ptr<console::ConsoleClients> console)
        : ctx(ctx),
          settings(std::move(settings)),
          console(std::move(console)),
          addresses(ctx.registry),
          sessions(ctx.clock, this->settings.sessionTimeout),
          startedAt(std::chrono::steady_clock::now()) {}

    service::ServiceContext& ctx;
    const WebSettings settings;
    const std::shared_ptr<console::ConsoleClients> console;  // none: console requests refused
    const AddressList addresses;
    SessionTable sessions;
    const std::chrono::steady_clock::time_point startedAt;

    std::mutex queueMutex;
    std::condition_variable queueReady;
    std::deque<std::pair<int, std::string>> queue;  // accepted descriptors and addresses
    bool stopping = false;                          // guarded by queueMutex
};

namespace {

// One request on one connection.
class Exchange {
  public:
    Exchange(service::ServiceContext& ctx, const WebSettings& settings,
             const AddressList& addresses, SessionTable& sessions, const ReportSources& sources,
             const WebServerOptions& options, std::chrono::steady_clock::time_point startedAt,
             companion::Socket& sock, std::string address, console::ConsoleClients* console)
        : ctx_(ctx),
          settings_(settings),
          addresses_(addresses),
          sessions_(sessions),
          sources_(sources),
          options_(options),
          startedAt_(startedAt),
          sock_(sock),
          address_(std::move(address)),
          console_(console) {}

    void Serve(const std::function<bool()>& stopping);

  private:
    void Send(const std::string& reply) { companion::IpSendText(sock_, reply); }
    ReplyHeaders Headers(std::string_view cookie = {}) const {
        return {ctx_.computerName, ctx_.clock.Now(), cookie, false};
    }
    void SendError(int code, std::string_view reason, std::string_view message) {
        Send(BuildErrorReply(code, reason, message, Headers()));
    }
    void SendPage(const std::string& body, std::string_view cookie = {}) {
        Send(BuildReply(200, "OK", "text/html; charset=utf-8", body, Headers(cookie)));
    }
    void SendNotFound() {
        SendError(404, "Page Not Found Error",
                  std::string("The requested page could not be generated by the Web Server. ") +
                      kRetryText);
    }
    void ServeStatic(const HttpRequest& request);
    void ServeImage(const HttpRequest& request);
    void Dispatch(HttpRequest& request);
    void ServeConsole(const console::ParsedMessage& message);
    bool BasicAuthOk(const HttpRequest& request) const;
    StatusData CollectStatus() const;
    void RedirectToLogon(const HttpRequest& request);

    service::ServiceContext& ctx_;
    const WebSettings& settings_;
    const AddressList& addresses_;
    SessionTable& sessions_;
    const ReportSources& sources_;
    const WebServerOptions& options_;
    const std::chrono::steady_clock::time_point startedAt_;
    companion::Socket& sock_;
    const std::string address_;
    console::ConsoleClients* const console_;
};

void Exchange::Serve(const std::function<bool()>& stopping) {
    const companion::Logger log(kModule, "ProcessWebClientMessage");
    const auto deadline = std::chrono::steady_clock::now() + options_.requestTimeout;
    const size_t cap = options_.limits.maxHeader + options_.limits.maxBody;
    std::string data;
    FramingResult framing;
    console::ParsedMessage consoleMessage;
    for (;;) {
        if (!data.empty() && console::MayBeConsoleMessage(data)) {
            // Console programs use this port too; their messages carry their own length.
            consoleMessage = console::ParseConsoleMessage(data);
            if (consoleMessage.status != console::Parse::kIncomplete) {
                ServeConsole(consoleMessage);
                return;
            }
            framing = {};
        } else {
            framing = FrameRequest(data, options_.limits);
        }
        if (framing.framing != Framing::kIncomplete) {
            break;
        }
        if (stopping()) {
            log(3, "The Server is being shutdown. The thread will close");
            return;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            log(2, "The request from ", address_, " was not complete within ",
                options_.requestTimeout.count(), " ms. The connection is closed");
            SendError(408, "Request Timeout", "The request was not received in time.");
            return;
        }
        std::string piece;
        const int rc = companion::IpReceiveSome(sock_, piece, cap + 1 - data.size(),
                                                std::min(left, std::chrono::milliseconds(250)));
        if (rc == companion::kIpTimedOut) {
            continue;
        }
        if (rc != companion::kIpOk) {
            return;  // the client went away: no reply
        }
        data += piece;
    }
    switch (framing.framing) {
        case Framing::kMalformed:
            log(1, "Inbound request could not be decoded. The request will be ignored");
            SendError(400, "Bad Request", "The request could not be understood by the server.");
            return;
        case Framing::kHeaderTooLarge:
            log(1, "The request from ", address_, " exceeds ", options_.limits.maxHeader,
                " bytes of header. The request will be ignored");
            SendError(431, "Request Header Fields Too Large", "The request is too large.");
            return;
        case Framing::kBodyTooLarge:
            log(1, "The request from ", address_, " declares a body over ", options_.limits.maxBody,
                " bytes. The request will be ignored");
            SendError(413, "Payload Too Large", "The request is too large.");
            return;
        case Framing::kNoLength:
            SendError(411, "Length Required", "A form must be sent with its Content-Length.");
            return;
        default:
            break;
    }
    HttpRequest request;
    switch (DecodeRequestType(std::string_view(data).substr(0, framing.length), request)) {
        case Method::kNone:
            log(1, "Inbound request could not be decoded. The request will be ignored");
            SendError(400, "Bad Request", "The request could not be understood by the server.");
            return;
        case Method::kHead:
            SendError(501, "Not Implemented",
                      "The HTTP HEAD request is not supported on this web server.");
            return;
        default:
            break;
    }
    ctx_.PostComponentStatus(kWebComponent,
                             "Client " + address_ + " requesting URL/file: " + request.path);
    Dispatch(request);
}

void Exchange::ServeConsole(const console::ParsedMessage& message) {
    const companion::Logger log(kModule, "ProcessWebClientMessage");
    if (console_ == nullptr) {
        log(1, "Console support is not enabled. The console request from ", address_,
            " is refused");
        return;
    }
    if (!addresses_.CheckWebAccessFromClient(address_)) {
        log(1, "Access from the console at IP address ", address_, " is forbidden");
        Send(console::BuildConsoleMessage(console::kAccessDenied, "Access denied##N/A##0"));
        return;
    }
    const auto reply = console::ProcessConsoleMessage(ctx_, *console_, message, address_);
    if (!reply) {
        return;  // invalid: logged, no reply
    }
    const int rc = companion::IpSendText(sock_, reply->message);
    if (rc != companion::kIpOk) {
        companion::Logger("kvZNConsoleHandler", "SendConsoleMessageToClient")(
            1, "TCP/IP error ", rc, " occurred when sending reply to ", address_);
        return;
    }
    if (reply->type == console::kFileFollows) {
        const int sent = companion::IpSendFile(sock_, reply->filePath);
        if (sent != companion::kIpOk) {
            log(1, "Error ", sent, " occurred whilst sending file ", reply->filePath,
                " to the client at address ", address_);
        }
    }
    if (reply->request == console::kStartActivity && reply->type == console::kDone) {
        for (const std::string& line :
             console::ActivityBanner(platform::OperatingSystemText(), ctx_.clock.UptimeSeconds())) {
            ctx_.PostComponentStatus(kWebComponent, line);
        }
    }
}

void Exchange::ServeStatic(const HttpRequest& request) {
    const std::string name = request.path.substr(1);
    const auto content = FindEmbeddedFile(name);
    const std::string_view type =
        name == "kvzn.js" ? std::string_view("text/javascript") : ContentTypeOf(name);
    if (!content || type.empty()) {
        SendNotFound();
        return;
    }
    ReplyHeaders h = Headers();
    h.cacheable = true;
    Send(BuildReply(200, "OK", std::string(type) + "; charset=utf-8", *content, h));
}

void Exchange::ServeImage(const HttpRequest& request) {
    namespace fs = std::filesystem;
    const std::string_view type = ContentTypeOf(request.path);
    std::error_code ec;
    const fs::path root = fs::canonical(ctx_.imagesDirectory, ec);
    if (type.empty() || ec || type == "text/css") {
        SendNotFound();
        return;
    }
    // The resolved file must lie inside the images directory: no "..", no link out of it.
    const fs::path file =
        fs::canonical(root / fs::path(request.path.substr(8)).relative_path(), ec);
    const auto [end, unused] = std::mismatch(root.begin(), root.end(), file.begin(), file.end());
    if (ec || end != root.end() || !fs::is_regular_file(file, ec)) {
        companion::Logger(kModule, "ProcessWebClientMessage")(
            2, "The image ", request.path, " asked for by ", address_,
            " is not a file of the images directory");
        SendNotFound();
        return;
    }
    const auto content = platform::ReadWholeFile(file.string());
    if (!content.ok() || content->size() > 16 * 1024 * 1024) {
        SendNotFound();
        return;
    }
    ReplyHeaders h = Headers();
    h.cacheable = true;
    Send(BuildReply(200, "OK", type, *content, h));
}

bool Exchange::BasicAuthOk(const HttpRequest& request) const {
    if (!StartsNoCase(request.authorization, "Basic ")) {
        return false;
    }
    const std::string decoded =
        Base64Decode(platform::TrimBlanks(std::string_view(request.authorization).substr(6)));
    const size_t colon = decoded.find(':');
    return colon != std::string::npos && !settings_.password.empty() &&
           SecretsEqual(std::string_view(decoded).substr(colon + 1), settings_.password);
}

StatusData Exchange::CollectStatus() const {
    StatusData data;
    data.server = ctx_.computerName;
    data.time = alerting::StandardTimeText(ctx_.DateFormat(), ctx_.clock);
    data.uptimeSeconds = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                                   std::chrono::steady_clock::now() - startedAt_)
                                                   .count());
    std::unique_ptr<platform::Spooler> spooler =
        options_.makeSpooler ? options_.makeSpooler() : platform::MakeSpooler();
    auto snapshot = spooler->Snapshot();
    if (snapshot.ok()) {
        for (const auto& queue : snapshot->printers) {
            data.printers.push_back(queue.printer);
        }
    } else {
        data.spoolerError = snapshot.status().Text();
    }
    if (const auto monitor = printmon::CurrentPrintServerMonitor(ctx_)) {
        if (auto checks = monitor->CheckStatuses()) {
            data.checksAvailable = true;
            data.checks = std::move(*checks);
        }
    }
    if (ctx_.alertPath) {
        const alerting::AlertRun& run = alerting::Alerts(ctx_);
        data.alertsToday = run.store.Counts();
        data.alertsRecorded = run.store.RecordedSinceStart();
        data.deliveries = run.dispatcher.Deliveries();
    }
    for (int kind = 0; kind < ReportSources::kKinds; ++kind) {
        if (const auto provider = sources_.Get(static_cast<ReportSources::Kind>(kind))) {
            std::vector<ReportSection> sections;
            if (kind == ReportSources::kEventLogs || kind == ReportSources::kLogFiles) {
                std::scoped_lock lock(ctx_.locks.recentEntries);
                sections = provider->StatusSections();
            } else {
                sections = provider->StatusSections();
            }
            data.sections.insert(data.sections.end(), sections.begin(), sections.end());
        }
    }
    return data;
}

void Exchange::RedirectToLogon(const HttpRequest& request) {
    std::string target = request.path;
    const std::string query = request.QueryText("hPassword");
    if (!query.empty()) {
        target += "?" + query;
    }
    Send(BuildRedirect("ZNLogon.kvp?Target=" + UrlEncode(target), Headers(ClearedSessionCookie())));
}

void Exchange::Dispatch(HttpRequest& request) {
    const companion::Logger log(kModule, "ProcessWebClientMessage");
    const std::string& path = request.path;
    if (StartsNoCase(path, "/images/")) {
        ServeImage(request);
        return;
    }
    if (path == "/kvzn.css" || path == "/kvzn.js") {
        ServeStatic(request);
        return;
    }
    if (!addresses_.CheckWebAccessFromClient(address_)) {
        log(1, "Access from the client at IP address ", address_, " is forbidden");
        SendError(403, "Access Forbidden",
                  "You do not have permission to access the requested page.<BR>Please contact "
                  "your System Administrator in order to access this page.");
        return;
    }
    std::optional<Session> session;
    if (!request.sessionId.empty()) {
        session = sessions_.Find(request.sessionId, address_, false);
    }
    PageRequest page{ctx_, sources_, address_, session};
    std::string body;

    if (platform::EqualsNoCase(path, "/") || platform::EqualsNoCase(path, "/ZNHome.htm")) {
        if (!BuildHome(page, body)) {
            log(2,
                "Unable to generate the Tessel Monitor home page in response to a client "
                "browser request");
            SendNotFound();
            return;
        }
        SendPage(body);
        return;
    }
    if (StartsNoCase(path, "/ZNLogout.htm")) {
        // Only a form of the session itself ends it: a link from elsewhere changes nothing.
        const std::string* token = request.Param("token");
        if (request.method == Method::kPost && session && token &&
            SecretsEqual(*token, session->token)) {
            sessions_.Remove(session->id, address_);
            page.session.reset();
            BuildHome(page, body);
            SendPage(body, ClearedSessionCookie());
            return;
        }
        BuildHome(page, body);
        SendPage(body);
        return;
    }
    if (StartsNoCase(path, "/ZNLogon.kvp")) {
        std::string target = "PrintStatus.kvp";
        if (const std::string* wanted = request.Param("Target")) {
            const size_t q = wanted->find('?');
            const std::string_view known = KnownPage(std::string_view(*wanted).substr(0, q));
            if (!known.empty()) {
                target = std::string(known.substr(1));
                if (q != std::string::npos) {
                    HttpRequest carried;
                    carried.params = ParseParameters(std::string_view(*wanted).substr(q + 1));
                    const std::string query = carried.QueryText("hPassword");
                    if (!query.empty()) {
                        target += "?" + query;
                    }
                }
            }
        }
        if (!BuildLogon(page, body, target)) {
            log(2, "Unable to open the Login page HTML file. The Web request cannot continue");
            SendError(500, "Internal Server Error",
                      "The request cannot be processed at this time because the login page "
                      "could not not be created. Please retry the request again.");
            return;
        }
        SendPage(body);
        return;
    }

    // A logon form sent to the page first asked for.
    if (request.method == Method::kPost && request.Has("btnLogon")) {
        if (session) {
            sessions_.Remove(session->id, address_);
        }
        const std::string* given = request.Param("hPassword");
        if (given == nullptr) {
            log(1, "Login Error - Korvane Supervisor password missing from browser running on ",
                address_);
        } else if (settings_.password.empty() || !SecretsEqual(*given, settings_.password)) {
            log(1,
                "Login Error - Korvane Supervisor password was not matched from browser running "
                "on ",
                address_);
        } else {
            const Session opened = sessions_.Open(address_, true);
            // Back to the page first asked for, when it is one of ours.
            const std::string_view known = KnownPage(path);
            const std::string location(known.empty() ? "PrintStatus.kvp" : known.substr(1));
            HttpRequest carried;
            for (const Parameter& p : request.params) {
                if (!platform::EqualsNoCase(p.name, "hPassword") &&
                    !platform::EqualsNoCase(p.name, "btnLogon")) {
                    carried.params.push_back(p);
                }
            }
            const std::string query = carried.QueryText();
            Send(BuildRedirect(location + (query.empty() ? "" : "?" + query),
                               Headers(SessionCookie(opened.id))));
            return;
        }
        RedirectToLogon(request);
        return;
    }

    const bool management = std::any_of(std::begin(kManagementPaths), std::end(kManagementPaths),
                                        [&](std::string_view p) { return StartsNoCase(path, p); });
    const bool machine =
        platform::EqualsNoCase(path, "/metrics") || platform::EqualsNoCase(path, "/status.json");
    const bool needsLogon = settings_.logonMode == 1 || (settings_.logonMode != 3 && management);
    if (needsLogon && !(session && session->loggedOn) && !(machine && BasicAuthOk(request))) {
        if (machine) {
            Send(BuildErrorReply(401, "Unauthorized", "A logon is needed for this page.",
                                 Headers()));
            return;
        }
        RedirectToLogon(request);
        return;
    }

    if (machine) {
        const StatusData data = CollectStatus();
        if (platform::EqualsNoCase(path, "/metrics")) {
            Send(BuildReply(200, "OK", "text/plain; version=0.0.4; charset=utf-8",
                            RenderMetrics(data), Headers()));
        } else {
            Send(BuildReply(200, "OK", "application/json", RenderStatusJson(data), Headers()));
        }
        return;
    }

    int built = -1;
    const char* failure = "";
    if (StartsNoCase(path, "/PrintErrors.htm") || StartsNoCase(path, "/PrintErrors.kvp") ||
        StartsNoCase(path, "/RecErrors.kvp")) {
        built = BuildCompleteHTMLErrorFile(page, body);
        failure =
            "Unable to generate the Recent Error Page in response to a client browser "
            "request";
    } else if (StartsNoCase(path, "/PrintStatus.htm") || StartsNoCase(path, "/PrintStatus.kvp") ||
               StartsNoCase(path, "/RecStatus.kvp")) {
        const std::string* refresh = request.Param("AutoRefresh");
        built = BuildHTMLStatusFile(page, body,
                                    refresh != nullptr && platform::EqualsNoCase(*refresh, "On"));
        failure =
            "Unable to generate the current status HTML Page in response to a client "
            "browser request";
    } else if (StartsNoCase(path, "/PrintPerfLog.htm") || StartsNoCase(path, "/PrintPerfLog.kvp")) {
        int lines = 0;
        if (request.Has("Redisplay")) {
            lines = 100;
            if (const std::string* n = request.Param("NoLines")) {
                lines = std::atoi(n->c_str());
            }
        }
        built = BuildHTMLPerformanceLoggingFile(page, body, lines);
        failure =
            "Unable to generate the performance log HTML Page in response to a client "
            "browser request";
    } else if (StartsNoCase(path, "/ZNRExec.htm") || StartsNoCase(path, "/ZNRExec.kvp")) {
        built = settings_.enableRExec ? BuildHTMLRemoteExecFile(page, request, body)
                                      : BuildHTMLRExecDisabledFile(page, body);
        failure =
            "Unable to generate the remote command HTML Page in response to a client browser "
            "request";
    } else if (StartsNoCase(path, "/ZNConfigCheck.htm") ||
               StartsNoCase(path, "/ZNConfigCheck.kvp")) {
        built = BuildHTMLConfigCheck(page, request, body);
        failure =
            "Unable to generate the configuration status HTML Page in response to a client "
            "browser request";
    } else {
        using Builder =
            int (*)(const PageRequest&, const HttpRequest&, platform::Spooler&, std::string&);
        struct PrinterPage {
            std::string_view path;
            Builder build;
            const char* failure;
        };
        constexpr PrinterPage kPrinterPages[] = {
            {"/PrintPrinters.kvp", BuildHTMLPrintersFile,
             "Unable to generate the printer status HTML Page in response to a client browser "
             "request"},
            {"/PrintPrinterSummary.kvp", BuildHTMLPrinterSummaryFile,
             "Unable to generate the printer summary HTML Page in response to a client browser "
             "request"},
            {"/PrintPrintQ.kvp", BuildHTMLPrintQFile,
             "Unable to generate the print queue HTML Page in response to a client browser "
             "request"},
            {"/PrintRedirect.kvp", BuildHTMLPrinterRedirectFile,
             "Unable to generate the printer redirection HTML Page in response to a client "
             "browser request"}};
        for (const PrinterPage& printerPage : kPrinterPages) {
            if (StartsNoCase(path, printerPage.path)) {
                std::unique_ptr<platform::Spooler> spooler =
                    options_.makeSpooler ? options_.makeSpooler() : platform::MakeSpooler();
                built = printerPage.build(page, request, *spooler, body);
                failure = printerPage.failure;
                break;
            }
        }
    }
    if (built == 1) {
        SendPage(body);
        return;
    }
    if (built == 0) {
        log(2, failure);
    }
    SendNotFound();
}

}  // namespace

WebServer::WebServer(WebServerOptions options) : options_(std::move(options)) {}

WebServer::~WebServer() = default;

int WebServer::OpenListener(uint16_t port) {
    std::scoped_lock lock(mutex_);
    if (closed_.IsSet()) {
        return companion::kIpListenerClosed;
    }
    return companion::IpCreateServer(listener_, port, options_.bindAddress);
}

void WebServer::DropListener() {
    std::scoped_lock lock(mutex_);
    if (listener_.valid()) {
        companion::IpClose(listener_);
    }
}

void WebServer::CloseListener() {
    std::scoped_lock lock(mutex_);
    closed_.Set();
    if (listener_.valid()) {
        companion::IpClose(listener_);  // shuts the listener down: accept wakes at once
    }
}

uint16_t WebServer::Port() const {
    return companion::IpLocalPort(listener_);
}

uint32_t WebServer::ActiveWorkers() const {
    return active_.load();
}

void WebServer::Accepted(Run_& run, int fd, const std::string& address) {
    const companion::Logger log(kModule, "EmbeddedWebServer");
    {
        std::scoped_lock lock(run.queueMutex);
        // Up to the maximum plus one connections are served at once; the next is refused.
        if (active_.load() <= run.settings.maxThreads) {
            ++active_;
            run.queue.emplace_back(fd, address);
            run.queueReady.notify_one();
            return;
        }
    }
    companion::Socket client(fd);
    run.ctx.PostComponentStatus(kWebComponent, "Inbound client connection received from " +
                                                   address +
                                                   " could not be supported. No web server "
                                                   "resources available to respond");
    log(2, "Maximum inbound threads are currently processing. The request from ", address,
        " will be rejected");
    std::string pending;
    companion::IpReceiveSome(client, pending, 64 * 1024, std::chrono::milliseconds(0));
    const std::string reply = BuildErrorReply(
        500, "Server too busy",
        "The request cannot be processed at this time. The amount of traffic exceeds the Web "
        "server's maximum capacity at the current time. Please retry the request again.<BR>If "
        "it continues to fail, please contact your System Administrator",
        {run.ctx.computerName, run.ctx.clock.Now(), {}, false});
    companion::IpSendText(client, reply, 0, 1);
    companion::IpEndErrorResponse(client);
    companion::IpClose(client);
}

void WebServer::WorkerLoop(Run_& run) {
    for (;;) {
        std::pair<int, std::string> next;
        {
            std::unique_lock lock(run.queueMutex);
            run.queueReady.wait(lock, [&] { return run.stopping || !run.queue.empty(); });
            if (run.queue.empty()) {
                return;
            }
            next = std::move(run.queue.front());
            run.queue.pop_front();
        }
        companion::Socket client(next.first);
        try {
            Exchange exchange(run.ctx, run.settings, run.addresses, run.sessions, sources_,
                              options_, run.startedAt, client, next.second, run.console.get());
            exchange.Serve([&] { return run.ctx.Stopping() || closed_.IsSet(); });
        } catch (const std::exception& e) {
            companion::Logger(kModule, "ProcessWebClientMessage")(
                1, "The request from ", next.second, " failed: ", e.what());
        }
        companion::IpOrderlyClose(client, static_cast<int>(run.settings.shutdownTimeout));
        --active_;
    }
}

void WebServer::Run(service::ServiceContext& ctx) {
    const companion::Logger log(kModule, "EmbeddedWebServer");
    ctx.ComponentReadyAndSuspend(closed_);
    if (ctx.Stopping() || closed_.IsSet()) {
        return;
    }
    ctx.PostComponentStatus(kWebComponent, "Initialising settings");
    WebSettings settings = ReadWebSettings(ctx);
    ctx.PostComponentStatus(kWebComponent, "Initialising on port " + std::to_string(settings.port));
    ctx.registry.WriteNumber(config::kProductKey, config::value::kHTTPListenPortNo, settings.port);

    const auto oneOffWarning = [&](const char* message) {
        if (!warningSent_ && ctx.sendOneOffWarnings) {
            warningSent_ = true;
            alerting::NotifyInternalError(ctx, 1, kInternalErrorTitle, kInternalErrorSource,
                                          message);
        }
    };
    if (settings.logonMode != 3) {
        config::kvHlpSvc2(ctx.registry, ctx.registry.Store(), config::kProductKey,
                          config::value::kWebPassword, settings.password, 100);
        if (settings.password.empty()) {
            log(1,
                "No Administrators password was found on the local server, but the login "
                "type requires authentication. The web server is suspended");
            oneOffWarning(
                "The Tessel Monitor Web Server cannot be started because no Administrators "
                "password was found (but a password is configured). Please specify this password "
                "using the Configuration Utility. The web server is suspended");
            return;
        }
    }
    int rc = OpenListener(settings.port);
    if (rc == companion::kIpListenerClosed) {
        return;
    }
    if (rc != companion::kIpOk) {
        log(1, "Unable to launch the embedded web server. Error ", rc,
            " occurred whilst connecting to port ", settings.port);
        oneOffWarning(
            "The Tessel Monitor Web Server cannot be started because the specified port is "
            "currently in-use by another application. The web server is suspended");
        return;
    }
    log(3, "Monitoring data loaded. The web server is now listening for inbound requests");
    TidyRemoteExecDirectory(ctx);

    std::shared_ptr<console::ConsoleClients> consoleClients;
    {
        std::scoped_lock lock(mutex_);
        consoleClients = ctx.enableConsoleSupport ? console_ : nullptr;
    }
    Run_ run(ctx, std::move(settings), consoleClients);
    if (consoleClients) {
        consoleClients->Restore();
        consoleClients->NotifyStarted();
        ctx.PostComponentStatus(console::kConsoleComponent, std::string(136, '-'));
        ctx.PostComponentStatus(console::kConsoleComponent,
                                "*** The Tessel Monitor has started/restarted ***");
    }
    std::vector<std::thread> workers;
    for (uint32_t i = 0; i <= run.settings.maxThreads; ++i) {
        try {
            workers.emplace_back([this, &run] { WorkerLoop(run); });
        } catch (const std::system_error& e) {
            log(1, "Unable to respond to client query. Worker thread could not be created: ",
                e.what());
            break;
        }
    }

    std::chrono::milliseconds backoff(100);
    for (;;) {
        companion::Socket client;
        std::string address;
        const int result = companion::IpAccept(listener_, client, address);
        if (result == companion::kIpListenerClosed || ctx.Stopping()) {
            log(3, "The Web server has been told to shutdown");
            break;
        }
        if (result == companion::kIpOk) {
            backoff = std::chrono::milliseconds(100);
            Accepted(run, client.Release(), address);
            continue;
        }
        if (result != companion::kIpInvalidConnection) {
            // Descriptors or memory ran out: wait, longer each time, so that the loop never spins.
            log(1, "An error occurred whilst waiting for a Client connection. Error: ", result);
            if (WaitBeforeRetry(backoff)) {
                break;
            }
            backoff = std::min(backoff * 2, options_.retryDelay);
            continue;
        }
        // Accepting again on this socket would fail for ever: it is replaced.
        log(2, "The web server's listening socket on port ", run.settings.port,
            " can no longer be used (error ", result, "). It is created again");
        DropListener();
        bool reported = false;
        bool closed = false;
        do {
            if (WaitBeforeRetry(options_.retryDelay)) {
                closed = true;
                break;
            }
            rc = OpenListener(run.settings.port);
            if (rc == companion::kIpListenerClosed) {
                closed = true;
                break;
            }
            if (rc != companion::kIpOk && !reported) {
                log(1, "Unable to create the web server's listening socket on port ",
                    run.settings.port, ". Error: ", rc, ". Retrying");
                reported = true;
            }
        } while (rc != companion::kIpOk);
        if (closed) {
            break;
        }
        log(3, "Initialising on port ", Port());
    }

    ctx.PostComponentStatus(kWebComponent, "Shutdown request received");
    DropListener();
    if (consoleClients) {
        ctx.PostComponentStatus(console::kConsoleComponent,
                                "*** The Tessel Monitor is being stopped ***");
        consoleClients->NotifyStopping();
    }
    {
        std::scoped_lock lock(run.queueMutex);
        run.stopping = true;
        for (auto& [fd, address] : run.queue) {
            companion::Socket dropped(fd);
            --active_;
        }
        run.queue.clear();
    }
    run.queueReady.notify_all();
    for (std::thread& worker : workers) {
        worker.join();
    }
    run.sessions.Clear();
    TidyRemoteExecDirectory(ctx);
}

void WebServer::SetConsole(std::shared_ptr<console::ConsoleClients> clients) {
    std::scoped_lock lock(mutex_);
    console_ = std::move(clients);
}

}  // namespace kvzn::web
