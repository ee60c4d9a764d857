// kvzn-console: a terminal console for the print monitor. It registers with the service on
// the web server's port, shows the notices and activity lines the service sends to its own
// port, and fetches files of the service's home directory.
//
//   kvzn-console HOST PORT watch [--seconds N] [--listen-port P]
//   kvzn-console HOST PORT get FILE
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "companion/tcpip.h"
#include "console/console_message.h"
#include "platform/event.h"

namespace {

using kvzn::companion::Socket;
namespace console = kvzn::console;

constexpr auto kReplyWait = std::chrono::seconds(10);

// Reads one whole message from `sock`; `extra` keeps what followed it. nullopt when the
// peer closed or sent something that is not a message.
std::optional<console::ParsedMessage> ReadMessage(Socket& sock, std::string& extra) {
    std::string data;
    const auto deadline = std::chrono::steady_clock::now() + kReplyWait;
    for (;;) {
        const console::ParsedMessage m = console::ParseConsoleMessage(data);
        if (m.status == console::Parse::kComplete) {
            extra = data.substr(m.length);
            return m;
        }
        if (m.status == console::Parse::kInvalid) {
            std::cerr << "kvzn-console: " << m.error << "\n";
            return std::nullopt;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            std::cerr << "kvzn-console: no complete message in time\n";
            return std::nullopt;
        }
        std::string piece;
        const int rc =
            kvzn::companion::IpReceiveSome(sock, piece, 65536, std::chrono::milliseconds(250));
        if (rc == kvzn::companion::kIpTimedOut) {
            continue;
        }
        if (rc != kvzn::companion::kIpOk || piece.empty()) {
            return std::nullopt;
        }
        data += piece;
    }
}

// Sends one request and reads the reply on the same connection.
std::optional<console::ParsedMessage> Ask(const std::string& host, uint16_t port, int request,
                                          const std::string& text, Socket& sock,
                                          std::string& extra) {
    std::string error;
    if (kvzn::companion::IpConnect(sock, host, port, 5, &error) != kvzn::companion::kIpOk) {
        std::cerr << "kvzn-console: cannot connect to " << host << ":" << port << ": " << error
                  << "\n";
        return std::nullopt;
    }
    if (kvzn::companion::IpSendText(sock, console::BuildConsoleMessage(request, text)) !=
        kvzn::companion::kIpOk) {
        std::cerr << "kvzn-console: the request could not be sent\n";
        return std::nullopt;
    }
    return ReadMessage(sock, extra);
}

std::optional<console::ParsedMessage> Ask(const std::string& host, uint16_t port, int request,
                                          const std::string& text) {
    Socket sock;
    std::string extra;
    auto reply = Ask(host, port, request, text, sock, extra);
    kvzn::companion::IpClose(sock);
    return reply;
}

const char* NoticeName(int type) {
    switch (type) {
        case console::kAlert:
            return "ALERT";
        case console::kStopping:
            return "STOPPING";
        case console::kStarted:
            return "STARTED";
        case console::kActivityLine:
            return "ACTIVITY";
        default:
            return "NOTICE";
    }
}

void Show(const console::ParsedMessage& m) {
    std::string line = NoticeName(m.number);
    if (m.number == console::kActivityLine && m.fields.size() >= 5) {
        line += ": " + m.fields[4];
    } else {
        for (size_t i = 0; i < m.fields.size(); ++i) {
            line += (i == 0 ? ": " : " | ") + m.fields[i];
        }
    }
    std::cout << line << std::endl;
}

int Watch(const std::string& host, uint16_t port, int seconds, uint16_t listenPort) {
    Socket listener;
    if (kvzn::companion::IpCreateServer(listener, listenPort) != kvzn::companion::kIpOk) {
        std::cerr << "kvzn-console: cannot listen on port " << listenPort << "\n";
        return 1;
    }
    const std::string own = std::to_string(kvzn::companion::IpLocalPort(listener));
    std::cout << "Listening on port " << own << std::endl;
    const auto registered = Ask(host, port, console::kRegister, own);
    if (!registered || registered->number != console::kDone) {
        std::cerr << "kvzn-console: registration refused\n";
        return 1;
    }
    std::cout << "Registered: " << console::JoinFields(registered->fields) << std::endl;
    const auto activity = Ask(host, port, console::kStartActivity, own);
    if (!activity || activity->number != console::kDone) {
        std::cerr << "kvzn-console: the activity display could not be turned on\n";
    }
    kvzn::platform::Event done;
    std::thread timer([&] {
        done.WaitFor(std::chrono::seconds(seconds));
        kvzn::companion::IpClose(listener);
    });
    for (;;) {
        Socket client;
        std::string address;
        if (kvzn::companion::IpAccept(listener, client, address) != kvzn::companion::kIpOk) {
            break;
        }
        std::string extra;
        if (const auto notice = ReadMessage(client, extra)) {
            Show(*notice);
        }
    }
    done.Set();
    timer.join();
    Ask(host, port, console::kStopActivity, own);
    return 0;
}

int Get(const std::string& host, uint16_t port, const std::string& name) {
    Socket sock;
    std::string content;
    const auto reply = Ask(host, port, console::kGetFile, name, sock, content);
    if (!reply) {
        return 1;
    }
    if (reply->number != console::kFileFollows) {
        std::cerr << "kvzn-console: " << console::JoinFields(reply->fields) << "\n";
        kvzn::companion::IpClose(sock);
        return 2;
    }
    for (;;) {
        std::string piece;
        const int rc = kvzn::companion::IpReceiveSome(sock, piece, 65536, kReplyWait);
        if (rc != kvzn::companion::kIpOk || piece.empty()) {
            break;
        }
        content += piece;
    }
    kvzn::companion::IpClose(sock);
    std::cout << content << std::flush;
    return 0;
}

int Usage() {
    std::cerr << "usage: kvzn-console HOST PORT watch [--seconds N] [--listen-port P]\n"
                 "       kvzn-console HOST PORT get FILE\n";
    return 64;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        return Usage();
    }
    const std::string host = argv[1];
    const auto port = console::ParsePort(argv[2]);
    const std::string command = argv[3];
    if (!port) {
        return Usage();
    }
    if (command == "get" && argc == 5) {
        return Get(host, *port, argv[4]);
    }
    if (command != "watch") {
        return Usage();
    }
    int seconds = 3600;
    uint16_t listenPort = 0;
    for (int i = 4; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--seconds") {
            seconds = std::atoi(argv[i + 1]);
        } else if (option == "--listen-port") {
            listenPort = console::ParsePort(argv[i + 1]).value_or(0);
        } else {
            return Usage();
        }
    }
    return Watch(host, *port, seconds, listenPort);
}
