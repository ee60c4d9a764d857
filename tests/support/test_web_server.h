// The web server of a test's service context, on a free loopback port, run on a thread of
// its own until the object ends.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "config/registry_names.h"
#include "config/scrambled_values.h"
#include "platform/profile_file.h"
#include "support/service_fixture.h"
#include "support/test_support.h"
#include "web/web_server.h"

namespace kvzn::test {

class TestWebServer {
  public:
    TestWebServer() = default;
    ~TestWebServer() { Stop(); }
    TestWebServer(const TestWebServer&) = delete;
    TestWebServer& operator=(const TestWebServer&) = delete;

    // Writes a free port to kvZNWebServer.ini in the context's home directory, logon mode
    // `logonMode` and, when given, the web password to the store, and starts the server
    // with `options` bound to loopback. False when the password could not be stored or the
    // server did not listen on its port within 5 s.
    bool Start(ServiceFixture& fx, int logonMode, const std::string& password = {},
               web::WebServerOptions options = {}) {
        port_ = FreeLoopbackPort();
        platform::WriteProfileString("TesselPrint", "Port", std::to_string(port_),
                                     fx.context.home + "/kvZNWebServer.ini");
        fx.registry.WriteNumber(config::kProductKey, config::value::kWebSessionLogon, logonMode);
        if (!password.empty() &&
            config::kvHlpSvc1(fx.registry, password, fx.registry.Store(), config::kProductKey,
                              config::value::kWebPassword) != 1) {
            return false;
        }
        options.bindAddress = "127.0.0.1";
        server_ = std::make_unique<web::WebServer>(options);
        fx.context.ResumeAll();
        thread_ = std::thread([this, &fx] { server_->Run(fx.context); });
        return WaitUntil([&] { return server_->Port() == port_; }, std::chrono::seconds(5));
    }
    void Stop() {
        if (server_) {
            server_->CloseListener();
            thread_.join();
            server_.reset();
        }
    }
    uint16_t port() const { return port_; }

  private:
    std::unique_ptr<web::WebServer> server_;
    std::thread thread_;
    uint16_t port_ = 0;
};

}  // namespace kvzn::test
