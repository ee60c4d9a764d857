// The embedded web server: its listening socket, the bounded pool of workers that serve
// the connections, and the dispatch of each request to its page.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "companion/tcpip.h"
#include "console/console_clients.h"
#include "platform/event.h"
#include "platform/spooler.h"
#include "service/service_context.h"
#include "web/http_request.h"
#include "web/report_rows.h"
#include "web/web_access.h"

namespace kvzn::web {

struct WebServerOptions {
    // The pause after a failed accept grows from 100 ms to this, and a listener that can
    // no longer be used is created again after it.
    std::chrono::milliseconds retryDelay{std::chrono::seconds(5)};
    // The most a client may take to send one whole request.
    std::chrono::milliseconds requestTimeout{std::chrono::seconds(10)};
    RequestLimits limits;
    std::string bindAddress;  // empty: every address ("127.0.0.1" in tests)
    // The spooler the status data reads; none: this machine's.
    std::function<std::unique_ptr<platform::Spooler>()> makeSpooler;
};

// The settings the listener reads once when it starts.
struct WebSettings {
    uint16_t port = 80;            // "Port" of section "TesselPrint" in kvZNWebServer.ini
    uint32_t maxThreads = 50;      // "MaxWebServerThreads", 1 to 255
    uint32_t sessionTimeout = 5;   // "WebSessionTimeout", minutes
    uint32_t logonMode = 1;        // "WebSessionLogon": 1 all pages, 3 none, else management
    bool enableRExec = false;      // "EnableRExecSessions"
    uint32_t shutdownTimeout = 2;  // "WebSessionIPShutdownTimeout", seconds
    std::string password;          // "Data2", the supervisor password
};
WebSettings ReadWebSettings(service::ServiceContext& ctx);

// Owns the web server's listening socket and workers. Run is the body of the
// EmbeddedWebServer thread; the service host calls CloseListener when the service stops.
// @threadsafety CloseListener may be called from any thread, before, during or after Run.
class WebServer {
  public:
    explicit WebServer(WebServerOptions options = {});
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Takes part in the start-up handshake, reads the settings, opens the listener and
    // serves connections until CloseListener; then lets the workers finish their requests.
    void Run(service::ServiceContext& ctx);
    // Closes the listening socket for good: a thread waiting in accept returns at once, and
    // a listener that is not open yet is never opened.
    void CloseListener();
    // The port of the open listener; 0 when none is open.
    uint16_t Port() const;
    // The providers of the system monitors' rows.
    ReportSources& Sources() { return sources_; }
    // Connections handed to workers and not yet finished.
    uint32_t ActiveWorkers() const;
    // The registered consoles whose requests arrive on this port; none: console requests
    // are refused. Set before Run.
    void SetConsole(std::shared_ptr<console::ConsoleClients> clients);

  private:
    struct Run_;
    int OpenListener(uint16_t port);
    void DropListener();
    bool WaitBeforeRetry(std::chrono::milliseconds delay) const { return closed_.WaitFor(delay); }
    void Accepted(Run_& run, int fd, const std::string& address);
    void WorkerLoop(Run_& run);

    const WebServerOptions options_;
    mutable std::mutex mutex_;  // opening and closing of listener_
    companion::Socket listener_;
    platform::Event closed_;  // set by CloseListener
    ReportSources sources_;
    std::shared_ptr<console::ConsoleClients> console_;  // guarded by mutex_
    bool warningSent_ = false;  // the one-off start-up alert of this run was raised
    std::atomic<uint32_t> active_{0};
};

}  // namespace kvzn::web
