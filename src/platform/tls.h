// TLS client sessions over a connected TCP socket (GnuTLS).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace kvzn::platform {

// Where the server's certificate chain must lead.
struct TlsTrust {
    // A PEM file of CA certificates; empty: the system's trust store.
    std::string caFile;
};

// One client session on a socket the caller keeps (and closes after the session ends).
// The server's certificate must chain to the trusted CAs and name `hostName`.
// Every call waits at most its time-out.
// @threadsafety One thread at a time per session.
class TlsSession {
  public:
    virtual ~TlsSession() = default;
    // Sends all of `data`; ETIMEDOUT when the peer takes nothing for `timeoutSeconds`.
    virtual Status Send(std::string_view data, int timeoutSeconds) = 0;
    // Waits at most `timeoutSeconds` for data and appends what arrived (at most `maxLength`
    // bytes) to `out`. ETIMEDOUT when nothing came; ECONNRESET when the peer ended the session.
    virtual Status Receive(std::string& out, size_t maxLength, int timeoutSeconds) = 0;
    // Tells the peer the session ends (without waiting for its answer).
    virtual void Bye() = 0;
};

// Performs the handshake on the connected socket `fd` within `timeoutSeconds`. A failure
// says why (no common protocol, an untrusted or mismatched certificate, a time-out).
Result<std::unique_ptr<TlsSession>> StartTlsSession(int fd, std::string_view hostName,
                                                    const TlsTrust& trust, int timeoutSeconds);

}  // namespace kvzn::platform
