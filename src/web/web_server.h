// The embedded web server: its listening socket and the thread that accepts on it.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>

#include "companion/tcpip.h"
#include "service/service_context.h"

namespace kvzn::web {

// Owns the web server's listening socket. Run is the body of the EmbeddedWebServer thread;
// the service host calls CloseListener when the service stops.
// @threadsafety CloseListener may be called from any thread, before, during or after Run.
class WebServer {
  public:
    // `retryDelay`: the pause after a failed accept before the next try.
    explicit WebServer(std::chrono::milliseconds retryDelay = std::chrono::seconds(5))
        : retryDelay_(retryDelay) {}
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Takes part in the start-up handshake, opens the listener on "HTTPListenPortNo" (80 when
    // missing) and accepts connections until the listener is closed.
    void Run(service::ServiceContext& ctx);
    // Closes the listening socket: a thread waiting in accept returns at once.
    void CloseListener();
    // The port of the open listener; 0 when none is open.
    uint16_t Port() const;

  private:
    const std::chrono::milliseconds retryDelay_;
    mutable std::mutex mutex_;  // opening and closing of listener_
    companion::Socket listener_;
};

}  // namespace kvzn::web
