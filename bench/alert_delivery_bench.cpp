// Alert e-mail through the dispatcher to a private mail server on loopback: the time from
// NotifyError until the server holds the message, and alerts delivered per second.
//   alert_delivery_bench [count] [ring slots]
//
// The service's own path is measured: the program's channels (MakeAlertChannels), the
// alert notification thread (AlertNotification) woken by NotifyError, one e-mail recipient
// on the common server, the fixed-layout mail. Two runs of `count` alerts each:
//   one at a time  each alert is raised once the one before has arrived, so the figure is
//                  the delivery of one alert by an idle dispatcher;
//   burst          all alerts are raised back to back, so each also waits for the ones
//                  queued before it; the rate is the dispatcher's throughput.
// The mail server stamps each message with CLOCK_MONOTONIC as soon as the whole message is
// in (before it writes its maildir file); the bench stamps each alert with the same clock
// just before NotifyError. Polling the maildir instead would add the poll interval and the
// server's own file write to every figure.
// The ring of record slots ("MaxStoredMsgs") is the service's default of 50 unless given: a
// burst larger than the ring makes NotifyError wait for the dispatcher to free a slot.
// Exit status: 0 when every alert arrived exactly once, 1 otherwise, 2 when the mail server
// could not be started.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "alerting/dispatcher.h"
#include "alerting/notification_threads.h"
#include "companion/activity_log.h"
#include "companion/registry.h"
#include "config/registry_names.h"
#include "platform/clock.h"
#include "platform/config_store.h"
#include "platform/service_status.h"
#include "programs/component_table.h"
#include "support/mail_server.h"
#include "support/test_support.h"

namespace {

using namespace std::chrono_literals;

class QuietNotifier : public kvzn::platform::StatusNotifier {
  public:
    kvzn::platform::Status Notify(kvzn::platform::ServiceStatusState, uint32_t, uint32_t,
                                  uint32_t) override {
        return kvzn::platform::Status::Ok();
    }
};

int64_t MonotonicNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// One run: when each alert was raised, and when (0: never) and how often it arrived.
struct Run {
    char letter;
    const char* name;
    std::vector<int64_t> raised;
    std::vector<int64_t> arrived;
    std::vector<int> copies;
    double raiseSeconds = 0;  // time spent inside NotifyError
};

// Waits until the server holds `target` messages; gives up when none arrived for `stall`.
bool WaitForMessages(const kvzn::test::MailServer& server, size_t target,
                     std::chrono::milliseconds stall, std::chrono::microseconds poll) {
    size_t seen = server.Count();
    auto deadline = std::chrono::steady_clock::now() + stall;
    while (seen < target) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(poll);
        const size_t now = server.Count();
        if (now != seen) {
            seen = now;
            deadline = std::chrono::steady_clock::now() + stall;
        }
    }
    return true;
}

// Raises alert `i` of the run; its message names the run and the number.
void Raise(kvzn::service::ServiceContext& ctx, Run& run, int i) {
    std::string message = "Paper jam on HP4050, bench alert " + std::string(1, run.letter) +
                          std::to_string(i) + " (printing has stopped)";
    const int64_t before = MonotonicNs();
    run.raised[static_cast<size_t>(i)] = before;
    if (kvzn::alerting::NotifyError(ctx, kvzn::alerting::kCategoryPrintServer, 2, 0,
                                    "Printer Error", "HP4050", message) != 1) {
        std::fprintf(stderr, "NotifyError failed for alert %c%d\n", run.letter, i);
    }
    run.raiseSeconds += static_cast<double>(MonotonicNs() - before) / 1e9;
}

