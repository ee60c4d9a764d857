// A private aiosmtpd mail server on loopback for tests and benchmarks, and the messages it
// stored, parsed.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "companion/tcpip.h"
#include "support/child_process.h"
#include "support/test_support.h"

namespace kvzn::test {

// The interpreter that carries python3-aiosmtpd (the python3 first on PATH may lack it).
inline constexpr const char* kMailPython = "/usr/bin/python3";

// Handlers of the server, from the module the server writes next to its maildir. Both store
// like aiosmtpd's Mailbox and add two headers to each message: "X-Arrival-Ns", the
// CLOCK_MONOTONIC time (the clock of std::chrono::steady_clock) at which the whole message
// had been received, and "X-Arrival-Seq", 1, 2, ... in order of arrival.
inline constexpr const char* kStampedMailbox = "kvzn_mailboxes.StampedMailbox";
// As kStampedMailbox, but every recipient "nobody@..." is refused with "550 5.1.1 No such user".
inline constexpr const char* kRefusingMailbox = "kvzn_mailboxes.RefusingMailbox";

inline bool HaveAiosmtpd() {
    ChildProcess probe({kMailPython, "-c", "import aiosmtpd"});
    return probe.Wait(std::chrono::seconds(10)) == 0;
}

// A loopback port that was free a moment ago; 0 when none could be had.
inline uint16_t FreeLoopbackPort() {
    // Test processes run side by side: a port found free by one of them and handed to its
    // server could be found free by another at the same moment. Each process therefore
    // takes its ports from a block of its own, below the kernel's ephemeral range so that
    // no outgoing connection holds one either, passing over ports in use.
    static std::atomic<unsigned> next{0};
    const unsigned base = 10000 + (static_cast<unsigned>(::getpid()) % 1000) * 20;
    for (int attempt = 0; attempt < 20; ++attempt) {
        const auto port = static_cast<uint16_t>(base + next++ % 20);
        companion::Socket probe;
        if (companion::IpCreateServer(probe, port, "127.0.0.1") == companion::kIpOk) {
            companion::IpClose(probe);
            return port;
        }
    }
    companion::Socket probe;
    if (companion::IpCreateServer(probe, 0, "127.0.0.1") != companion::kIpOk) {
        return 0;
    }
    const uint16_t port = companion::IpLocalPort(probe);
    companion::IpClose(probe);
    return port;
}

// One received message: header fields (unfolded) and the body, as the maildir holds them.
struct Mail {
    std::multimap<std::string, std::string> headers;
    std::string body;
    // The first field of that name, "<missing>" when there is none.
    std::string Header(const std::string& name) const {
        const auto it = headers.find(name);
        return it == headers.end() ? std::string("<missing>") : it->second;
    }
};

inline Mail ParseMail(const std::string& text) {
    Mail mail;
    const size_t end = text.find("\n\n");
    mail.body = end == std::string::npos ? std::string() : text.substr(end + 2);
    std::string name;
    size_t pos = 0;
    while (pos < end && pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos) {
            eol = text.size();
        }
        const std::string line = text.substr(pos, eol - pos);
        pos = eol + 1;
        if (line.empty()) {
            continue;
        }
        if ((line[0] == ' ' || line[0] == '\t') && !name.empty()) {
            std::prev(mail.headers.upper_bound(name))->second += line;
        } else if (const size_t colon = line.find(':'); colon != std::string::npos) {
            name = line.substr(0, colon);
            const size_t value = colon + (line.compare(colon, 2, ": ") == 0 ? 2 : 1);
            mail.headers.emplace(name, line.substr(value));
        }
    }
    return mail;
}

