// The print spooler on CUPS: IPP requests through libcups over one connection per object,
// bounded by connect and I/O time-outs so that a dead or hung scheduler only costs a failed
// call.
#include <cups/cups.h>
#include <cups/http.h>
#include <cups/ipp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/linux/ipp_reply.h"
#include "platform/spooler.h"
#include "platform/text.h"

namespace kvzn::platform {

namespace {

using Clock = std::chrono::steady_clock;

using ipp::IppPtr;
using ipp::QueueNameOf;
using ipp::Text;

struct HttpCloser {
    void operator()(http_t* http) const { httpClose(http); }
};
using HttpPtr = std::unique_ptr<http_t, HttpCloser>;

// A connection idle for longer is reopened here, with our connect time-out, instead of by
// libcups after the scheduler dropped it (libcups waits up to 30 s for that reconnect).
// Well below the scheduler's default keep-alive time of 30 s.
constexpr auto kReuseWindow = std::chrono::seconds(10);

// How a request treats "not found": list requests answer it when there is nothing to list.
enum class NotFound { Error, Empty };

int AbortOnTimeout(http_t* /*http*/, void* /*data*/) {
    return 0;
}

// Never prompt on a terminal for a password: a daemon has none, and the prompt would block.
const char* NoPassword(const char* /*prompt*/, http_t* /*http*/, const char* /*method*/,
                       const char* /*resource*/, void* /*data*/) {
    return nullptr;
}

// Blocks SIGPIPE on this thread while it lives and swallows one raised meanwhile: libcups
// writes with plain send(), and a scheduler that drops the connection must not end the
// process.
class SigpipeGuard {
  public:
    SigpipeGuard() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        wasPending_ = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
    }
    ~SigpipeGuard() {
        const int saved = errno;
        if (!wasPending_) {
            sigset_t pending;
            sigpending(&pending);
            if (sigismember(&pending, SIGPIPE) == 1) {
                const timespec zero{};
                while (sigtimedwait(&pipe_, nullptr, &zero) < 0 && errno == EINTR) {
                }
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
        errno = saved;
    }
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

  private:
    sigset_t pipe_{};
    sigset_t old_{};
    bool wasPending_ = false;
};

// libcups reports every failed connect as EHOSTDOWN; for a local socket, one more
// (non-blocking) connect tells a missing socket from one nobody listens on.
int LocalConnectError(const std::string& path, int fallback) {
    sockaddr_un addr{};
    if (path.size() >= sizeof(addr.sun_path)) {
        return ENAMETOOLONG;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return fallback;
    }
    const int err =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0 ? 0 : errno;
    ::close(fd);
    return err == 0 ? fallback : err;
}

// An idle connection with something to read has been closed by the scheduler (or holds
// a stray reply): either way it is not reused.
bool PeerClosed(int fd) {
    pollfd p{fd, POLLIN, 0};
    return fd < 0 || ::poll(&p, 1, 0) != 0;
}

bool IsFileUri(std::string_view uri) {
    return uri.size() >= 5 && EqualsNoCase(uri.substr(0, 5), "file:");
}

// A port that may be offered: a full URI ("socket://host"), not a bare scheme that device
// discovery lists as a template ("socket"), and never a file.
bool IsOfferablePort(std::string_view uri) {
    const size_t colon = uri.find(':');
    return colon != std::string_view::npos && colon > 0 && colon + 1 < uri.size() &&
           !IsFileUri(uri);
}

void AddUnique(std::vector<std::string>& list, std::string_view item) {
    if (std::find(list.begin(), list.end(), item) == list.end()) {
        list.emplace_back(item);
    }
}

int ErrnoFor(ipp_status_t status) {
    switch (status) {
        case IPP_STATUS_ERROR_NOT_FOUND:
        case IPP_STATUS_ERROR_GONE:
            return ENOENT;
        case IPP_STATUS_ERROR_FORBIDDEN:
        case IPP_STATUS_ERROR_NOT_AUTHENTICATED:
        case IPP_STATUS_ERROR_NOT_AUTHORIZED:
        case IPP_STATUS_ERROR_CUPS_AUTHENTICATION_CANCELED:
            return EACCES;
        case IPP_STATUS_ERROR_NOT_POSSIBLE:
        case IPP_STATUS_ERROR_NOT_ACCEPTING_JOBS:
            return EPERM;
        case IPP_STATUS_ERROR_TIMEOUT:
            return ETIMEDOUT;
        case IPP_STATUS_ERROR_SERVICE_UNAVAILABLE:
        case IPP_STATUS_ERROR_BUSY:
            return EAGAIN;
        default:
            return status >= IPP_STATUS_ERROR_BAD_REQUEST && status < IPP_STATUS_ERROR_INTERNAL
                       ? EINVAL
                       : EIO;
    }
}

// A reply read whole from the connection, then decoded from memory. libcups decodes a reply
// straight from the connection with a small read per attribute (and, with an I/O time-out
// set, a poll before each): for the printer and job lists of a large server that is the
// bulk of the cost. Here the reply comes in reads of up to 32 KiB (the connection's own
// buffer size).
constexpr size_t kReadChunk = 32768;

struct Exchange {
    IppPtr response;
    int transport = 0;  // errno of the connection; 0 when the reply arrived
    http_status_t http = HTTP_STATUS_OK;
};

Exchange SendAndRead(http_t* http, ipp_t* request, const char* resource) {
    Exchange result;
    http_status_t status = cupsSendRequest(http, request, resource, ippLength(request));
    while (status == HTTP_STATUS_CONTINUE) {
        status = httpUpdate(http);
    }
    result.http = status;
    if (status != HTTP_STATUS_OK) {
        result.transport =
            status == HTTP_STATUS_ERROR ? (httpError(http) != 0 ? httpError(http) : ETIMEDOUT) : 0;
        return result;
    }
    // Read straight into the reply's own string: a buffer on the stack would stay resident
    // in the thread's stack between cycles.
    std::string body;
    ssize_t n = 0;
    do {
        const size_t used = body.size();
        body.resize(used + kReadChunk);
        n = httpRead2(http, body.data() + used, kReadChunk);
        body.resize(used + static_cast<size_t>(std::max<ssize_t>(n, 0)));
    } while (n > 0);
    if (n < 0 || httpGetRemaining(http) > 0 || httpGetState(http) != HTTP_STATE_WAITING) {
        // A read failed or timed out part-way (libcups reports a time-out as the end).
        result.transport = httpError(http) != 0 ? httpError(http) : ETIMEDOUT;
        return result;
    }
    result.response = ipp::DecodeMessage(body);
    if (!result.response) {
        result.transport = EPROTO;
    }
    return result;
}

void AddRequestedAttributes(ipp_t* request, const std::vector<const char*>& names) {
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                  static_cast<int>(names.size()), nullptr, names.data());
}

class CupsSpooler final : public Spooler {
  public:
    explicit CupsSpooler(SpoolerOptions options);

