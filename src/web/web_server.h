// The embedded web server: its listening socket and the thread that accepts on it.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>

#include "companion/tcpip.h"
#include "platform/event.h"
#include "service/service_context.h"

namespace kvzn::web {

// Owns the web server's listening socket. Run is the body of the EmbeddedWebServer thread;
// the service host calls CloseListener when the service stops.
// @threadsafety CloseListener may be called from any thread, before, during or after Run.
class WebServer {
  public:
    // `retryDelay`: the pause after a failed accept, and before a listener that can no
    // longer be used is created again.
    explicit WebServer(std::chrono::milliseconds retryDelay = std::chrono::seconds(5))
        : retryDelay_(retryDelay) {}
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Takes part in the start-up handshake, opens the listener on "HTTPListenPortNo" (80 when
    // missing) and accepts connections until CloseListener. A listener that can no longer
    // accept (kIpInvalidConnection) is closed and created again on the same port.
    void Run(service::ServiceContext& ctx);
    // Closes the listening socket for good: a thread waiting in accept returns at once, and
    // a listener that is not open yet is never opened.
    void CloseListener();
    // The port of the open listener; 0 when none is open.
    uint16_t Port() const;

  private:
    // Opens the listener unless CloseListener came first (then kIpListenerClosed).
    int OpenListener(uint16_t port);
    // Closes the listener that failed; the server itself keeps running.
    void DropListener();
    // Waits retryDelay_; true when the server was closed meanwhile.
    bool WaitBeforeRetry() const { return closed_.WaitFor(retryDelay_); }

    const std::chrono::milliseconds retryDelay_;
    mutable std::mutex mutex_;  // opening and closing of listener_
    companion::Socket listener_;
    platform::Event closed_;  // set by CloseListener
};

}  // namespace kvzn::web
