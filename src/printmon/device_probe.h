// Whether the network devices behind the monitored queues answer: the device address of a
// queue's URI, and the probe of the devices of queues that have work to do.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/spooler.h"
#include "platform/tcp_probe.h"

namespace kvzn::printmon {

// The TCP address of a network device URI: socket (9100), ipp (631), ipps (631), lpd (515),
// http (80) and https (443), with the port the URI names instead when it has one. Nothing
// for other schemes (usb, file, dnssd, ...) and for URIs without a usable host or port.
std::optional<platform::ProbeTarget> NetworkDeviceOf(std::string_view uri);

// What the last probe found for one printer's device.
struct DeviceReachability {
    bool probed = false;     // false: not a network device, no jobs, or not probed yet
    bool reachable = false;  // meaningful when probed
    std::string target;      // "host:port"
    std::string detail;      // why not reachable
};

using ProbeFunction = std::function<std::vector<platform::ProbeOutcome>(
    const std::vector<platform::ProbeTarget>&, std::chrono::milliseconds)>;

// Probes the devices of the printers that have jobs in the snapshot, at most `limit` at once
// and each at most once per call; with more devices than that, the next calls go on where
// this one stopped. Results are kept per printer name until the printer has no jobs or no
// network device any more.
// @threadsafety One thread at a time.
class DeviceProber {
  public:
    // `probe`: how devices are probed; none: TCP connections through a prober of its own,
    // which keeps name lookups that outlast a probe.
    explicit DeviceProber(ProbeFunction probe = {}, size_t limit = 128);

    // Probes the devices of the `watched` printers (names as the monitor holds them) that
    // the snapshot shows with jobs, and returns within about `timeout`.
    void Probe(const platform::SpoolerSnapshot& snapshot, const std::vector<std::string>& watched,
               std::chrono::milliseconds timeout);
    // The last result for `printer` (compared without regard to case).
    DeviceReachability Of(std::string_view printer) const;
    // The printers whose device did not answer the last probe.
    std::vector<std::string> Unreachable() const;

  private:
    struct Entry {
        std::string printer;
        DeviceReachability state;
    };
    ProbeFunction probe_;
    size_t limit_;
    size_t next_ = 0;  // where the next call starts when there are more devices than `limit_`
    std::vector<Entry> entries_;
};

}  // namespace kvzn::printmon
