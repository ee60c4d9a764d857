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

void WebServer::Run(service::ServiceContext& ctx) {
    const companion::Logger log(kModule, "EmbeddedWebServer");
    ctx.ComponentReadyAndSuspend();
    if (ctx.Stopping()) {
        return;
    }
    uint32_t port = kDefaultPort;
    ctx.registry.ReadNumber(config::kProductKey, config::value::kHTTPListenPortNo, port);
    int rc = 0;
    {
        std::scoped_lock lock(mutex_);
        rc = companion::IpCreateServer(listener_, static_cast<uint16_t>(port));
    }
    if (rc != companion::kIpOk) {
        log(1, "Unable to create the web server's listening socket on port ", port,
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
        } else if (ctx.WaitForStop(retryDelay_)) {
            return;
        }
    }
}

void WebServer::CloseListener() {
    std::scoped_lock lock(mutex_);
    if (listener_.valid()) {
        companion::IpClose(listener_);  // shuts the listener down: accept wakes at once
    }
}

uint16_t WebServer::Port() const {
    return companion::IpLocalPort(listener_);
}

}  // namespace kvzn::web
