// Reachability of network devices: can a TCP connection to a host and port be opened
// within a time-out, for many devices at once.
#pragma once

#include <chrono>
#include <cstdint>
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

// Resolves every host and connects to each of its addresses, all at once, and closes every
// connection as soon as it is made; nothing is sent. Returns one outcome per target, in
// order, after at most `timeout` in all (plus the scheduling delay of one poll), however
// many targets there are and however many do not answer. A target is reachable when any
// of its addresses accepted the connection. Names are looked up on threads of their own,
// all at once; a lookup still running when the time is up is not waited for: it ends on
// its own time (the resolver's time-outs) and frees what it found, so no probe ever waits
// for a slow name server.
// @threadsafety Always; each call has its own descriptors and lookups.
std::vector<ProbeOutcome> ProbeTcpConnect(const std::vector<ProbeTarget>& targets,
                                          std::chrono::milliseconds timeout);

}  // namespace kvzn::platform