    Result<SpoolerSnapshot> Snapshot() override;
    Status PausePrinter(std::string_view printer) override;
    Status ResumePrinter(std::string_view printer) override;
    Status PurgeJobs(std::string_view printer) override;
    Status SetOffline(std::string_view printer) override;
    Status SetOnline(std::string_view printer) override;
    Result<std::vector<std::string>> ListPorts() override;
    Status Redirect(std::string_view printer, std::string_view port) override;
    Status PauseJob(std::string_view printer, int jobId) override;
    Status ResumeJob(std::string_view printer, int jobId) override;
    Status RestartJob(std::string_view printer, int jobId) override;
    Status DeleteJob(std::string_view printer, int jobId) override;

  private:
    Status Connect();
    // Sends the request (taking it over) and returns the response of a successful one.
    // `what` names the request in error texts. `extraWait` lengthens the I/O time-out for
    // requests the scheduler answers slowly on purpose.
    Result<IppPtr> Send(ipp_t* request, const char* resource, const std::string& what,
                        NotFound notFound = NotFound::Error,
                        std::chrono::seconds extraWait = std::chrono::seconds(0));
    ipp_t* NewRequest(ipp_op_t op) const;
    ipp_t* PrinterRequest(ipp_op_t op, std::string_view printer) const;
    Status PrinterOperation(ipp_op_t op, std::string_view printer);
    Status JobOperation(ipp_op_t op, std::string_view printer, int jobId);
    Status SendJobRequest(ipp_op_t op, int jobId, const std::string& what);
    // The job's state, after checking that the job is on `printer`.
    Result<int> JobStateOn(std::string_view printer, int jobId, const std::string& what);
    Result<std::vector<PrinterInfo>> ReadPrinters(const std::vector<const char*>& attributes);
    std::vector<std::string> DiscoverDevices();

