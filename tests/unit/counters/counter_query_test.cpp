// The counter provider table over a proc/sys fixture, the print queue counters over a fake
// spooler, and one pass over this machine's own /proc.
#include "counters/counter_query.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <thread>

#include "platform/fake/fake_clock.h"
#include "platform/fake/fake_spooler.h"
#include "support/shared_spooler.h"
#include "support/test_support.h"

namespace kvzn::counters {
namespace {

CounterPath Path(const char* text) {
    const std::optional<CounterPath> path = ParseCounterPath(text);
    EXPECT_TRUE(path) << text;
    return path.value_or(CounterPath{});
}

TEST(CounterPathTest, ReadsEveryForm) {
    struct Case {
        const char* text;
        const char* object;
        const char* instance;
        const char* parent;
        const char* counter;
    };
    const Case cases[] = {
        {"\\Memory\\Available Bytes", "Memory", "", "", "Available Bytes"},
        {"\\Processor(_Total)\\% Processor Time", "Processor", "_Total", "", "% Processor Time"},
        {"\\Thread(Idle/0#1)\\% Processor Time", "Thread", "0", "Idle", "% Processor Time"},
        {"\\Print Queue(Office (2nd floor))\\Jobs", "Print Queue", "Office (2nd floor)", "",
         "Jobs"},
    };
    for (const Case& c : cases) {
        const std::optional<CounterPath> path = ParseCounterPath(c.text);
        ASSERT_TRUE(path) << c.text;
        EXPECT_EQ(path->object, c.object) << c.text;
        EXPECT_EQ(path->instance, c.instance) << c.text;
        EXPECT_EQ(path->parent, c.parent) << c.text;
        EXPECT_EQ(path->counter, c.counter) << c.text;
        if (std::string(c.text).find('#') == std::string::npos) {
            EXPECT_EQ(FormatCounterPath(*path), c.text);
        }
    }
    for (const char* bad : {"", "Memory\\Available Bytes", "\\Memory", "\\Memory\\", "\\\\x",
                            "\\Processor(_Total\\% Processor Time"}) {
        EXPECT_FALSE(ParseCounterPath(bad)) << bad;
    }
}

// A proc and sys tree in a temporary directory.
class CounterFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(dir / "proc");
        std::filesystem::create_directories(dir / "sys/block/sda");
        std::filesystem::create_directories(dir / "sys/block/nvme0n1");
        std::filesystem::create_directories(dir / "sys/block/loop0");
        for (const char* pid : {"1", "42", "4711", "self", "sys"}) {
            std::filesystem::create_directories(dir / ("proc/" + std::string(pid)));
        }
        Stat(100, 0, 50, 850, 0, 0);
        Meminfo(6000000, 0, 0);
        Disks(2, 1, 7, 1000, 2000);
    }
    // The "cpu" line, and "cpu0" with the same times and "cpu1" idle.
    void Stat(uint64_t user, uint64_t nice, uint64_t system, uint64_t idle, uint64_t irq,
              uint64_t ctxt) {
        const auto line = [&](const char* name, uint64_t u, uint64_t s, uint64_t i) {
            return std::string(name) + " " + std::to_string(u) + " " + std::to_string(nice) + " " +
                   std::to_string(s) + " " + std::to_string(i) + " 0 " + std::to_string(irq) +
                   " 0 0 0 0\n";
        };
        test::WriteFile(dir / "proc/stat",
                        line("cpu", user, system, idle + 1000) + line("cpu0", user, system, idle) +
                            line("cpu1", 0, 0, 1000) + "intr 5000 1 2 3\nctxt " +
                            std::to_string(ctxt) + "\nprocesses 900\nprocs_running 3\n");
    }
    void Meminfo(uint64_t availableKb, uint64_t swapTotalKb, uint64_t swapFreeKb) {
        test::WriteFile(
            dir / "proc/meminfo",
            "MemTotal:       16000000 kB\nMemFree:         1000000 kB\nMemAvailable:   " +
                std::to_string(availableKb) +
                " kB\nCached:          2000000 kB\n"
                "SwapTotal:      " +
                std::to_string(swapTotalKb) + " kB\nSwapFree:       " + std::to_string(swapFreeKb) +
                " kB\nCommitLimit:    8000000 kB\nCommitted_AS:   2000000 kB\n");
    }
    void Disks(uint64_t sdaQueue, uint64_t nvmeQueue, uint64_t loopQueue, uint64_t sdaReads,
               uint64_t sdaSectorsRead) {
        const auto line = [](const char* name, uint64_t reads, uint64_t sectors, uint64_t queue) {
            return "   8       0 " + std::string(name) + " " + std::to_string(reads) + " 0 " +
                   std::to_string(sectors) + " 0 10 0 80 0 " + std::to_string(queue) +
                   " 500 0 0 0 0 0 0 0\n";
        };
        test::WriteFile(dir / "proc/diskstats",
                        line("sda", sdaReads, sdaSectorsRead, sdaQueue) + line("sda1", 5, 5, 40) +
                            line("nvme0n1", 0, 0, nvmeQueue) + line("loop0", 0, 0, loopQueue));
    }
    // Adds the counter or fails the test; returns its handle.
    uint32_t Add(CounterQuery& q, const char* path) {
        uint32_t handle = 0;
        std::string why;
        EXPECT_EQ(q.AddCounter(Path(path), handle, &why), 1) << path << ": " << why;
        return handle;
    }
    std::optional<int64_t> Read(const CounterQuery& q, uint32_t handle) {
        int64_t value = 0;
        return q.ReadValue(handle, value) == 1 ? std::optional<int64_t>(value) : std::nullopt;
    }

