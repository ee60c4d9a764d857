// Tests of the CUPS spooler against a private cupsd in a temporary directory, and against
// schedulers that are absent or hung.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "integration/platform/private_cupsd.h"
#include "platform/spooler.h"
#include "support/test_support.h"

namespace kvzn::platform {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

class CupsSpoolerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists(test::PrivateCupsd::kProgram) || ::geteuid() != 0) {
            GTEST_SKIP() << "needs cupsd and root (backends must be owned by root)";
        }
        ASSERT_TRUE(cupsd_.Start()) << test::ReadFile(cupsd_.dir() + "/log/error_log");
        spooler_ = MakeSpooler({.server = cupsd_.socket()});
        test::WriteFile(document_, std::string(3000, 'x'));
    }

    void Run(const std::vector<std::string>& argv) {
        const auto [status, output] = cupsd_.Client(argv);
        ASSERT_EQ(status, 0) << argv[0] << ": " << output;
    }
    void AddQueue(const std::string& name, const std::string& uri) {
        Run({"lpadmin", "-p", name, "-v", uri, "-E"});
    }
    // Submits the 3000-byte document with lp; the job id.
    int Submit(const std::string& printer, const std::string& user, const std::string& title,
               bool hold = false) {
        std::string output;
        const int id = cupsd_.Submit(printer, user, title, document_, hold, output);
        EXPECT_NE(id, 0) << output;
        return id;
    }
    SpoolerSnapshot Snap() {
        auto snapshot = spooler_->Snapshot();
        EXPECT_TRUE(snapshot.ok()) << snapshot.status().Text();
        return snapshot.ok() ? *snapshot : SpoolerSnapshot{};
    }
    PrinterQueue Queue(const std::string& name) {
        const SpoolerSnapshot snapshot = Snap();
        const PrinterQueue* queue = snapshot.Find(name);
        EXPECT_NE(queue, nullptr) << name;
        return queue ? *queue : PrinterQueue{};
    }
    std::vector<int> JobIds(const std::string& printer) {
        std::vector<int> ids;
        for (const JobInfo& job : Queue(printer).jobs) {
            ids.push_back(job.id);
        }
        return ids;
    }
    size_t SettledLines(const std::string& log) {
        size_t lines = cupsd_.LogLines(log).size();
        for (;;) {
            std::this_thread::sleep_for(150ms);
            const size_t now = cupsd_.LogLines(log).size();
            if (now == lines) {
                return lines;
            }
            lines = now;
        }
    }
    std::optional<JobInfo> Job(const std::string& printer, int id) {
        for (const JobInfo& job : Queue(printer).jobs) {
            if (job.id == id) {
                return job;
            }
        }
        return std::nullopt;
    }

    test::PrivateCupsd cupsd_;
    std::unique_ptr<Spooler> spooler_;
    std::string document_ = cupsd_.dir() + "/document.txt";
};