// A private aiosmtpd on a free loopback port, storing what it accepts in a maildir below
// `dir`. The server is killed and reaped on destruction.
class MailServer {
  public:
    // `handler` is an aiosmtpd handler class taking the maildir as its one argument; `env`
    // ("NAME=value") is added to the server's environment, a PYTHONPATH there is searched
    // after the folder of the harness's own handlers.
    explicit MailServer(const std::string& dir, const std::string& handler = kStampedMailbox,
                        const std::vector<std::string>& env = {})
        : port_(FreeLoopbackPort()), home_(dir + "/mail-" + std::to_string(port_)) {
        std::filesystem::create_directories(home_);
        WriteFile(home_ + "/kvzn_mailboxes.py", kHandlerModule);
        std::string pythonPath = "PYTHONPATH=" + home_;
        std::vector<std::string> environment;
        for (const std::string& e : env) {
            if (e.starts_with("PYTHONPATH=")) {
                pythonPath += ":" + e.substr(11);
            } else {
                environment.push_back(e);
            }
        }
        environment.push_back(pythonPath);
        server_.emplace(std::vector<std::string>{kMailPython, "-m", "aiosmtpd", "-n", "-l",
                                                 "127.0.0.1:" + std::to_string(port_), "-c",
                                                 handler, Maildir()},
                        environment);
        ready_ = port_ != 0 && WaitUntil(
                                   [this] {
                                       companion::Socket probe;
                                       return companion::IpConnect(probe, "127.0.0.1", port_, 1) ==
                                              companion::kIpOk;
                                   },
                                   std::chrono::seconds(10));
    }

    // True once the server accepted a connection.
    bool ready() const { return ready_; }
    uint16_t port() const { return port_; }
    std::string Maildir() const { return home_ + "/maildir"; }
    // What the server wrote to its standard output and error so far.
    std::string Output() { return server_->Output(); }

    // Messages stored so far (cheap: only the directory is listed).
    size_t Count() const {
        std::error_code ec;
        std::filesystem::directory_iterator it(Maildir() + "/new", ec);
        return ec ? 0
                  : static_cast<size_t>(std::distance(it, std::filesystem::directory_iterator()));
    }

    // Every stored message, in order of arrival when the handler stamps it, otherwise in the
    // order of the maildir's file names.
    std::vector<Mail> Messages() const {
        std::vector<std::pair<std::string, Mail>> named;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(Maildir() + "/new", ec)) {
            named.emplace_back(entry.path().filename().string(),
                               ParseMail(ReadFile(entry.path().string())));
        }
        auto seq = [](const Mail& m) {
            const auto it = m.headers.find("X-Arrival-Seq");
            return it == m.headers.end() ? 0L : std::stol(it->second);
        };
        std::sort(named.begin(), named.end(), [&](const auto& a, const auto& b) {
            return seq(a.second) != seq(b.second) ? seq(a.second) < seq(b.second)
                                                  : a.first < b.first;
        });
        std::vector<Mail> mails;
        for (auto& [name, mail] : named) {
            mails.push_back(std::move(mail));
        }
        return mails;
    }

  private:
    static constexpr const char* kHandlerModule =
        "# Mailboxes of the test mail server: each stored message carries its arrival.\n"
        "import itertools\n"
        "import time\n"
        "from aiosmtpd.handlers import Mailbox\n"
        "\n"
        "class StampedMailbox(Mailbox):\n"
        "    _arrivals = itertools.count(1)\n"
        "\n"
        "    def prepare_message(self, session, envelope):\n"
        "        arrived = time.monotonic_ns()\n"
        "        message = super().prepare_message(session, envelope)\n"
        "        message['X-Arrival-Ns'] = str(arrived)\n"
        "        message['X-Arrival-Seq'] = str(next(self._arrivals))\n"
        "        return message\n"
        "\n"
        "class RefusingMailbox(StampedMailbox):\n"
        "    async def handle_RCPT(self, server, session, envelope, address, options):\n"
        "        if address.startswith('nobody@'):\n"
        "            return '550 5.1.1 No such user'\n"
        "        envelope.rcpt_tos.append(address)\n"
        "        return '250 OK'\n";

    uint16_t port_;
    std::string home_;
    std::optional<ChildProcess> server_;
    bool ready_ = false;
};

}  // namespace kvzn::test