    SpoolerOptions options_;
    std::string host_;  // a socket path or a host name
    int port_ = 0;
    HttpPtr http_;
    Clock::time_point lastUse_{};
};

CupsSpooler::CupsSpooler(SpoolerOptions options) : options_(std::move(options)) {
    if (options_.server.empty()) {
        options_.server = cupsServer();
    }
    if (options_.discoveryTimeout < std::chrono::seconds(1)) {
        options_.discoveryTimeout = std::chrono::seconds(1);
    }
    std::string server = options_.server;
    port_ = ippPort();
    if (server.starts_with('/')) {
        host_ = server;
        return;
    }
    // client.conf may add "/version=1.1" to a host name.
    if (const size_t slash = server.find('/'); slash != std::string::npos) {
        server.resize(slash);
    }
    if (server.starts_with('[')) {  // "[v6 address]:port"
        const size_t close = server.find(']');
        host_ = server.substr(1, close == std::string::npos ? std::string::npos : close - 1);
        if (close != std::string::npos && close + 1 < server.size() && server[close + 1] == ':') {
            port_ = std::atoi(server.c_str() + close + 2);
        }
    } else if (const size_t colon = server.find(':');
               colon != std::string::npos && server.find(':', colon + 1) == std::string::npos) {
        host_ = server.substr(0, colon);
        port_ = std::atoi(server.c_str() + colon + 1);
    } else {
        host_ = server;  // a name, or a bare v6 address
    }
}

Status CupsSpooler::Connect() {
    if (http_ && Clock::now() - lastUse_ < kReuseWindow && !PeerClosed(httpGetFd(http_.get()))) {
        return Status::Ok();
    }
    http_.reset();
    // Created without connecting (a time-out of 0), so that a failed connect leaves its
    // errno in the object instead of losing it when libcups closes it.
    HttpPtr http(
        httpConnect2(host_.c_str(), port_, nullptr, AF_UNSPEC, cupsEncryption(), 1, 0, nullptr));
    if (!http) {
        const char* reason = cupsLastErrorString();
        return Status::Error(EHOSTUNREACH, "cannot reach the spooler at " + options_.server + ": " +
                                               (reason ? reason : "unknown host"));
    }
    if (httpReconnect2(http.get(), static_cast<int>(options_.connectTimeout.count()), nullptr) !=
        0) {
        int err = httpError(http.get()) != 0 ? httpError(http.get()) : EHOSTUNREACH;
        if (host_.starts_with('/')) {
            err = LocalConnectError(host_, err);
        }
        return Status::Error(
            err, "cannot connect to the spooler at " + options_.server + ": " + std::strerror(err));
    }
    http_ = std::move(http);
    httpSetTimeout(http_.get(), std::chrono::duration<double>(options_.ioTimeout).count(),
                   AbortOnTimeout, nullptr);
    lastUse_ = Clock::now();
    return Status::Ok();
}

Result<IppPtr> CupsSpooler::Send(ipp_t* request, const char* resource, const std::string& what,
                                 NotFound notFound, std::chrono::seconds extraWait) {
    IppPtr owned(request);
    if (Status status = Connect(); !status.ok()) {
        return Status::Error(status.err(), what + ": " + status.detail());
    }
    SigpipeGuard guard;
    cupsSetPasswordCB2(NoPassword, nullptr);
    const bool longer = extraWait.count() > 0;
    if (longer) {
        httpSetTimeout(http_.get(),
                       std::chrono::duration<double>(options_.ioTimeout + extraWait).count(),
                       AbortOnTimeout, nullptr);
    }
    Exchange exchange = SendAndRead(http_.get(), owned.get(), resource);
    if (longer) {
        httpSetTimeout(http_.get(), std::chrono::duration<double>(options_.ioTimeout).count(),
                       AbortOnTimeout, nullptr);
    }
    if (!exchange.response) {
        // The connection may be half-way through a reply; never reuse it.
        http_.reset();
        if (exchange.transport != 0) {
            return Status::Error(exchange.transport, what + ": no answer from the spooler at " +
                                                         options_.server + ": " +
                                                         std::strerror(exchange.transport));
        }
        const int err =
            exchange.http == HTTP_STATUS_UNAUTHORIZED || exchange.http == HTTP_STATUS_FORBIDDEN
                ? EACCES
                : (exchange.http == HTTP_STATUS_NOT_FOUND ? ENOENT : EIO);
        return Status::Error(err, what + ": the spooler answered HTTP " +
                                      std::to_string(static_cast<int>(exchange.http)) + " (" +
                                      httpStatus(exchange.http) + ")");
    }
    IppPtr response = std::move(exchange.response);
    const ipp_status_t ipp = ippGetStatusCode(response.get());
    ipp_attribute_t* message = ippFindAttribute(response.get(), "status-message", IPP_TAG_TEXT);
    const std::string reason = message != nullptr ? Text(message) : ippErrorString(ipp);
    lastUse_ = Clock::now();
    if (ipp > IPP_STATUS_OK_EVENTS_COMPLETE) {
        if (ipp == IPP_STATUS_ERROR_NOT_FOUND && notFound == NotFound::Empty) {
            return IppPtr(ippNew());
        }
        return Status::Error(ErrnoFor(ipp), what + ": " + reason);
    }
    return response;
}

ipp_t* CupsSpooler::NewRequest(ipp_op_t op) const {
    ipp_t* request = ippNewRequest(op);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 cupsUser());
    return request;
}

ipp_t* CupsSpooler::PrinterRequest(ipp_op_t op, std::string_view printer) const {
    ipp_t* request = ippNewRequest(op);
    std::array<char, HTTP_MAX_URI> uri{};
    const std::string name(printer);
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri.data(), static_cast<int>(uri.size()), "ipp", nullptr,
                     "localhost", ippPort(), "/printers/%s", name.c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.data());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 cupsUser());
    return request;
}

