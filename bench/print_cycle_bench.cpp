// One printer-check cycle of the print server monitor over many queues, against what the
// same information costs when read directly: the two IPP requests a cycle needs at the
// least (plain, and with the I/O time-out the spooler sets), the spooler's snapshot alone,
// and one `lpstat -p` per queue. Runs a private cupsd in a temporary directory (root only:
// the scheduler runs only root-owned filters and backends).
//   print_cycle_bench [queues] [jobs] [repetitions] [lpstat-repetitions]
// Reports the median of the repetitions; the cycle should stay within 1.5 times the floor.
// Timings are reported, never judged: the exit status is 1 only when the checks alerted.
#include <cups/cups.h>
#include <cups/http.h>
#include <cups/ipp.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "alerting/dispatcher.h"
#include "companion/activity_log.h"
#include "companion/registry.h"
#include "config/registry_names.h"
#include "integration/platform/private_cupsd.h"
#include "platform/clock.h"
#include "platform/config_store.h"
#include "platform/service_status.h"
#include "platform/spooler.h"
#include "printmon/print_server_monitor.h"
#include "service/service_context.h"
#include "support/tarpit.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

// Ends the run: main reports it, and the private scheduler and the bench's directory are
// cleaned up on the way out.
[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error(what);
}

struct HttpCloser {
    void operator()(http_t* http) const { httpClose(http); }
};
using HttpPtr = std::unique_ptr<http_t, HttpCloser>;

HttpPtr Connect(const std::string& socket) {
    HttpPtr http(httpConnect2(socket.c_str(), ippPort(), nullptr, AF_UNSPEC,
                              HTTP_ENCRYPTION_IF_REQUESTED, 1, 3000, nullptr));
    if (!http) {
        Fail("cannot connect to " + socket);
    }
    return http;
}

// Sends the request; the response status, the response freed.
ipp_status_t Request(http_t* http, ipp_t* request, const char* resource) {
    ippDelete(cupsDoRequest(http, request, resource));
    return cupsLastError();
}

std::string PrinterUri(const std::string& queue) {
    return "ipp://localhost/printers/" + queue;
}

// Time and CPU of one measured stretch; CPU of this process (with its children) and of the
// scheduler.
struct Sample {
    double wall = 0;
    double cpu = 0;
    double cupsdCpu = 0;
};

double Seconds(SteadyClock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double ProcessCpu() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    rusage children{};
    getrusage(RUSAGE_CHILDREN, &children);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9 +
           static_cast<double>(children.ru_utime.tv_sec + children.ru_stime.tv_sec) +
           static_cast<double>(children.ru_utime.tv_usec + children.ru_stime.tv_usec) / 1e6;
}

