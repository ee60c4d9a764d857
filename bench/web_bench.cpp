// The web server under load: the status page of 500 monitored printers, built alone and
// served to concurrent clients beside a static file of the same server, and 1,000
// connections at once against the worker limit. Prints the figures; asserts nothing.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

#include "platform/fake/fake_spooler.h"
#include "platform/profile_file.h"
#include "printmon/print_server_monitor.h"
#include "support/mail_server.h"
#include "support/service_fixture.h"
#include "support/shared_spooler.h"
#include "web/pages.h"
#include "web/web_server.h"

namespace {

using namespace kvzn;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kPrinters = 500;

size_t OpenDescriptors() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
        ++n;
    }
    return n;
}

// One request; the status code, 0 when no reply came.
int Fetch(uint16_t port, const std::string& path) {
    companion::Socket sock;
    if (companion::IpConnect(sock, "127.0.0.1", port, 5) != companion::kIpOk) {
        return 0;
    }
    companion::IpSendText(sock, "GET " + path + " HTTP/1.0\r\n\r\n");
    std::string all;
    for (;;) {
        std::string part;
        if (companion::IpReceiveReply(sock, part, 1 << 20, 10) != companion::kIpOk) {
            break;
        }
        all += part;
    }
    return all.size() > 12 ? std::atoi(all.c_str() + 9) : 0;
}

void Throughput(uint16_t port, const std::string& path, int clients, std::chrono::seconds length) {
    std::atomic<long> ok{0};
    std::atomic<long> other{0};
    const auto end = Clock::now() + length;
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&] {
            while (Clock::now() < end) {
                (Fetch(port, path) == 200 ? ok : other)++;
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    std::printf("%-22s %d clients: %8.0f replies/s (200: %ld, other: %ld)\n", path.c_str(), clients,
                static_cast<double>(ok + other) / static_cast<double>(length.count()), ok.load(),
                other.load());
}

}  // namespace

int main() {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 8192);
    setrlimit(RLIMIT_NOFILE, &limit);

    test::ServiceFixture fixture;
    auto& registry = fixture.registry;
    auto spooler = std::make_shared<platform::FakeSpooler>();
    for (int i = 1; i <= kPrinters; ++i) {
        platform::PrinterInfo p;
        p.name = "Queue-" + std::to_string(i);
        if (i % 50 == 0) {
            p.status = platform::kPrinterPaperJam;
            p.reasons = {"media-jam-error"};
        }
        spooler->SetPrinter(p);
        const std::string key = config::SubKey(config::subkey::kPrinters) + "\\" +
                                config::Numbered(config::list::kPrinterEntry, i);
        registry.WriteText(key, config::list::kPrinterIdentity, p.name);
        for (const char* title :
             {config::printer_check::kErrorConditions, config::printer_check::kPaused}) {
            const std::string sub = key + "\\" + title;
            registry.WriteFlag(sub, config::check::kEnabled, 1);
            registry.WriteNumber(sub, config::check::kAlertLevel, 4);
        }
    }
    for (const auto& entry : printmon::kBuiltInServices) {
        registry.WriteFlag(config::SubKey(config::subkey::kPrint) + "\\" + std::string(entry.title),
                           config::check::kEnabled, 0);
    }
    auto monitor = std::make_shared<printmon::PrintServerMonitor>(
        [spooler] { return std::make_unique<test::SharedSpooler>(spooler); });
    std::printf("monitored printers: %d\n", monitor->ReadConfiguration(fixture.context));
    monitor->RunPrinterChecks(fixture.context, fixture.clock.TickCount());
    fixture.context.PublishMonitor(printmon::kPrintServerComponent, monitor);

    // The page alone.
    web::ReportSources sources;
    const web::PageRequest request{fixture.context, sources, "127.0.0.1", std::nullopt};
    std::vector<double> ms;
    size_t bytes = 0;
    for (int i = 0; i < 200; ++i) {
        std::string page;
        const auto start = Clock::now();
        web::BuildHTMLStatusFile(request, page, false);
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        bytes = page.size();
    }
    std::sort(ms.begin(), ms.end());
    std::printf("status page, %d printers: %zu bytes, built in %.2f ms (median), %.2f ms (p95)\n",
                kPrinters, bytes, ms[ms.size() / 2], ms[ms.size() * 95 / 100]);

    // Served.
    const uint16_t port = test::FreeLoopbackPort();
    platform::WriteProfileString("TesselPrint", "Port", std::to_string(port),
                                 fixture.context.home + "/kvZNWebServer.ini");
    registry.WriteNumber(config::kProductKey, config::value::kWebSessionLogon, 3);
    web::WebServerOptions options;
    options.bindAddress = "127.0.0.1";
    options.makeSpooler = [spooler] { return std::make_unique<test::SharedSpooler>(spooler); };
    web::WebServer server(options);
    fixture.context.ResumeAll();
    std::thread web([&] { server.Run(fixture.context); });
    while (server.Port() != port) {
        std::this_thread::sleep_for(10ms);
    }
    Throughput(port, "/kvzn.css", 8, 3s);
    Throughput(port, "/PrintStatus.kvp", 8, 3s);
    Throughput(port, "/metrics", 8, 3s);

    // 1,000 connections at once against 50 workers.
    const size_t before = OpenDescriptors();
    std::atomic<int> served{0};
    std::atomic<int> busy{0};
    std::atomic<int> none{0};
    std::vector<std::thread> crowd;
    const auto start = Clock::now();
    for (int i = 0; i < 1000; ++i) {
        crowd.emplace_back([&] {
            const int code = Fetch(port, "/PrintStatus.kvp");
            (code == 200 ? served : code == 500 ? busy : none)++;
        });
    }
    for (auto& t : crowd) {
        t.join();
    }
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    while (server.ActiveWorkers() != 0) {
        std::this_thread::sleep_for(10ms);
    }
    std::this_thread::sleep_for(200ms);
    std::printf(
        "1000 concurrent connections in %.2f s: %d served, %d told too busy, %d no reply;"
        " workers busy after: %u; descriptors before %zu, after %zu\n",
        took, served.load(), busy.load(), none.load(), server.ActiveWorkers(), before,
        OpenDescriptors());
    server.CloseListener();
    web.join();
    return 0;
}