Result<std::vector<PrinterInfo>> CupsSpooler::ReadPrinters(
    const std::vector<const char*>& attributes) {
    ipp_t* request = NewRequest(IPP_OP_CUPS_GET_PRINTERS);
    AddRequestedAttributes(request, attributes);
    auto response = Send(request, "/", "CUPS-Get-Printers", NotFound::Empty);
    if (!response.ok()) {
        return response.status();
    }
    return ipp::PrintersOf(response->get());
}

Result<SpoolerSnapshot> CupsSpooler::Snapshot() {
    auto printers =
        ReadPrinters({"printer-name", "printer-state", "printer-state-reasons",
                      "printer-state-message", "printer-is-accepting-jobs", "device-uri"});
    if (!printers.ok()) {
        return printers.status();
    }

    ipp_t* request = NewRequest(IPP_OP_GET_JOBS);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                 "ipp://localhost/");
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr,
                 "not-completed");
    AddRequestedAttributes(
        request, {"job-id", "job-printer-uri", "job-name", "job-originating-user-name", "job-state",
                  "job-state-reasons", "job-k-octets", "job-impressions",
                  "job-impressions-completed", "job-media-sheets-completed", "job-priority"});
    auto response = Send(request, "/", "Get-Jobs", NotFound::Empty);
    if (!response.ok()) {
        return response.status();
    }
    return ipp::SnapshotOf(std::move(*printers), ipp::JobsOf(response->get()));
}

Status CupsSpooler::PrinterOperation(ipp_op_t op, std::string_view printer) {
    auto response = Send(PrinterRequest(op, printer), "/admin/",
                         std::string(ippOpString(op)) + " " + std::string(printer));
    return response.ok() ? Status::Ok() : response.status();
}

Status CupsSpooler::PausePrinter(std::string_view printer) {
    return PrinterOperation(IPP_OP_PAUSE_PRINTER, printer);
}

Status CupsSpooler::ResumePrinter(std::string_view printer) {
    return PrinterOperation(IPP_OP_RESUME_PRINTER, printer);
}

Status CupsSpooler::PurgeJobs(std::string_view printer) {
    return PrinterOperation(IPP_OP_PURGE_JOBS, printer);
}

Status CupsSpooler::SetOffline(std::string_view printer) {
    return PrinterOperation(IPP_OP_CUPS_REJECT_JOBS, printer);
}

Status CupsSpooler::SetOnline(std::string_view printer) {
    return PrinterOperation(IPP_OP_CUPS_ACCEPT_JOBS, printer);
}

std::vector<std::string> CupsSpooler::DiscoverDevices() {
    ipp_t* request = NewRequest(IPP_OP_CUPS_GET_DEVICES);
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "timeout",
                  static_cast<int>(options_.discoveryTimeout.count()));
    AddRequestedAttributes(request, {"device-uri"});
    auto response =
        Send(request, "/", "CUPS-Get-Devices", NotFound::Empty, options_.discoveryTimeout);
    if (!response.ok()) {
        return {};
    }
    return ipp::DeviceUrisOf(response->get());
}

Result<std::vector<std::string>> CupsSpooler::ListPorts() {
    auto printers = ReadPrinters({"printer-name", "device-uri"});
    if (!printers.ok()) {
        return printers.status();
    }
    std::vector<std::string> ports;
    for (const PrinterInfo& printer : *printers) {
        if (IsOfferablePort(printer.deviceUri)) {
            AddUnique(ports, printer.deviceUri);
        }
    }
    for (const std::string& device : DiscoverDevices()) {
        if (IsOfferablePort(device)) {
            AddUnique(ports, device);
        }
    }
    return ports;
}

