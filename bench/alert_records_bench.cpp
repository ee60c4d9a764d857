// Alerts recorded per second against the same number of plain "write a small file, fsync,
// rename" operations on the same disk, in the same run.
//   alert_records_bench [count] [directory]
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "alerting/dispatcher.h"
#include "companion/activity_log.h"
#include "companion/registry.h"
#include "config/registry_names.h"
#include "platform/clock.h"
#include "platform/service_status.h"

namespace {

using Clock = std::chrono::steady_clock;

class QuietNotifier : public kvzn::platform::StatusNotifier {
  public:
    kvzn::platform::Status Notify(kvzn::platform::ServiceStatusState, uint32_t, uint32_t,
                                  uint32_t) override {
        return kvzn::platform::Status::Ok();
    }
};

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// The floor: what one durable small-file replacement costs on this disk.
double PlainWrites(const std::string& dir, int count) {
    const std::string text(600, 'x');
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        const std::string path = dir + "/plain" + std::to_string(i % 50) + ".err";
        const std::string tmp = path + ".tmp";
        const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
            ::fsync(fd) != 0) {
            std::perror("plain write");
            std::exit(1);
        }
        ::close(fd);
        ::rename(tmp.c_str(), path.c_str());
    }
    return Seconds(Clock::now() - start);
}

struct AlertTimes {
    double recording = 0;  // inside NotifyError: what a monitor raising alerts waits
    double total = 0;      // with the dispatcher taking the records off the queue
};

AlertTimes RecordAlerts(const std::string& dir, int count) {
    kvzn::companion::Registry registry(kvzn::platform::OpenFileStore(dir + "/registry.reg"));
    QuietNotifier notifier;
    kvzn::service::StatusReporter status(notifier);
    kvzn::service::ServiceContext ctx(registry, kvzn::platform::SystemClock(), status);
    ctx.dataDirectory = dir + "/data";
    ctx.computerName = "PRINTSRV";
    std::filesystem::create_directories(ctx.dataDirectory);
    kvzn::alerting::AlertStore& store = kvzn::alerting::AttachAlertRun(ctx, {}).store;
    Clock::duration recording{};
    const auto begin = Clock::now();
    for (int i = 0; i < count; ++i) {
        std::string message =
            "A paper jam has occurred. Printing has stopped (" + std::to_string(i) + ")";
        const auto start = Clock::now();
        kvzn::alerting::NotifyError(ctx, kvzn::alerting::kCategoryPrintServer, 4, 0,
                                    "Printer Error", "HP4050", message, "HP4050");
        recording += Clock::now() - start;
        if (i % 10 == 9) {  // a dispatcher keeps the queue short, as in service
            for (int k = 0; k < 10; ++k) {
                if (const auto head = store.TakeNextQueued()) {
                    store.EndDelivery(*head);
                }
            }
        }
    }
    return {Seconds(recording), Seconds(Clock::now() - begin)};
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
    std::string dir = argc > 2 ? argv[2] : std::filesystem::temp_directory_path().string();
    dir += "/kvzn-bench-" + std::to_string(::getpid());
    std::filesystem::create_directories(dir);
    kvzn::companion::ActivityLog::Process().SetFile(dir + "/bench.log");

    const double plain = PlainWrites(dir, count);
    const AlertTimes alerts = RecordAlerts(dir, count);
    std::printf("operations:                          %d (directory %s)\n", count, dir.c_str());
    std::printf("plain write+fsync+rename:            %8.3f s  %9.1f per second\n", plain,
                count / plain);
    std::printf("alerts recorded (NotifyError):       %8.3f s  %9.1f per second\n",
                alerts.recording, count / alerts.recording);
    std::printf("  with the dispatcher's queue takes: %8.3f s  %9.1f per second\n", alerts.total,
                count / alerts.total);
    std::printf("cost of one alert in plain writes:   %8.2f (%.2f with the queue takes)\n",
                alerts.recording / plain, alerts.total / plain);
    std::filesystem::remove_all(dir);
    return 0;
}