    test::TempDir dir;
    platform::FakeClock clock;
};

TEST_F(CounterFixture, LooksUpWithoutRegardToCaseAndRefusesWhatHasNoMeaningHere) {
    CounterQuery q(clock, dir.path());
    ASSERT_EQ(q.Open(), 1);
    uint32_t handle = 0;
    EXPECT_EQ(q.AddCounter(Path("\\MEMORY\\available bytes"), handle), 1);
    EXPECT_NE(handle, 0u);
    std::string why;
    for (const char* path :
         {"\\System\\% Registry Quota In Use", "\\Server\\Errors Logon", "\\Server\\Errors System",
          "\\Server\\Errors Access Permissions", "\\Memory\\Pool Paged Bytes",
          "\\Memory(_Total)\\Available Bytes", "\\Processor(cpu0)\\% Processor Time",
          "\\Processor(Idle/0)\\% Processor Time", "\\Paging File(/swapfile)\\% Usage"}) {
        why.clear();
        EXPECT_EQ(q.AddCounter(Path(path), handle, &why), 0) << path;
        EXPECT_FALSE(why.empty()) << path;
    }
    // A fixture without proc/stat cannot be opened at all.
    test::TempDir empty;
    CounterQuery none(clock, empty.path());
    EXPECT_EQ(none.Open(&why), 0);
    EXPECT_NE(why.find("proc/stat"), std::string::npos) << why;
}

TEST_F(CounterFixture, ProcessorTimeIsARateBetweenTwoCollections) {
    CounterQuery q(clock, dir.path());
    const uint32_t total = Add(q, "\\Processor(_Total)\\% Processor Time");
    const uint32_t cpu0 = Add(q, "\\Processor(0)\\% Processor Time");
    const uint32_t cpu1 = Add(q, "\\processor(1)\\% idle time");
    const uint32_t cpu7 = Add(q, "\\Processor(7)\\% Processor Time");
    const uint32_t user = Add(q, "\\Processor(0)\\% User Time");
    const uint32_t ctxt = Add(q, "\\System\\Context Switches/sec");
    ASSERT_EQ(q.Collect(), 1);
    EXPECT_FALSE(Read(q, cpu0)) << "a rate has no value after one collection";
    EXPECT_FALSE(Read(q, ctxt));

    // cpu0: +60 user, +20 system, +20 idle = 80 % busy; cpu1 does not move.
    Stat(160, 0, 70, 870, 0, 5000);
    clock.AdvanceMs(2000);
    ASSERT_EQ(q.Collect(), 1);
    EXPECT_EQ(Read(q, cpu0), 80);
    EXPECT_EQ(Read(q, user), 60);
    EXPECT_EQ(Read(q, total), 80) << "cpu1 adds no time in the fixture's sum line";
    EXPECT_EQ(Read(q, cpu1), 0) << "no time passed on cpu1";
    EXPECT_FALSE(Read(q, cpu7)) << "no such processor";
    EXPECT_NE(q.ReadFailure(cpu7).find("7"), std::string::npos);
    EXPECT_EQ(Read(q, ctxt), 2500);

    // A counter reset (a fresh fixture) gives no value rather than a made-up one.
    Stat(1, 0, 1, 1, 0, 0);
    clock.AdvanceMs(1000);
    ASSERT_EQ(q.Collect(), 1);
    EXPECT_FALSE(Read(q, cpu0));
    EXPECT_FALSE(Read(q, ctxt));
}