TEST_F(CupsSpoolerTest, SnapshotReadsAllPrintersAndJobsInTwoRequests) {
    auto empty = spooler_->Snapshot();  // the scheduler answers "not found" with no queues
    ASSERT_TRUE(empty.ok()) << empty.status().Text();
    EXPECT_TRUE(empty->printers.empty());

    AddQueue("QA", "kvzntest://slow-a");
    AddQueue("QB", "kvzntest://b");
    AddQueue("QC", "kvzntest://c");
    // Setting the reasons replaces them all, "paused" included: pause afterwards.
    Run({"lpadmin", "-p", "QB", "-o", "printer-state-reasons=media-jam-error,media-empty-error"});
    Run({"cupsdisable", "QB"});
    Run({"cupsreject", "QC"});
    Run({"lpadmin", "-p", "QC", "-o", "printer-state-reasons=offline-report,toner-low-warning"});
    const int printing = Submit("QA", "alice", "Quarterly Report");
    const int waiting = Submit("QA", "alice", "Second");
    const int held = Submit("QB", "bob", "Held Doc", true);
    // A page count exists only when the client sends one; a higher priority queues first.
    test::WriteFile(cupsd_.dir() + "/print.test",
                    "{\n OPERATION Print-Job\n GROUP operation-attributes-tag\n"
                    " ATTR charset attributes-charset utf-8\n"
                    " ATTR naturalLanguage attributes-natural-language en\n"
                    " ATTR uri printer-uri $uri\n ATTR name requesting-user-name carol\n"
                    " ATTR name job-name \"Big Manual\"\n"
                    " ATTR mimeMediaType document-format application/octet-stream\n"
                    " GROUP job-attributes-tag\n ATTR integer job-impressions 7\n"
                    " ATTR integer job-priority 80\n FILE $filename\n"
                    " STATUS successful-ok\n}\n");
    const std::string socketHost = std::regex_replace(cupsd_.socket(), std::regex("/"), "%2F");
    Run({"ipptool", "-f", document_, "ipp://" + socketHost + "/printers/QB",
         cupsd_.dir() + "/print.test"});
    ASSERT_TRUE(test::WaitUntil(
        [&] {
            auto job = Job("QA", printing);
            return job && job->state == kIppJobProcessing;
        },
        5s));

    // The scheduler logs a request after answering it: count requests once the log is still.
    const size_t before = SettledLines("access_log");
    const SpoolerSnapshot snapshot = Snap();
    ASSERT_EQ(SettledLines("access_log"), before + 2);
    const auto log = cupsd_.LogLines("access_log");
    EXPECT_NE(log[before].find("CUPS-Get-Printers"), std::string::npos) << log[before];
    EXPECT_NE(log[before + 1].find(" Get-Jobs "), std::string::npos) << log[before + 1];

    ASSERT_EQ(snapshot.printers.size(), 3u);
    const PrinterQueue* qa = snapshot.Find("qa");
    const PrinterQueue* qb = snapshot.Find("QB");
    const PrinterQueue* qc = snapshot.Find("QC");
    ASSERT_TRUE(qa && qb && qc);

    EXPECT_EQ(qa->printer.status, 0u);
    EXPECT_EQ(qb->printer.status, kPrinterPaused | kPrinterPaperJam | kPrinterPaperOut);
    EXPECT_EQ(qb->printer.state, kIppPrinterStopped);
    EXPECT_TRUE(qb->printer.accepting);
    EXPECT_EQ(qc->printer.status, kPrinterOffline);
    EXPECT_FALSE(qc->printer.accepting);
    EXPECT_EQ(qc->printer.attributes, kPrinterAttributeWorkOffline);
    EXPECT_EQ(qc->printer.jobCount, 0);

    ASSERT_EQ(qa->jobs.size(), 2u);
    EXPECT_EQ(qa->printer.jobCount, 2);
    const JobInfo& first = qa->jobs[0];
    EXPECT_EQ(first.id, printing);
    EXPECT_EQ(first.printer, "QA");
    EXPECT_EQ(first.document, "Quarterly Report");
    EXPECT_EQ(first.user, "alice");
    EXPECT_EQ(first.status, kJobPrinting);
    EXPECT_EQ(first.size, 3072u);  // 3000 bytes, reported in whole kilobytes rounded up
    EXPECT_EQ(first.pages, 0) << "lp sends no page count";
    EXPECT_EQ(first.position, 1);
    EXPECT_EQ(qa->jobs[1].id, waiting);
    EXPECT_EQ(qa->jobs[1].status, 0u);
    EXPECT_EQ(qa->jobs[1].position, 2);

    ASSERT_EQ(qb->jobs.size(), 2u);
    const JobInfo& manual = qb->jobs[0];
    EXPECT_EQ(manual.document, "Big Manual");
    EXPECT_EQ(manual.user, "carol");
    EXPECT_EQ(manual.pages, 7);
    EXPECT_EQ(manual.priority, 80);
    EXPECT_EQ(manual.position, 1);
    EXPECT_EQ(qb->jobs[1].id, held);
    EXPECT_EQ(qb->jobs[1].user, "bob");
    EXPECT_EQ(qb->jobs[1].status, kJobPaused);
}

