// Device addresses of queue URIs and the probe of the devices of busy queues.
#include "printmon/device_probe.h"

#include <algorithm>
#include <cctype>
#include <memory>

#include "platform/text.h"

namespace kvzn::printmon {
namespace {

struct SchemePort {
    std::string_view scheme;
    uint16_t port;
};
constexpr SchemePort kNetworkSchemes[] = {{"socket", 9100}, {"ipp", 631}, {"ipps", 631},
                                          {"lpd", 515},     {"http", 80}, {"https", 443}};

bool IsHostChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.' || c == '_';
}

bool IsIpv6Char(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0 || c == ':' || c == '.';
}

std::optional<uint16_t> PortOf(std::string_view text) {
    if (text.empty() || text.size() > 5) {
        return std::nullopt;
    }
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 65535) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(value);
}

}  // namespace

std::optional<platform::ProbeTarget> NetworkDeviceOf(std::string_view uri) {
    const size_t colon = uri.find("://");
    if (colon == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view scheme = uri.substr(0, colon);
    const SchemePort* known = nullptr;
    for (const SchemePort& entry : kNetworkSchemes) {
        if (platform::EqualsNoCase(entry.scheme, scheme)) {
            known = &entry;
        }
    }
    if (known == nullptr) {
        return std::nullopt;
    }
    std::string_view authority = uri.substr(colon + 3);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    if (const size_t at = authority.rfind('@'); at != std::string_view::npos) {
        authority = authority.substr(at + 1);
    }

    platform::ProbeTarget target;
    target.port = known->port;
    std::string_view rest;
    if (!authority.empty() && authority.front() == '[') {
        const size_t close = authority.find(']');
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        const std::string_view host = authority.substr(1, close - 1);
        if (host.empty() || !std::all_of(host.begin(), host.end(), IsIpv6Char)) {
            return std::nullopt;
        }
        target.host = std::string(host);
        rest = authority.substr(close + 1);
    } else {
        const size_t portColon = authority.find(':');
        const std::string_view host = authority.substr(0, portColon);
        if (host.empty() || !std::all_of(host.begin(), host.end(), IsHostChar)) {
            return std::nullopt;
        }
        target.host = std::string(host);
        rest =
            portColon == std::string_view::npos ? std::string_view{} : authority.substr(portColon);
    }
    if (!rest.empty()) {
        if (rest.front() != ':') {
            return std::nullopt;
        }
        const std::optional<uint16_t> port = PortOf(rest.substr(1));
        if (!port) {
            return std::nullopt;
        }
        target.port = *port;
    }
    return target;
}

DeviceProber::DeviceProber(ProbeFunction probe, size_t limit)
    : probe_(std::move(probe)), limit_(limit == 0 ? 1 : limit) {
    if (!probe_) {
        probe_ = platform::ProbeTcpConnect;
    }
}

void DeviceProber::Probe(const platform::SpoolerSnapshot& snapshot,
                         const std::vector<std::string>& watched,
                         std::chrono::milliseconds timeout) {
    struct Candidate {
        std::string printer;
        platform::ProbeTarget target;
    };
    std::vector<Candidate> candidates;
    for (const std::string& name : watched) {
        const platform::PrinterQueue* queue = snapshot.Find(name);
        if (queue == nullptr || queue->jobs.empty()) {
            continue;
        }
        if (auto target = NetworkDeviceOf(queue->printer.deviceUri)) {
            candidates.push_back({name, std::move(*target)});
        }
    }

    // Printers that are no longer candidates lose their result; the others keep it until
    // they are probed again.
    std::vector<Entry> kept;
    for (Entry& entry : entries_) {
        const bool candidate = std::any_of(
            candidates.begin(), candidates.end(),
            [&](const Candidate& c) { return platform::EqualsNoCase(c.printer, entry.printer); });
        if (candidate) {
            kept.push_back(std::move(entry));
        }
    }
    entries_ = std::move(kept);
    if (candidates.empty()) {
        next_ = 0;
        return;
    }

    std::vector<size_t> chosen;
    const size_t count = std::min(limit_, candidates.size());
    const size_t start = next_ % candidates.size();
    for (size_t n = 0; n < count; ++n) {
        chosen.push_back((start + n) % candidates.size());
    }
    next_ = candidates.size() > limit_ ? start + count : 0;

    std::vector<platform::ProbeTarget> targets;
    for (size_t index : chosen) {
        targets.push_back(candidates[index].target);
    }
    const std::vector<platform::ProbeOutcome> outcomes = probe_(targets, timeout);
    for (size_t n = 0; n < chosen.size() && n < outcomes.size(); ++n) {
        const Candidate& candidate = candidates[chosen[n]];
        DeviceReachability state;
        state.probed = true;
        state.reachable = outcomes[n].reachable;
        const bool v6 = candidate.target.host.find(':') != std::string::npos;
        state.target = (v6 ? "[" + candidate.target.host + "]" : candidate.target.host) + ":" +
                       std::to_string(candidate.target.port);
        state.detail = outcomes[n].detail;
        auto existing = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) {
            return platform::EqualsNoCase(e.printer, candidate.printer);
        });
        if (existing != entries_.end()) {
            existing->state = std::move(state);
        } else {
            entries_.push_back({candidate.printer, std::move(state)});
        }
    }
}

DeviceReachability DeviceProber::Of(std::string_view printer) const {
    for (const Entry& entry : entries_) {
        if (platform::EqualsNoCase(entry.printer, printer)) {
            return entry.state;
        }
    }
    return {};
}

std::vector<std::string> DeviceProber::Unreachable() const {
    std::vector<std::string> names;
    for (const Entry& entry : entries_) {
        if (entry.state.probed && !entry.state.reachable) {
            names.push_back(entry.printer);
        }
    }
    return names;
}

}  // namespace kvzn::printmon
