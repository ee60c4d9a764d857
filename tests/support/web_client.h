// A minimal HTTP/1.0 client for tests of the web server: one request per connection, the
// reply read until the server closes.
#pragma once

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "companion/tcpip.h"

namespace kvzn::test {

struct WebReply {
    int code = 0;  // 0 when no reply could be read
    std::string headers;
    std::string body;
    std::string Header(const std::string& name) const {
        const size_t at = headers.find("\r\n" + name + ": ");
        if (at == std::string::npos) {
            return {};
        }
        const size_t start = at + 4 + name.size();
        return headers.substr(start, headers.find("\r\n", start) - start);
    }
};

// Sends the request in `pieces`, pausing `pause` after each, and reads until the server
// closes.
inline WebReply WebExchange(uint16_t port, const std::vector<std::string>& pieces,
                            std::chrono::milliseconds pause = std::chrono::milliseconds(0)) {
    companion::Socket sock;
    WebReply reply;
    if (companion::IpConnect(sock, "127.0.0.1", port, 2) != companion::kIpOk) {
        return reply;
    }
    for (const std::string& piece : pieces) {
        companion::IpSendText(sock, piece);
        std::this_thread::sleep_for(pause);
    }
    std::string all;
    for (;;) {
        std::string part;
        if (companion::IpReceiveReply(sock, part, 1 << 20, 10) != companion::kIpOk) {
            break;
        }
        all += part;
    }
    const size_t end = all.find("\r\n\r\n");
    if (all.rfind("HTTP/1.0 ", 0) != 0 || end == std::string::npos) {
        return reply;
    }
    reply.code = std::stoi(all.substr(9, 3));
    reply.headers = all.substr(0, end + 2);
    reply.body = all.substr(end + 4);
    return reply;
}

inline WebReply WebExchange(uint16_t port, const std::string& request) {
    return WebExchange(port, std::vector<std::string>{request});
}

// A logged-on session of the supervisor: its cookie and the token its forms carry.
struct WebSession {
    uint16_t port = 0;
    std::string cookie;
    std::string token;

    WebReply Get(const std::string& path) const {
        return WebExchange(port, "GET " + path + " HTTP/1.0\r\nCookie: " + cookie + "\r\n\r\n");
    }
    WebReply Post(const std::string& path, const std::string& form) const {
        return WebExchange(port, "POST " + path +
                                     " HTTP/1.0\r\nContent-Length: " + std::to_string(form.size()) +
                                     "\r\nCookie: " + cookie + "\r\n\r\n" + form);
    }
    // Logs on at `page` with `password` and reads the token from that page; false when
    // either step failed.
    bool LogOn(const std::string& page, const std::string& password) {
        const WebReply ok = Post(page, "hPassword=" + password + "&btnLogon=Login");
        const std::string setCookie = ok.Header("Set-Cookie");
        if (ok.code != 303 || setCookie.empty()) {
            return false;
        }
        cookie = setCookie.substr(0, setCookie.find(';'));
        const std::string body = Get(page).body;
        const std::string marker = "name=\"token\" value=\"";
        const size_t at = body.find(marker);
        if (at == std::string::npos) {
            return false;
        }
        token = body.substr(at + marker.size(), 32);
        return true;
    }
};

}  // namespace kvzn::test