TEST_F(CupsSpoolerTest, PrinterOperationsChangeTheQueue) {
    AddQueue("QA", "kvzntest://a");
    ASSERT_TRUE(spooler_->PausePrinter("QA").ok());
    const PrinterInfo paused = Queue("QA").printer;
    EXPECT_EQ(paused.status, kPrinterPaused);
    EXPECT_EQ(paused.state, kIppPrinterStopped);

    Submit("QA", "alice", "Waiting");
    Submit("QA", "bob", "Held", true);
    ASSERT_EQ(JobIds("QA").size(), 2u);

    ASSERT_TRUE(spooler_->SetOffline("QA").ok());
    EXPECT_FALSE(Queue("QA").printer.accepting);
    EXPECT_NE(cupsd_.Client({"lp", "-d", "QA", document_}).first, 0) << "a rejecting queue";
    ASSERT_TRUE(spooler_->SetOnline("QA").ok());
    EXPECT_EQ(Queue("QA").printer.attributes, 0u);

    ASSERT_TRUE(spooler_->PurgeJobs("QA").ok());
    EXPECT_TRUE(JobIds("QA").empty()) << "held jobs are purged too";

    ASSERT_TRUE(spooler_->ResumePrinter("QA").ok());
    EXPECT_EQ(Queue("QA").printer.status, 0u);
    EXPECT_EQ(Queue("QA").printer.state, kIppPrinterIdle);

    const Status missing = spooler_->PausePrinter("NoSuchQueue");
    EXPECT_EQ(missing.err(), ENOENT) << missing.Text();
}

TEST_F(CupsSpoolerTest, JobOperationsActOnlyOnJobsOfTheNamedPrinter) {
    AddQueue("QA", "kvzntest://a");
    AddQueue("QB", "kvzntest://b");
    Run({"cupsdisable", "QA", "QB"});
    const int a = Submit("QA", "alice", "On A");
    const int b = Submit("QB", "bob", "On B");

    ASSERT_TRUE(spooler_->PauseJob("QA", a).ok());
    EXPECT_EQ(Job("QA", a).value().status, kJobPaused);
    ASSERT_TRUE(spooler_->ResumeJob("QA", a).ok());
    EXPECT_EQ(Job("QA", a).value().state, kIppJobPending);
    EXPECT_EQ(spooler_->ResumeJob("QA", a).err(), EPERM) << "not held any more";

    for (const Status& refused :
         {spooler_->DeleteJob("QA", b), spooler_->PauseJob("QA", b), spooler_->RestartJob("QA", b),
          spooler_->DeleteJob("QA", 99999)}) {
        EXPECT_EQ(refused.err(), ENOENT) << refused.Text();
    }
    ASSERT_TRUE(Job("QB", b).has_value()) << "the other printer's job is untouched";
    EXPECT_EQ(Job("QB", b).value().state, kIppJobPending);
    ASSERT_TRUE(spooler_->DeleteJob("QB", b).ok());
    EXPECT_TRUE(JobIds("QB").empty());
}

TEST_F(CupsSpoolerTest, RestartPrintsAJobAgainWhetherQueuedOrFinished) {
    AddQueue("QS", "kvzntest://slow-s");
    AddQueue("QF", "kvzntest://fast");
    const int printing = Submit("QS", "alice", "Long");
    const int done = Submit("QF", "bob", "Short");
    const std::string started = "[Job " + std::to_string(printing) + "] Started backend";
    auto backendStarts = [&] {
        size_t n = 0;
        for (const std::string& line : cupsd_.LogLines("error_log")) {
            n += line.find(started) != std::string::npos;
        }
        return n;
    };
    ASSERT_TRUE(test::WaitUntil([&] { return backendStarts() == 1; }, 5s));
    ASSERT_TRUE(test::WaitUntil([&] { return JobIds("QF").empty(); }, 5s));

    ASSERT_TRUE(spooler_->RestartJob("QS", printing).ok());
    EXPECT_TRUE(test::WaitUntil([&] { return backendStarts() == 2; }, 5s))
        << "the printing job starts over";
    EXPECT_NE(Job("QS", printing).value().state, kIppJobHeld);

    Run({"cupsdisable", "QF"});
    const Status restarted = spooler_->RestartJob("QF", done);
    ASSERT_TRUE(restarted.ok()) << restarted.Text();
    EXPECT_EQ(JobIds("QF"), std::vector<int>{done}) << "the finished job is queued again";
}