// utime + stime of a process from /proc/PID/stat.
double ProcCpu(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    for (int i = 3; fields >> field; ++i) {  // field 3 is the state
        if (i == 14) {
            utime = std::stoull(field);
        } else if (i == 15) {
            stime = std::stoull(field);
            break;
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

Sample Measure(pid_t cupsd, const std::function<void()>& work) {
    const double cpu0 = ProcessCpu();
    const double server0 = ProcCpu(cupsd);
    const auto start = SteadyClock::now();
    work();
    Sample sample;
    sample.wall = Seconds(SteadyClock::now() - start);
    sample.cpu = ProcessCpu() - cpu0;
    sample.cupsdCpu = ProcCpu(cupsd) - server0;
    return sample;
}

Sample Median(std::vector<Sample> samples) {
    auto median = [&](double Sample::*field) {
        std::vector<double> values;
        for (const Sample& s : samples) {
            values.push_back(s.*field);
        }
        std::sort(values.begin(), values.end());
        const size_t n = values.size();
        return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    };
    return {median(&Sample::wall), median(&Sample::cpu), median(&Sample::cupsdCpu)};
}

// The access log's line count once the scheduler has stopped writing to it (it logs a
// request after answering it).
size_t SettledAccessLogLines(const kvzn::test::PrivateCupsd& cupsd) {
    size_t lines = cupsd.LogLines("access_log").size();
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const size_t now = cupsd.LogLines("access_log").size();
        if (now == lines) {
            return lines;
        }
        lines = now;
    }
}

// One CUPS-Add-Modify-Printer per queue: device, accepting, idle.
void AddQueues(http_t* http, const std::vector<std::string>& queues) {
    for (const std::string& queue : queues) {
        ipp_t* request = ippNewRequest(IPP_OP_CUPS_ADD_MODIFY_PRINTER);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                     PrinterUri(queue).c_str());
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                     cupsUser());
        ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_URI, "device-uri", nullptr,
                     "file:///dev/null");
        ippAddBoolean(request, IPP_TAG_PRINTER, "printer-is-accepting-jobs", 1);
        ippAddInteger(request, IPP_TAG_PRINTER, IPP_TAG_ENUM, "printer-state", IPP_PSTATE_IDLE);
        if (Request(http, request, "/admin/") > IPP_STATUS_OK_EVENTS_COMPLETE) {
            Fail("CUPS-Add-Modify-Printer " + queue + ": " + cupsLastErrorString());
        }
    }
}

// Points the queue at another device.
void SetDevice(http_t* http, const std::string& queue, const std::string& uri) {
    ipp_t* request = ippNewRequest(IPP_OP_CUPS_ADD_MODIFY_PRINTER);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                 PrinterUri(queue).c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 cupsUser());
    ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_URI, "device-uri", nullptr, uri.c_str());
    if (Request(http, request, "/admin/") > IPP_STATUS_OK_EVENTS_COMPLETE) {
        Fail("CUPS-Add-Modify-Printer " + queue + ": " + cupsLastErrorString());
    }
}

// Held jobs, so that they stay queued: job i goes to queue i * queues / jobs.
void SubmitHeldJobs(http_t* http, const std::vector<std::string>& queues, int jobs,
                    const std::string& document) {
    for (int i = 0; i < jobs; ++i) {
        const std::string& queue =
            queues[static_cast<size_t>(i) * queues.size() / static_cast<size_t>(jobs)];
        ipp_t* request = ippNewRequest(IPP_OP_PRINT_JOB);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                     PrinterUri(queue).c_str());
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                     "bench");
        const std::string name = "Document " + std::to_string(i + 1);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, name.c_str());
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
                     "application/octet-stream");
        ippAddString(request, IPP_TAG_JOB, IPP_TAG_KEYWORD, "job-hold-until", nullptr,
                     "indefinite");
        ippDelete(
            cupsDoFileRequest(http, request, ("/printers/" + queue).c_str(), document.c_str()));
        if (cupsLastError() > IPP_STATUS_OK_EVENTS_COMPLETE) {
            Fail("Print-Job " + queue + ": " + cupsLastErrorString());
        }
    }
}

int KeepWaiting(http_t* /*http*/, void* /*data*/) {
    return 0;
}