TEST_F(CounterFixture, MemorySwapProcessesAndDisks) {
    CounterQuery q(clock, dir.path());
    const uint32_t available = Add(q, "\\Memory\\Available Bytes");
    const uint32_t mbytes = Add(q, "\\Memory\\Available MBytes");
    const uint32_t committed = Add(q, "\\Memory\\% Committed Bytes In Use");
    const uint32_t swap = Add(q, "\\Paging File(_Total)\\% Usage");
    const uint32_t objects = Add(q, "\\Objects\\Processes");
    const uint32_t queueTotal = Add(q, "\\PhysicalDisk(_Total)\\Current Disk Queue Length");
    const uint32_t queueSda = Add(q, "\\PhysicalDisk(SDA)\\Current Disk Queue Length");
    const uint32_t partition = Add(q, "\\PhysicalDisk(sda1)\\Current Disk Queue Length");
    const uint32_t readBytes = Add(q, "\\PhysicalDisk(sda)\\Disk Read Bytes/sec");
    const uint32_t runQueue = Add(q, "\\System\\Processor Queue Length");
    ASSERT_EQ(q.Collect(), 1);
    EXPECT_EQ(Read(q, available), int64_t{6000000} * 1024) << "beyond 32 bits, kept whole";
    EXPECT_EQ(Read(q, mbytes), 5859);
    EXPECT_EQ(Read(q, committed), 25);
    EXPECT_FALSE(Read(q, swap)) << "no swap: no paging file instance";
    EXPECT_EQ(Read(q, objects), 3) << "only the numeric entries of proc/ are processes";
    EXPECT_EQ(Read(q, queueTotal), 3) << "whole disks only, loop devices left out";
    EXPECT_EQ(Read(q, queueSda), 2);
    EXPECT_FALSE(Read(q, partition)) << "a partition is no physical disk";
    EXPECT_EQ(Read(q, runQueue), 3);

    Meminfo(100, 4000, 1000);
    Disks(0, 0, 0, 1100, 6000);  // 4000 sectors in 2 s
    std::filesystem::remove(dir / "proc/4711");
    clock.AdvanceMs(2000);
    ASSERT_EQ(q.Collect(), 1);
    EXPECT_EQ(Read(q, swap), 75);
    EXPECT_EQ(Read(q, objects), 2);
    EXPECT_EQ(Read(q, readBytes), 4000 / 2 * 512);
    EXPECT_EQ(Read(q, queueTotal), 0);

    // The disk is unplugged: its counters fail, the others go on.
    std::filesystem::remove(dir / "sys/block/sda");
    clock.AdvanceMs(1000);
    ASSERT_EQ(q.Collect(), 1);
    EXPECT_FALSE(Read(q, queueSda));
    EXPECT_EQ(Read(q, queueTotal), 0);
    EXPECT_EQ(Read(q, available), 100 * 1024);

    // Unreadable sources fail their counters only; Collect fails when every source does.
    std::filesystem::remove(dir / "proc/meminfo");
    ASSERT_EQ(q.Collect(), 1);
    EXPECT_FALSE(Read(q, available));
    EXPECT_NE(q.ReadFailure(available).find("meminfo"), std::string::npos);
    EXPECT_EQ(Read(q, objects), 2);
    std::filesystem::remove_all(dir / "proc");
    EXPECT_EQ(q.Collect(), 0);
}

