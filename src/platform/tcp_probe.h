// Reachability of network devices: can a TCP connection to a host and port be opened
// within a time-out, for many devices at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kvzn::platform {

struct ProbeTarget {
    std::string host;  // a name, an IPv4 address or an IPv6 address without brackets
    uint16_t port = 0;
};

struct ProbeOutcome {
    bool reachable = false;
    // Why not: the errno of the connect (ECONNREFUSED, EHOSTUNREACH, ...), ETIMEDOUT when
    // neither the name nor the connection answered in time, ENOENT for a name that does
    // not resolve. 0 when reachable.
    int error = 0;
    std::string detail;  // "Connection refused", "no answer within 2000 ms", ...
};

// Probes devices. Names are looked up on threads of their own, all at once; a lookup still
// running when a probe's time is up is not waited for: it ends on its own time (the
// resolver's time-outs) and frees what it found, so no probe ever waits for a slow name
// server.
// @threadsafety One thread at a time.
class TcpProber {
  public:
    TcpProber();
    ~TcpProber();
    TcpProber(const TcpProber&) = delete;
    TcpProber& operator=(const TcpProber&) = delete;

    // As ProbeTcpConnect.
    std::vector<ProbeOutcome> Probe(const std::vector<ProbeTarget>& targets,
                                    std::chrono::milliseconds timeout);

  private:
    struct Lookups;
    std::unique_ptr<Lookups> lookups_;
};

// Resolves every host and connects to each of its addresses, all at once, and closes every
// connection as soon as it is made; nothing is sent. Returns one outcome per target, in
// order, after at most `timeout` in all (plus the scheduling delay of one poll), however
// many targets there are and however many do not answer. A target is reachable when any
// of its addresses accepted the connection.
// @threadsafety Always; each call has its own descriptors and resolver requests.
std::vector<ProbeOutcome> ProbeTcpConnect(const std::vector<ProbeTarget>& targets,
                                          std::chrono::milliseconds timeout);

}  // namespace kvzn::platform