// Files every stored message under its run and alert number.
void Collect(const kvzn::test::MailServer& server, std::vector<Run*> runs, int& strays) {
    const std::string marker = "bench alert ";
    for (const kvzn::test::Mail& mail : server.Messages()) {
        const size_t at = mail.body.find(marker);
        const std::string stamp = mail.Header("X-Arrival-Ns");
        Run* run = nullptr;
        if (at != std::string::npos && at + marker.size() < mail.body.size()) {
            for (Run* r : runs) {
                if (mail.body[at + marker.size()] == r->letter) {
                    run = r;
                }
            }
        }
        const long i = run != nullptr
                           ? std::strtol(mail.body.c_str() + at + marker.size() + 1, nullptr, 10)
                           : -1;
        if (run == nullptr || i < 0 || i >= static_cast<long>(run->raised.size()) ||
            stamp == "<missing>") {
            ++strays;
            continue;
        }
        const auto k = static_cast<size_t>(i);
        if (++run->copies[k] == 1) {
            run->arrived[k] = std::strtoll(stamp.c_str(), nullptr, 10);
        }
    }
}

double Percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) {
        return 0;
    }
    // Nearest rank.
    const auto rank = static_cast<size_t>(std::max(1.0, std::ceil(p * sorted.size())));
    return sorted[std::min(rank, sorted.size()) - 1];
}

// Prints the run's figures; true when every alert arrived exactly once.
bool Report(const Run& run) {
    std::vector<double> latencies;
    int arrived = 0;
    int duplicated = 0;
    int64_t last = 0;
    for (size_t i = 0; i < run.raised.size(); ++i) {
        if (run.copies[i] > 0) {
            ++arrived;
            latencies.push_back(static_cast<double>(run.arrived[i] - run.raised[i]) / 1e6);
            last = std::max(last, run.arrived[i]);
        }
        duplicated += run.copies[i] > 1 ? 1 : 0;
    }
    std::sort(latencies.begin(), latencies.end());
    const size_t count = run.raised.size();
    const double span = arrived > 0 ? static_cast<double>(last - run.raised.front()) / 1e9 : 0;
    std::printf("%s\n", run.name);
    std::printf("  arrived:                     %d of %zu (%d more than once)\n", arrived, count,
                duplicated);
    std::printf("  latency median:              %8.2f ms\n", Percentile(latencies, 0.50));
    std::printf("  latency 99th percentile:     %8.2f ms\n", Percentile(latencies, 0.99));
    std::printf("  latency min / max:           %8.2f / %.2f ms\n",
                latencies.empty() ? 0 : latencies.front(),
                latencies.empty() ? 0 : latencies.back());
    std::printf("  first raised to last arrived: %7.3f s  %8.1f alerts per second\n", span,
                span > 0 ? arrived / span : 0);
    std::vector<int64_t> arrivals;
    for (size_t i = 0; i < run.raised.size(); ++i) {
        if (run.copies[i] > 0) {
            arrivals.push_back(run.arrived[i]);
        }
    }
    std::sort(arrivals.begin(), arrivals.end());
    // Which alerts went wrong, so they can be found in the activity log.
    for (const bool missing : {true, false}) {
        std::string names;
        int listed = 0;
        for (size_t i = 0; i < run.raised.size() && listed < 30; ++i) {
            if (missing ? run.copies[i] == 0 : run.copies[i] > 1) {
                names += " " + std::string(1, run.letter) + std::to_string(i);
                ++listed;
            }
        }
        if (!names.empty()) {
            std::printf("  %s%s%s\n", missing ? "missing:" : "more than once:", names.c_str(),
                        listed == 30 ? " ..." : "");
        }
    }
    std::vector<double> gaps;
    for (size_t i = 1; i < arrivals.size(); ++i) {
        gaps.push_back(static_cast<double>(arrivals[i] - arrivals[i - 1]) / 1e6);
    }
    std::sort(gaps.begin(), gaps.end());
    std::printf("  gap between arrivals median: %8.2f ms\n", Percentile(gaps, 0.50));
    std::printf("  NotifyError, mean:           %8.3f ms\n",
                count > 0 ? run.raiseSeconds * 1000 / static_cast<double>(count) : 0);
    if (!latencies.empty() && latencies.front() < 0) {
        std::printf("  a message arrived before it was raised: the clocks do not agree\n");
        return false;
    }
    return arrived == static_cast<int>(count) && duplicated == 0;
}

}  // namespace

