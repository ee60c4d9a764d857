// The embedded web server thread: owns the listening socket and runs until the service
// closes it. Connections are accepted and closed; pages are served by the page builders.
#include "web/web_server.h"

#include "companion/activity_log.h"
#include "config/registry_names.h"

namespace kvzn::web {

namespace {
constexpr std::string_view kModule = "kvZNWebSvr";
constexpr uint16_t kDefaultPort = 80;
}  // namespace

int WebServer::OpenListener(uint16_t port) {
    std::scoped_lock lock(mutex_);
    if (closed_.IsSet()) {
        return companion::kIpListenerClosed;
    }
    return companion::IpCreateServer(listener_, port);
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

void WebServer::Run(service::ServiceContext& ctx) {
    const companion::Logger log(kModule, "EmbeddedWebServer");
    ctx.ComponentReadyAndSuspend(closed_);
    if (ctx.Stopping() || closed_.IsSet()) {
        return;
    }
    uint32_t configured = kDefaultPort;
    ctx.registry.ReadNumber(config::kProductKey, config::value::kHTTPListenPortNo, configured);
    const auto port = static_cast<uint16_t>(configured);
    int rc = OpenListener(port);
    if (rc == companion::kIpListenerClosed) {
        return;
    }
    if (rc != companion::kIpOk) {
        log(1, "Unable to create the web server's listening socket on port ", configured,
            ". Error: ", rc);
        return;
    }
    log(3, "Initialising on port ", Port());
    for (;;) {
        companion::Socket client;
        std::string address;
        const int result = companion::IpAccept(listener_, client, address);
        if (result == companion::kIpListenerClosed) {
            return;  // the service is stopping
        }
        if (result == companion::kIpOk) {
            companion::IpOrderlyClose(client, 2);
            continue;
        }
        if (result != companion::kIpInvalidConnection) {
            if (WaitBeforeRetry()) {
                return;
            }
            continue;
        }
        // Accepting again on this socket would fail for ever: it is replaced.
        log(2, "The web server's listening socket on port ", configured,
            " can no longer be used (error ", result, "). It is created again");
        DropListener();
        bool reported = false;
        do {
            if (WaitBeforeRetry()) {
                return;
            }
            rc = OpenListener(port);
            if (rc == companion::kIpListenerClosed) {
                return;
            }
            if (rc != companion::kIpOk && !reported) {
                log(1, "Unable to create the web server's listening socket on port ", configured,
                    ". Error: ", rc, ". Retrying");
                reported = true;
            }
        } while (rc != companion::kIpOk);
        log(3, "Initialising on port ", Port());
    }
}

}  // namespace kvzn::web