Status CupsSpooler::Redirect(std::string_view printer, std::string_view port) {
    const std::string what =
        "CUPS-Add-Modify-Printer " + std::string(printer) + " to " + std::string(port);
    if (!IsOfferablePort(port)) {
        return Status::Error(EINVAL, what + ": not a port that can be offered");
    }
    // The queues' ports first: they need no device discovery.
    auto printers = ReadPrinters({"printer-name", "device-uri"});
    if (!printers.ok()) {
        return printers.status();
    }
    // CUPS-Add-Modify-Printer would create a queue that does not exist.
    if (std::none_of(printers->begin(), printers->end(),
                     [&](const PrinterInfo& info) { return EqualsNoCase(info.name, printer); })) {
        return Status::Error(ENOENT, what + ": the printer does not exist");
    }
    const bool queuePort =
        std::any_of(printers->begin(), printers->end(),
                    [&](const PrinterInfo& info) { return info.deviceUri == port; });
    if (!queuePort) {
        const auto devices = DiscoverDevices();
        if (std::find(devices.begin(), devices.end(), port) == devices.end()) {
            return Status::Error(EINVAL, what + ": the spooler offers no such port");
        }
    }
    ipp_t* request = PrinterRequest(IPP_OP_CUPS_ADD_MODIFY_PRINTER, printer);
    ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_URI, "device-uri", nullptr,
                 std::string(port).c_str());
    auto response = Send(request, "/admin/", what);
    return response.ok() ? Status::Ok() : response.status();
}

Result<int> CupsSpooler::JobStateOn(std::string_view printer, int jobId, const std::string& what) {
    if (jobId <= 0) {
        return Status::Error(ENOENT, what + ": no such job");
    }
    ipp_t* request = NewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                 "ipp://localhost/");
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", jobId);
    AddRequestedAttributes(request, {"job-printer-uri", "job-state"});
    auto response = Send(request, "/", what);
    if (!response.ok()) {
        return response.status();
    }
    ipp_attribute_t* owner = ippFindAttribute(response->get(), "job-printer-uri", IPP_TAG_URI);
    ipp_attribute_t* state = ippFindAttribute(response->get(), "job-state", IPP_TAG_ENUM);
    const std::string queue = owner ? QueueNameOf(Text(owner)) : std::string();
    if (!EqualsNoCase(queue, printer)) {
        return Status::Error(ENOENT, what + ": the job is not on printer " + std::string(printer) +
                                         (queue.empty() ? "" : " but on " + queue));
    }
    return state ? ippGetInteger(state, 0) : kIppJobPending;
}

Status CupsSpooler::SendJobRequest(ipp_op_t op, int jobId, const std::string& what) {
    ipp_t* request = NewRequest(op);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                 "ipp://localhost/");
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", jobId);
    auto response = Send(request, "/jobs/", what);
    return response.ok() ? Status::Ok() : response.status();
}

Status CupsSpooler::JobOperation(ipp_op_t op, std::string_view printer, int jobId) {
    const std::string what = std::string(ippOpString(op)) + " job " + std::to_string(jobId) +
                             " on " + std::string(printer);
    auto state = JobStateOn(printer, jobId, what);
    if (!state.ok()) {
        return state.status();
    }
    return SendJobRequest(op, jobId, what);
}

Status CupsSpooler::PauseJob(std::string_view printer, int jobId) {
    return JobOperation(IPP_OP_HOLD_JOB, printer, jobId);
}

Status CupsSpooler::ResumeJob(std::string_view printer, int jobId) {
    return JobOperation(IPP_OP_RELEASE_JOB, printer, jobId);
}

Status CupsSpooler::DeleteJob(std::string_view printer, int jobId) {
    return JobOperation(IPP_OP_CANCEL_JOB, printer, jobId);
}

Status CupsSpooler::RestartJob(std::string_view printer, int jobId) {
    const std::string what = "restart job " + std::to_string(jobId) + " on " + std::string(printer);
    auto state = JobStateOn(printer, jobId, what);
    if (!state.ok()) {
        return state.status();
    }
    // Restart-Job only takes finished jobs; one still in the queue starts over when it is
    // held (which stops it if it was printing) and released.
    if (*state >= kIppJobCanceled) {
        return SendJobRequest(IPP_OP_RESTART_JOB, jobId, what);
    }
    if (Status held = SendJobRequest(IPP_OP_HOLD_JOB, jobId, what); !held.ok()) {
        return held;
    }
    return SendJobRequest(IPP_OP_RELEASE_JOB, jobId, what);
}

}  // namespace

std::unique_ptr<Spooler> MakeSpooler(SpoolerOptions options) {
    return std::make_unique<CupsSpooler>(std::move(options));
}

}  // namespace kvzn::platform