TEST_F(CounterFixture, PrintQueueErrorsAreCountedOnTransitions) {
    auto fake = std::make_shared<platform::FakeSpooler>();
    CounterQuery q(clock, dir.path(),
                   [fake] { return std::make_unique<test::SharedSpooler>(fake); });
    platform::PrinterInfo office;
    office.name = "Office";
    office.status = platform::kPrinterOffline;  // already off-line at the first look
    fake->SetPrinter(office);
    platform::PrinterInfo lab;
    lab.name = "Lab";
    fake->SetPrinter(lab);
    platform::JobInfo job;
    job.printer = "Office";
    const int first = fake->AddJob(job);
    job.status = platform::kJobError;
    fake->AddJob(job);

    const uint32_t jobsTotal = Add(q, "\\Print Queue(_Total)\\Jobs");
    const uint32_t jobsOffice = Add(q, "\\Print Queue(office)\\Jobs");
    const uint32_t jobErrors = Add(q, "\\Print Queue(_Total)\\Job Errors");
    const uint32_t notReady = Add(q, "\\Print Queue(Office)\\Not Ready Errors");
    const uint32_t paperLab = Add(q, "\\Print Queue(Lab)\\Out of Paper Errors");
    const uint32_t paperTotal = Add(q, "\\Print Queue(_Total)\\Out of Paper Errors");
    const uint32_t memory = Add(q, "\\Memory\\Available Bytes");
    ASSERT_EQ(q.Collect(), 1);
    EXPECT_EQ(Read(q, jobsTotal), 2);
    EXPECT_EQ(Read(q, jobsOffice), 2);
    EXPECT_EQ(Read(q, jobErrors), 0) << "what is already wrong at the first look is not counted";
    EXPECT_EQ(Read(q, notReady), 0);

    // The first job fails, the printer comes back on-line and Lab runs out of paper.
    job.id = first;
    fake->SetJob(job);
    office.status = 0;
    fake->SetPrinter(office);
    lab.status = platform::kPrinterPaperOut;
    fake->SetPrinter(lab);
    ASSERT_EQ(q.Collect(), 1);
    EXPECT_EQ(Read(q, jobErrors), 1);
    EXPECT_EQ(Read(q, paperLab), 1);
    EXPECT_EQ(Read(q, notReady), 0);
    // The same states again count nothing; going off-line again counts once.
    office.status = platform::kPrinterNotAvailable;
    fake->SetPrinter(office);
    ASSERT_EQ(q.Collect(), 1);
    ASSERT_EQ(q.Collect(), 1);
    EXPECT_EQ(Read(q, jobErrors), 1);
    EXPECT_EQ(Read(q, paperLab), 1);
    EXPECT_EQ(Read(q, notReady), 1);

    // Lab is deleted: its counters vanish, the totals keep what it counted.
    fake->RemovePrinter("Lab");
    ASSERT_EQ(q.Collect(), 1);
    EXPECT_FALSE(Read(q, paperLab));
    EXPECT_EQ(Read(q, paperTotal), 1);

    // A spooler that cannot be reached fails the print queue counters alone.
    fake->SetFailure("Snapshot", platform::Status::Error(ECONNREFUSED, "no scheduler"));
    ASSERT_EQ(q.Collect(), 1);
    EXPECT_FALSE(Read(q, jobsTotal));
    EXPECT_NE(q.ReadFailure(jobsTotal).find("no scheduler"), std::string::npos);
    EXPECT_TRUE(Read(q, memory));
}

TEST(CounterLiveTest, ThisMachinesCountersHavePlausibleValues) {
    platform::FakeClock clock;
    CounterQuery q(clock);
    ASSERT_EQ(q.Open(), 1);
    uint32_t cpu = 0;
    uint32_t memory = 0;
    uint32_t processes = 0;
    ASSERT_EQ(q.AddCounter(Path("\\Processor(_Total)\\% Processor Time"), cpu), 1);
    ASSERT_EQ(q.AddCounter(Path("\\Memory\\Available Bytes"), memory), 1);
    ASSERT_EQ(q.AddCounter(Path("\\Objects\\Processes"), processes), 1);
    ASSERT_EQ(q.Collect(), 1);
    clock.AdvanceMs(100);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(q.Collect(), 1);
    int64_t value = -1;
    ASSERT_EQ(q.ReadValue(cpu, value), 1) << q.ReadFailure(cpu);
    EXPECT_GE(value, 0);
    EXPECT_LE(value, 100);
    ASSERT_EQ(q.ReadValue(memory, value), 1);
    EXPECT_GT(value, 1 << 20);
    ASSERT_EQ(q.ReadValue(processes, value), 1);
    EXPECT_GE(value, 1) << "this test's own process at least";
}

TEST(CounterTableTest, EveryEntryIsDocumented) {
    // The README lists the table; each line of it names its object and counter.
    const std::string readme = test::ReadFile(std::string(KVZN_SOURCE_DIR) + "/README.md");
    for (const CounterDescription& d : DescribeCounters()) {
        const std::string line =
            "| " + std::string(d.object) + " | " + std::string(d.counter) + " |";
        EXPECT_NE(readme.find(line), std::string::npos) << line;
    }
}

}  // namespace
}  // namespace kvzn::counters