// The least a cycle must ask: every printer, then every not-completed job, with the same
// attributes the monitor's spooler asks for. With `ioTimeout`, the connection carries an
// I/O time-out as the spooler's does (libcups then waits for data before every read).
void FloorRequests(const std::string& socket, double ioTimeout = 0) {
    HttpPtr http = Connect(socket);
    if (ioTimeout > 0) {
        httpSetTimeout(http.get(), ioTimeout, KeepWaiting, nullptr);
    }
    static const char* const kPrinterAttributes[] = {"printer-name",
                                                     "printer-state",
                                                     "printer-state-reasons",
                                                     "printer-state-message",
                                                     "printer-is-accepting-jobs",
                                                     "device-uri"};
    static const char* const kJobAttributes[] = {"job-id",
                                                 "job-printer-uri",
                                                 "job-name",
                                                 "job-originating-user-name",
                                                 "job-state",
                                                 "job-state-reasons",
                                                 "job-k-octets",
                                                 "job-impressions",
                                                 "job-impressions-completed",
                                                 "job-media-sheets-completed",
                                                 "job-priority"};
    ipp_t* printers = ippNewRequest(IPP_OP_CUPS_GET_PRINTERS);
    ippAddString(printers, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 cupsUser());
    ippAddStrings(printers, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                  std::size(kPrinterAttributes), nullptr, kPrinterAttributes);
    if (Request(http.get(), printers, "/") > IPP_STATUS_OK_EVENTS_COMPLETE) {
        Fail(std::string("CUPS-Get-Printers: ") + cupsLastErrorString());
    }
    ipp_t* jobs = ippNewRequest(IPP_OP_GET_JOBS);
    ippAddString(jobs, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, "ipp://localhost/");
    ippAddString(jobs, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 cupsUser());
    ippAddString(jobs, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, "not-completed");
    ippAddStrings(jobs, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                  std::size(kJobAttributes), nullptr, kJobAttributes);
    if (Request(http.get(), jobs, "/") > IPP_STATUS_OK_EVENTS_COMPLETE) {
        Fail(std::string("Get-Jobs: ") + cupsLastErrorString());
    }
}

// One `lpstat -p QUEUE` per queue, output discarded.
void LpstatPerQueue(const std::string& socket, const std::vector<std::string>& queues) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::string(*e).rfind("CUPS_SERVER=", 0) != 0) {
            env.emplace_back(*e);
        }
    }
    env.push_back("CUPS_SERVER=" + socket);
    std::vector<char*> envp;
    for (std::string& e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    for (const std::string& queue : queues) {
        const char* argv[] = {"lpstat", "-p", queue.c_str(), nullptr};
        pid_t pid = -1;
        if (posix_spawnp(&pid, "lpstat", &actions, nullptr, const_cast<char**>(argv),
                         envp.data()) != 0) {
            Fail("cannot run lpstat");
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            Fail("lpstat -p " + queue + " failed");
        }
    }
    posix_spawn_file_actions_destroy(&actions);
}

class QuietNotifier : public kvzn::platform::StatusNotifier {
  public:
    kvzn::platform::Status Notify(kvzn::platform::ServiceStatusState, uint32_t, uint32_t,
                                  uint32_t) override {
        return kvzn::platform::Status::Ok();
    }
};

// Every queue with all six checks enabled and limits it stays within.
void Configure(kvzn::companion::Registry& registry, const std::vector<std::string>& queues) {
    namespace config = kvzn::config;
    registry.WriteNumber(config::kProductKey, config::value::kPrinterInterval, 10);
    registry.WriteNumber(config::kProductKey, config::value::kPrintInterval, 0);
    // The built-in service checks present and off, so that only printers are checked.
    for (const kvzn::printmon::BuiltInService& entry : kvzn::printmon::kBuiltInServices) {
        registry.WriteFlag(config::SubKey(config::subkey::kPrint) + "\\" + std::string(entry.title),
                           config::check::kEnabled, 0);
    }
    struct CheckLimit {
        const char* title;
        uint32_t threshold;
    };
    constexpr CheckLimit kChecks[] = {
        {config::printer_check::kErrorConditions, 0}, {config::printer_check::kQueueLength, 10},
        {config::printer_check::kDocumentSize, 1024}, {config::printer_check::kPageCount, 1000},
        {config::printer_check::kPaused, 0},          {config::printer_check::kOffline, 0}};
    int n = 0;
    for (const std::string& queue : queues) {
        const std::string key =
            config::SubKey(config::subkey::kPrinters) + "\\" + config::Numbered("Printer%d", ++n);
        registry.WriteText(key, config::list::kPrinterIdentity, queue);
        for (const CheckLimit& check : kChecks) {
            const std::string sub = key + "\\" + check.title;
            registry.WriteFlag(sub, config::check::kEnabled, 1);
            registry.WriteNumber(sub, config::check::kAlertLevel, 4);
            registry.WriteNumber(sub, config::check::kThreshold, check.threshold);
            registry.WriteFlag(sub, "IncludePaused", 1);
        }
    }
}

