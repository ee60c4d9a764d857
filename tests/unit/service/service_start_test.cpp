// The service entry point: a service whose stop control cannot be set up does not run.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "service/service_entry.h"
#include "support/service_fixture.h"

namespace kvzn::service {
namespace {

using namespace std::chrono_literals;

// While it lives, every descriptor the process may open is taken: the next open, socket,
// signalfd or eventfd fails with EMFILE.
class DescriptorsExhausted {
  public:
    DescriptorsExhausted() {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        int highest = 2;
        if (DIR* dir = ::opendir("/proc/self/fd")) {
            while (dirent* entry = ::readdir(dir)) {
                highest = std::max(highest, std::atoi(entry->d_name));
            }
            ::closedir(dir);
        }
        rlimit tight = saved_;
        tight.rlim_cur = static_cast<rlim_t>(highest) + 1;
        ::setrlimit(RLIMIT_NOFILE, &tight);
        for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) {
            fillers_.push_back(fd);
        }
    }
    ~DescriptorsExhausted() {
        for (int fd : fillers_) {
            ::close(fd);
        }
        ::setrlimit(RLIMIT_NOFILE, &saved_);
    }

  private:
    rlimit saved_{};
    std::vector<int> fillers_;
};

TEST(ServiceStartTest, WithoutAStopControlTheServiceDoesNotRun) {
#ifdef KVZN_TEST_SANITIZED
    // The sanitizer runtimes need descriptors of their own to check memory: with none left
    // they report false errors. The plain build runs this test.
    GTEST_SKIP() << "descriptor exhaustion disturbs the sanitizer runtime";
#endif
    test::ServiceFixture fixture;
    test::LogCapture log;
    bool started = false;
    ComponentTable table;
    table.performance = {
        "PerformanceCounter", 3, 4, "perf", nullptr, [&](ServiceContext&) { started = true; }};
    ServiceHost host(fixture.registry, fixture.clock, fixture.status, std::move(table));
    // UBSan checks the dynamic type of an object at its first use through a pipe, which takes
    // descriptors: the log sink is used once before they run out, and the thread that runs the
    // service neither starts nor ends while they are out.
    companion::Logger("kvZNTest", "ServiceStart")(1, "before the descriptors run out");
    platform::Event running;
    platform::Event go;
    platform::Event release;
    std::atomic<bool> returned{false};
    std::thread service([&] {
        running.Set();
        go.Wait();
        ServiceStart(0, nullptr, host);
        returned = true;
        release.Wait();
    });
    running.Wait();
    bool endedAlone = false;
    {
        DescriptorsExhausted exhausted;
        go.Set();
        endedAlone = test::WaitUntil([&] { return returned.load(); }, 5s);
    }
    if (!endedAlone) {
        host.ServiceStop();  // it ran without a stop control
    }
    release.Set();
    service.join();
    EXPECT_TRUE(endedAlone);
    EXPECT_TRUE(log.Contains("Call to RegisterServiceCtrlHandler failed. Error: 24", "kvZNSvc"));
    EXPECT_FALSE(log.Contains("is starting"));
    EXPECT_FALSE(started);
    EXPECT_TRUE(host.StartedSlots().empty());
}

}  // namespace
}  // namespace kvzn::service
