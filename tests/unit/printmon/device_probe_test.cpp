// Device addresses of queue URIs, the choice of devices to probe, and real probes on
// loopback: a listener, a closed port and a listener that never answers.
#include "printmon/device_probe.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "support/tarpit.h"

namespace kvzn::printmon {
namespace {

using namespace std::chrono_literals;

TEST(DeviceProbeTest, NetworkDeviceOfKnowsTheNetworkSchemesAndTheirPorts) {
    struct Case {
        const char* uri;
        const char* host;  // nullptr: not a network device
        uint16_t port;
    };
    const Case cases[] = {
        {"socket://10.0.0.5", "10.0.0.5", 9100},
        {"socket://10.0.0.5:9101", "10.0.0.5", 9101},
        {"SOCKET://printer.example.com:9100/?waiteof=false", "printer.example.com", 9100},
        {"ipp://laser/ipp/print", "laser", 631},
        {"ipps://user:pw@laser:8631/ipp", "laser", 8631},
        {"lpd://192.168.1.20/queue", "192.168.1.20", 515},
        {"http://[fe80::1]/ipp", "fe80::1", 80},
        {"https://[::1]:8443/x", "::1", 8443},
        {"usb://HP/LaserJet?serial=1", nullptr, 0},
        {"dnssd://Printer._ipp._tcp.local/", nullptr, 0},
        {"file:///dev/null", nullptr, 0},
        {"socket://", nullptr, 0},
        {"socket://host:0", nullptr, 0},
        {"socket://host:70000", nullptr, 0},
        {"socket://host:12x", nullptr, 0},
        {"socket://ho st", nullptr, 0},
        {"ipp://[::1", nullptr, 0},
        {"ipp://[::1]x", nullptr, 0},
        {"socket", nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.uri);
        const auto target = NetworkDeviceOf(c.uri);
        ASSERT_EQ(target.has_value(), c.host != nullptr);
        if (target) {
            EXPECT_EQ(target->host, c.host);
            EXPECT_EQ(target->port, c.port);
        }
    }
}

platform::SpoolerSnapshot Snapshot(int printers, int busyEvery) {
    platform::SpoolerSnapshot snapshot;
    for (int n = 0; n < printers; ++n) {
        platform::PrinterQueue queue;
        queue.printer.name = "P" + std::to_string(n);
        queue.printer.deviceUri =
            n % 7 == 6 ? "usb://local" : "socket://10.1.0." + std::to_string(n);
        if (n % busyEvery == 0) {
            queue.jobs.push_back(platform::JobInfo{.id = n + 1, .printer = queue.printer.name});
        }
        snapshot.printers.push_back(std::move(queue));
    }
    return snapshot;
}

// Only busy network queues are probed, never more than the limit in one call, and each
// device in turn when there are more; a printer whose queue empties loses its result.
TEST(DeviceProbeTest, ProberTakesBusyNetworkDevicesInTurnWithinItsLimit) {
    std::vector<std::vector<std::string>> batches;
    DeviceProber prober(
        [&](const std::vector<platform::ProbeTarget>& targets, std::chrono::milliseconds) {
            std::vector<std::string> hosts;
            std::vector<platform::ProbeOutcome> outcomes;
            for (const auto& t : targets) {
                hosts.push_back(t.host);
                const bool odd = (t.host.back() - '0') % 2 == 1;
                outcomes.push_back({!odd, odd ? ECONNREFUSED : 0, odd ? "refused" : ""});
            }
            batches.push_back(hosts);
            return outcomes;
        },
        4);
    std::vector<std::string> watched;
    for (int n = 0; n < 14; ++n) {
        watched.push_back("p" + std::to_string(n));  // names compare without regard to case
    }
    watched.pop_back();  // P13 is not monitored
    // Busy: P0, P2, ..., P12; P6 and P13 are not network devices / not watched.
    const auto snapshot = Snapshot(14, 2);
    prober.Probe(snapshot, watched, 100ms);
    prober.Probe(snapshot, watched, 100ms);
    ASSERT_EQ(batches.size(), 2u);
    EXPECT_EQ(batches[0],
              (std::vector<std::string>{"10.1.0.0", "10.1.0.2", "10.1.0.4", "10.1.0.8"}));
    EXPECT_EQ(batches[1],
              (std::vector<std::string>{"10.1.0.10", "10.1.0.12", "10.1.0.0", "10.1.0.2"}));
    EXPECT_TRUE(prober.Of("P8").probed);
    EXPECT_TRUE(prober.Of("P8").reachable);
    EXPECT_EQ(prober.Of("P8").target, "10.1.0.8:9100");
    EXPECT_FALSE(prober.Of("P1").probed);  // no jobs
    EXPECT_TRUE(prober.Unreachable().empty());

    auto changed = Snapshot(14, 2);
    changed.printers[8].jobs.clear();
    changed.printers[3].jobs.push_back(platform::JobInfo{.id = 99, .printer = "P3"});
    changed.printers[3].printer.deviceUri = "socket://10.1.0.3";
    prober.Probe(changed, watched, 100ms);
    EXPECT_FALSE(prober.Of("P8").probed);
    EXPECT_EQ(prober.Unreachable(), std::vector<std::string>{"p3"});
    EXPECT_EQ(prober.Of("P3").detail, "refused");
}

TEST(DeviceProbeTest, ProbeTcpConnectTellsAnsweringRefusingAndSilentDevicesApart) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), len), 0);
    ASSERT_EQ(::listen(listener, 16), 0);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    const uint16_t open = ntohs(addr.sin_port);
    // A port that was just free: nothing listens there.
    const int closedSocket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in closedAddr{};
    closedAddr.sin_family = AF_INET;
    closedAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(closedSocket, reinterpret_cast<sockaddr*>(&closedAddr), len);
    ::getsockname(closedSocket, reinterpret_cast<sockaddr*>(&closedAddr), &len);
    const uint16_t closed = ntohs(closedAddr.sin_port);
    ::close(closedSocket);
    test::Tarpit tarpit;
    ASSERT_TRUE(tarpit.ok());

    std::vector<platform::ProbeTarget> targets{
        {"127.0.0.1", open}, {"127.0.0.1", closed}, {"localhost", open}};
    // Many silent devices cost one time-out together, not one each.
    for (int n = 0; n < 40; ++n) {
        targets.push_back({"127.0.0.1", tarpit.port()});
    }
    targets.push_back({"no-such-host.invalid", 9100});
    const auto started = std::chrono::steady_clock::now();
    const auto outcomes = platform::ProbeTcpConnect(targets, 700ms);
    const auto took = std::chrono::steady_clock::now() - started;
    ::close(listener);

    ASSERT_EQ(outcomes.size(), targets.size());
    EXPECT_TRUE(outcomes[0].reachable);
    EXPECT_FALSE(outcomes[1].reachable);
    EXPECT_EQ(outcomes[1].error, ECONNREFUSED);
    EXPECT_TRUE(outcomes[2].reachable) << outcomes[2].detail;
    for (size_t n = 3; n < 43; ++n) {
        EXPECT_FALSE(outcomes[n].reachable);
        EXPECT_EQ(outcomes[n].error, ETIMEDOUT) << n;
    }
    EXPECT_FALSE(outcomes.back().reachable);
    EXPECT_TRUE(outcomes.back().error == ENOENT || outcomes.back().error == ETIMEDOUT)
        << outcomes.back().detail;
    EXPECT_LT(took, 700ms + 1500ms);  // one deadline for all, with room for a loaded machine
}

}  // namespace
}  // namespace kvzn::printmon