size_t CountAlertRecords(const std::string& dataDirectory) {
    size_t count = 0;
    for (const auto& entry : fs::directory_iterator(dataDirectory)) {
        const std::string name = entry.path().filename().string();
        count += name.starts_with("PRT") && name.ends_with(".err") ? 1 : 0;
    }
    return count;
}

void Report(const char* what, const Sample& s) {
    std::printf("%-44s %9.1f ms wall %9.1f ms CPU %9.1f ms cupsd CPU\n", what, s.wall * 1e3,
                s.cpu * 1e3, s.cupsdCpu * 1e3);
}

}  // namespace

int main(int argc, char** argv) {
    const int queueCount = argc > 1 ? std::atoi(argv[1]) : 500;
    const int jobCount = argc > 2 ? std::atoi(argv[2]) : 100;
    const int repetitions = std::max(1, argc > 3 ? std::atoi(argv[3]) : 7);
    const int lpstatRepetitions = argc > 4 ? std::atoi(argv[4]) : 3;
    if (queueCount < 1 || jobCount < 0) {
        std::fprintf(stderr,
                     "usage: print_cycle_bench [queues] [jobs] [repetitions] "
                     "[lpstat-repetitions]\n");
        return 2;
    }
    if (::geteuid() != 0 || !fs::exists("/usr/sbin/cupsd")) {
        std::fprintf(stderr,
                     "print_cycle_bench: needs root and /usr/sbin/cupsd (the private "
                     "scheduler runs only root-owned filters and backends)\n");
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    const std::string dir =
        (fs::temp_directory_path() / ("kvzn-cycle-bench-" + std::to_string(::getpid()))).string();
    fs::create_directories(dir + "/data");
    kvzn::companion::ActivityLog::Process().SetFile(dir + "/bench.log");
    int exitCode = 0;
    try {
        kvzn::test::PrivateCupsd cupsd;
        const auto setupStart = SteadyClock::now();
        if (!cupsd.Start()) {
            Fail("the scheduler did not start; see " + cupsd.dir() + "/log/error_log");
        }
        const double started = Seconds(SteadyClock::now() - setupStart);

        std::vector<std::string> queues;
        for (int i = 0; i < queueCount; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "Q%03d", i);
            queues.emplace_back(name);
        }
        HttpPtr admin = Connect(cupsd.socket());
        const auto addStart = SteadyClock::now();
        AddQueues(admin.get(), queues);
        const double added = Seconds(SteadyClock::now() - addStart);
        kvzn::test::WriteFile(dir + "/document.txt", std::string(2000, 'x'));
        const auto jobStart = SteadyClock::now();
        SubmitHeldJobs(admin.get(), queues, jobCount, dir + "/document.txt");
        const double submitted = Seconds(SteadyClock::now() - jobStart);
        admin.reset();

        kvzn::companion::Registry registry(kvzn::platform::MakeMemoryStore());
        Configure(registry, queues);
        QuietNotifier notifier;
        kvzn::service::StatusReporter status(notifier);
        kvzn::service::ServiceContext ctx(registry, kvzn::platform::SystemClock(), status);
        ctx.home = dir;
        ctx.dataDirectory = dir + "/data";
        ctx.htmlTargetDirectory = dir + "/html";
        ctx.computerName = "PRINTSRV";
        // Alerts are recorded as the service records them (and counted below); nothing
        // delivers them, and a full ring gives up its oldest at once.
        kvzn::alerting::AttachAlertRun(ctx, {}, {.waitForFreeSlot = std::chrono::milliseconds(0)});
        kvzn::printmon::PrintServerMonitor monitor(
            [socket = cupsd.socket()] { return kvzn::platform::MakeSpooler({.server = socket}); });
        const int enabled = monitor.ReadConfiguration(ctx);

        std::printf("queues %d, held jobs %d, repetitions %d (lpstat %d); scheduler %s\n",
                    queueCount, jobCount, repetitions, lpstatRepetitions, cupsd.socket().c_str());
        std::printf(
            "set-up: scheduler start %.0f ms, %d queues %.0f ms (%.2f ms each), "
            "%d jobs %.0f ms\n",
            started * 1e3, queueCount, added * 1e3, added * 1e3 / queueCount, jobCount,
            submitted * 1e3);
        std::printf("monitored printers: %zu (enabled checks counted: %d)\n",
                    monitor.Printers().size(), enabled);

        auto cycle = [&] { monitor.RunPrinterChecks(ctx, ctx.clock.TickCount()); };
        const size_t logBefore = SettledAccessLogLines(cupsd);
        const Sample cold = Measure(cupsd.pid(), cycle);
        const size_t requests = SettledAccessLogLines(cupsd) - logBefore;

        // The spooler layer alone: the same two requests through the monitor's spooler,
        // with the snapshot built, and nothing checked.
        const kvzn::platform::SpoolerOptions spoolerOptions{.server = cupsd.socket()};
        const std::unique_ptr<kvzn::platform::Spooler> spooler =
            kvzn::platform::MakeSpooler(spoolerOptions);
        auto snapshot = [&] {
            if (!spooler->Snapshot().ok()) {
                Fail("the spooler could not read the scheduler");
            }
        };
        snapshot();

        std::vector<Sample> cycles;
        std::vector<Sample> floors;
        std::vector<Sample> timedFloors;
        std::vector<Sample> snapshots;
        std::vector<Sample> lpstats;
        for (int i = 0; i < repetitions; ++i) {
            floors.push_back(Measure(cupsd.pid(), [&] { FloorRequests(cupsd.socket()); }));
            timedFloors.push_back(Measure(cupsd.pid(), [&] {
                FloorRequests(cupsd.socket(),
                              std::chrono::duration<double>(spoolerOptions.ioTimeout).count());
            }));
            snapshots.push_back(Measure(cupsd.pid(), snapshot));
            cycles.push_back(Measure(cupsd.pid(), cycle));
        }
        for (int i = 0; i < lpstatRepetitions; ++i) {
            lpstats.push_back(
                Measure(cupsd.pid(), [&] { LpstatPerQueue(cupsd.socket(), queues); }));
        }

        const size_t alerts = CountAlertRecords(ctx.dataDirectory);
        std::printf("IPP requests in the first cycle: %zu; alert records written: %zu\n", requests,
                    alerts);
        std::printf("\nmedians of %d repetitions:\n", repetitions);
        Report("first cycle (not in the median)", cold);
        const Sample floor = Median(floors);
        const Sample monitorCycle = Median(cycles);
        const Sample timedFloor = Median(timedFloors);
        Report("floor: CUPS-Get-Printers + Get-Jobs", floor);
        Report("the same with the spooler's I/O time-out", timedFloor);
        Report("spooler Snapshot() (same two requests)", Median(snapshots));
        Report("printer-check cycle (RunPrinterChecks)", monitorCycle);
        if (!lpstats.empty()) {
            Report("lpstat -p per queue", Median(lpstats));
        }
        std::printf("\ncycle / floor: %.2f wall (target <= 1.5), %.2f CPU incl. cupsd\n",
                    monitorCycle.wall / floor.wall,
                    (monitorCycle.cpu + monitorCycle.cupsdCpu) / (floor.cpu + floor.cupsdCpu));
        std::printf(
            "cycle / floor with the I/O time-out: %.2f wall, %.2f CPU incl. cupsd\n",
            monitorCycle.wall / timedFloor.wall,
            (monitorCycle.cpu + monitorCycle.cupsdCpu) / (timedFloor.cpu + timedFloor.cupsdCpu));
        if (alerts != 0) {
            std::printf("WARNING: the checks raised alerts; the queues were meant to pass\n");
            exitCode = 1;
        }

        // The device probe: the queues with jobs now print to devices that never answer
        // (up to 100 of them). A cycle with the probe may take at most its time-out more
        // than a cycle without.
        kvzn::test::Tarpit tarpit;
        if (!tarpit.ok()) {
            Fail("no loopback port for the unreachable devices");
        }
        admin = Connect(cupsd.socket());
        int unreachable = 0;
        for (int i = 0; i < jobCount && unreachable < 100; ++i) {
            const std::string& queue =
                queues[static_cast<size_t>(i) * queues.size() / static_cast<size_t>(jobCount)];
            SetDevice(admin.get(), queue, "socket://127.0.0.1:" + std::to_string(tarpit.port()));
            ++unreachable;
        }
        admin.reset();
        // The off-line alerts of those queues are recorded in the first cycle with the probe
        // only (a non-notification period of an hour), so that the medians compare the
        // cycles themselves, not the recording of alerts.
        for (int n = 1; n <= queueCount; ++n) {
            const std::string key = kvzn::config::SubKey(kvzn::config::subkey::kPrinters) + "\\" +
                                    kvzn::config::Numbered("Printer%d", n);
            registry.WriteNumber(key + "\\" + kvzn::config::printer_check::kOffline,
                                 kvzn::config::check::kNonNotificationPeriod, 60);
        }
        constexpr uint32_t kProbeSeconds = 1;
        std::vector<Sample> withoutProbe;
        std::vector<Sample> withProbe;
        // Two monitors over the same queues, one without and one with the probe, each
        // configured once so that its checks keep their state from cycle to cycle.
        auto configuredMonitor = [&](uint32_t probeSeconds) {
            registry.WriteNumber(kvzn::config::kProductKey,
                                 kvzn::config::value::kDeviceProbeTimeout, probeSeconds);
            auto m =
                std::make_unique<kvzn::printmon::PrintServerMonitor>([socket = cupsd.socket()] {
                    return kvzn::platform::MakeSpooler({.server = socket});
                });
            m->ReadConfiguration(ctx);
            return m;
        };
        auto unprobed = configuredMonitor(0);
        auto probing = configuredMonitor(kProbeSeconds);
        auto cycleOf = [&](kvzn::printmon::PrintServerMonitor& m) {
            return [&] { m.RunPrinterChecks(ctx, ctx.clock.TickCount()); };
        };
        const Sample firstProbed = Measure(cupsd.pid(), cycleOf(*probing));
        const size_t offlineAlerts = CountAlertRecords(ctx.dataDirectory) - alerts;
        for (int i = 0; i < repetitions; ++i) {
            withoutProbe.push_back(Measure(cupsd.pid(), cycleOf(*unprobed)));
            withProbe.push_back(Measure(cupsd.pid(), cycleOf(*probing)));
        }
        const Sample plain = Median(withoutProbe);
        const Sample probed = Median(withProbe);
        std::printf(
            "\n%d of %d queues with jobs on devices that never answer (probe time-out %u s):\n",
            unreachable, queueCount, kProbeSeconds);
        Report("first cycle with the probe (alerts recorded)", firstProbed);
        std::printf("alert record files after it: %zu (the off-line alerts; the ring keeps 50)\n",
                    offlineAlerts);
        Report("cycle without the device probe", plain);
        Report("cycle with the device probe", probed);
        std::printf("the probe added %.0f ms to the cycle (bound: the time-out, %u ms)\n",
                    (probed.wall - plain.wall) * 1e3, kProbeSeconds * 1000);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "print_cycle_bench: %s\n", e.what());
        exitCode = 1;
    }
    fs::remove_all(dir);
    return exitCode;
}