int main(int argc, char** argv) {
    namespace alerting = kvzn::alerting;
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    const uint32_t slots = argc > 2 ? static_cast<uint32_t>(std::atoi(argv[2])) : 50;

    if (!kvzn::test::HaveAiosmtpd()) {
        std::fprintf(stderr, "python3-aiosmtpd is not installed for %s\n", kvzn::test::kMailPython);
        return 2;
    }
    kvzn::test::TempDir dir;
    kvzn::companion::ActivityLog::Process().SetFile(dir / "bench.log");
    kvzn::test::MailServer server(dir.path());
    if (!server.ready()) {
        std::fprintf(stderr, "the mail server did not start:\n%s\n", server.Output().c_str());
        return 2;
    }

    kvzn::companion::Registry registry(kvzn::platform::OpenFileStore(dir / "registry.reg"));
    QuietNotifier notifier;
    kvzn::service::StatusReporter status(notifier);
    kvzn::service::ServiceContext ctx(registry, kvzn::platform::SystemClock(), status);
    ctx.home = dir.path();
    ctx.dataDirectory = dir / "data";
    ctx.computerName = "PRINTSRV";
    std::filesystem::create_directories(ctx.dataDirectory);
    registry.WriteNumber(kvzn::config::kProductKey, kvzn::config::value::kMaxStoredMsgs, slots);
    const std::string contacts = kvzn::config::SubKey(kvzn::config::subkey::kContacts);
    registry.WriteText(contacts, "E-Mail Server", "127.0.0.1");
    registry.WriteNumber(contacts, "E-Mail Server Port", server.port());
    registry.WriteText(contacts, "Sender", "print@example.org");
    registry.WriteText(contacts, "EMail1", "ops@example.org");
    registry.WriteNumber(contacts, "EMailLevel1", 2);

    alerting::AttachAlertRun(ctx, kvzn::programs::MakeAlertChannels(ctx));
    ctx.ResumeAll();
    std::thread dispatcher([&ctx] { alerting::AlertNotification(ctx); });

    const auto size = static_cast<size_t>(count);
    Run single{'S', "one at a time", std::vector<int64_t>(size), std::vector<int64_t>(size),
               std::vector<int>(size)};
    Run burst{'B', "burst", std::vector<int64_t>(size), std::vector<int64_t>(size),
              std::vector<int>(size)};
    // A stalled delivery is given the longest a session can take before giving up.
    const auto stall = 30s;
    for (int i = 0; i < count; ++i) {
        Raise(ctx, single, i);
        if (!WaitForMessages(server, static_cast<size_t>(i) + 1, stall, 200us)) {
            std::fprintf(stderr, "alert S%d did not arrive\n", i);
            break;
        }
    }
    const size_t before = server.Count();
    for (int i = 0; i < count; ++i) {
        Raise(ctx, burst, i);
    }
    WaitForMessages(server, before + size, stall, 2ms);

    ctx.stopEvent.Set();
    dispatcher.join();

    int strays = 0;
    Collect(server, {&single, &burst}, strays);
    std::printf("alert e-mail through the dispatcher thread to aiosmtpd on 127.0.0.1:%u\n",
                static_cast<unsigned>(server.port()));
    std::printf("alerts per run: %d, record slots: %" PRIu32 ", one recipient\n", count, slots);
    const bool singleComplete = Report(single);
    const bool burstComplete = Report(burst);
    if (strays > 0) {
        std::printf("messages not matched to an alert: %d\n", strays);
    }
    return singleComplete && burstComplete && strays == 0 ? 0 : 1;
}