TEST_F(CupsSpoolerTest, RedirectGoesOnlyToOfferedPorts) {
    AddQueue("QA", "kvzntest://a");
    AddQueue("QB", "kvzntest://b");
    AddQueue("QN", "file:///dev/null");

    auto ports = spooler_->ListPorts();
    ASSERT_TRUE(ports.ok()) << ports.status().Text();
    EXPECT_EQ(*ports,
              (std::vector<std::string>{"kvzntest://a", "kvzntest://b", "kvzntest://discovered"}));

    for (const char* port : {"file:/etc/passwd", "file:///dev/null", "FILE:/etc/passwd",
                             "kvzntest://unlisted", "kvzntest"}) {
        const Status refused = spooler_->Redirect("QA", port);
        EXPECT_EQ(refused.err(), EINVAL) << port << ": " << refused.Text();
    }
    EXPECT_EQ(Queue("QA").printer.deviceUri, "kvzntest://a");

    ASSERT_TRUE(spooler_->Redirect("QA", "kvzntest://b").ok());
    EXPECT_EQ(Queue("QA").printer.deviceUri, "kvzntest://b");
    const Status discovered = spooler_->Redirect("QA", "kvzntest://discovered");
    ASSERT_TRUE(discovered.ok()) << discovered.Text();
    EXPECT_EQ(Queue("QA").printer.deviceUri, "kvzntest://discovered");

    EXPECT_EQ(spooler_->Redirect("NoSuchQueue", "kvzntest://b").err(), ENOENT);
    EXPECT_EQ(Snap().Find("NoSuchQueue"), nullptr) << "no queue was created";
}

// A stopped (hung) scheduler still accepts connections, but never answers.
TEST_F(CupsSpoolerTest, HungSchedulerFailsWithinTheIoTimeout) {
    AddQueue("QA", "kvzntest://a");
    auto kept = MakeSpooler({.server = cupsd_.socket(), .ioTimeout = 1s});
    ASSERT_TRUE(kept->Snapshot().ok());

    cupsd_.Signal(SIGSTOP);
    struct Resume {
        const test::PrivateCupsd& cupsd;
        ~Resume() { cupsd.Signal(SIGCONT); }
    } resume{cupsd_};

    auto start = Clock::now();
    auto snapshot = kept->Snapshot();
    auto took = Clock::now() - start;
    ASSERT_FALSE(snapshot.ok());
    EXPECT_EQ(snapshot.status().err(), ETIMEDOUT) << snapshot.status().Text();
    EXPECT_GE(took, 900ms);
    EXPECT_LT(took, 2500ms);

    auto fresh = MakeSpooler({.server = cupsd_.socket(), .ioTimeout = 1s});
    start = Clock::now();
    const Status paused = fresh->PausePrinter("QA");
    EXPECT_EQ(paused.err(), ETIMEDOUT) << paused.Text();
    EXPECT_LT(Clock::now() - start, 2500ms);

    cupsd_.Signal(SIGCONT);
    auto again = kept->Snapshot();
    ASSERT_TRUE(again.ok()) << again.status().Text();
    EXPECT_EQ(again->printers.size(), 1u);
}

TEST(CupsSpoolerAbsentTest, EveryCallFailsAtOnceWithoutAScheduler) {
    test::TempDir dir;
    // Nothing at the path; a socket nobody listens on; a TCP port nobody listens on.
    const std::string bound = dir / "bound.sock";
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    bound.copy(addr.sun_path, sizeof(addr.sun_path) - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ::close(fd);

    // libcups reports any failed TCP connect as "host down".
    const std::vector<std::pair<std::string, int>> servers{
        {dir / "cups.sock", ENOENT}, {bound, ECONNREFUSED}, {"127.0.0.1:1", EHOSTDOWN}};
    for (const auto& [server, err] : servers) {
        SCOPED_TRACE(server);
        auto spooler = MakeSpooler({.server = server});
        const auto start = Clock::now();
        auto snapshot = spooler->Snapshot();
        ASSERT_FALSE(snapshot.ok());
        EXPECT_EQ(snapshot.status().err(), err) << snapshot.status().Text();
        EXPECT_NE(snapshot.status().Text().find(server), std::string::npos);
        EXPECT_FALSE(spooler->ListPorts().ok());
        EXPECT_EQ(spooler->PausePrinter("QA").err(), err);
        EXPECT_EQ(spooler->DeleteJob("QA", 1).err(), err);
        EXPECT_EQ(spooler->Redirect("QA", "socket://printer").err(), err);
        EXPECT_LT(Clock::now() - start, 2s);
    }
}

}  // namespace
}  // namespace kvzn::platform
