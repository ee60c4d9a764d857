// Alert recording killed at random moments: records and queue stay whole and consistent.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <set>
#include <thread>

#include "alerting/dispatcher.h"
#include "platform/file.h"
#include "platform/profile_file.h"
#include "support/service_fixture.h"

namespace kvzn::alerting {
namespace {

// Runs in the child: several threads record alerts until the process is killed. The ring
// is small so slots are reused and the queue is rewritten while alerts arrive.
[[noreturn]] void RecordForever(const std::string& storePath, const std::string& dataDir) {
    companion::Registry registry(platform::OpenFileStore(storePath));
    test::NullNotifier notifier;
    service::StatusReporter status(notifier);
    service::ServiceContext ctx(registry, platform::SystemClock(), status);
    ctx.dataDirectory = dataDir;
    ctx.computerName = "PRINTSRV";
    AlertStore& store = AttachAlertRun(ctx, {}).store;  // a new run: slots read from the files
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&ctx, &store, t] {
            for (int i = 0;; ++i) {
                std::string message = "thread " + std::to_string(t) + " alert " + std::to_string(i);
                NotifyError(ctx, kCategoryPrintServer, 2, 0, "Printer Error",
                            "Q" + std::to_string(t), message, "Q", "doc\nname");
                if (t == 0 && i % 3 == 0) {  // a dispatcher taking records off the queue
                    if (const auto head = store.TakeNextQueued()) {
                        store.EndDelivery(*head);
                    }
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    ::_exit(0);
}

bool RecordIsComplete(const std::string& path) {
    const auto rec = platform::ProfileFile::Load(path);
    if (!rec.ok()) {
        return false;
    }
    const auto message = rec->Get(kRecordSection, "Message");
    const auto size = rec->Get(kRecordSection, "MessageSize");
    return message && size && std::to_string(message->size()) == *size &&
           rec->Get(kRecordSection, "ErrorXStatus") == "5" &&
           rec->KeyNames(kRecordSection).size() == 19;  // the full key set, no more
}

TEST(AlertRecordsCrashTest, KilledWritersLeaveWholeRecordsAndAConsistentQueue) {
    test::TempDir dir;
    const std::string data = dir / "data";
    std::filesystem::create_directories(data);
    {
        companion::Registry registry(platform::OpenFileStore(dir / "registry.reg"));
        registry.WriteNumber(config::kProductKey, config::value::kMaxStoredMsgs, 8);
    }
    std::mt19937 random(12345);
    for (int round = 0; round < 15; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            RecordForever(dir / "registry.reg", data);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + random() % 120));
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status));

        size_t records = 0;
        for (const auto& entry : std::filesystem::directory_iterator(data)) {
            const std::string name = entry.path().filename();
            if (name.starts_with("PRT") && name.ends_with(".err")) {
                ++records;
                EXPECT_TRUE(RecordIsComplete(entry.path())) << name;
            }
        }
        EXPECT_GT(records, 0u);
        const auto text = platform::ReadWholeFile(data + "/" + kQueueFileName);
        const auto queue = text.ok() ? ParseQueueLines(*text) : std::vector<std::string>{};
        EXPECT_EQ(std::set<std::string>(queue.begin(), queue.end()).size(), queue.size())
            << "a record is listed twice";
        for (const std::string& line : queue) {
            EXPECT_TRUE(line.starts_with(data + "/PRT") && line.ends_with(".err")) << line;
            EXPECT_TRUE(RecordIsComplete(line)) << line;
        }
    }
}

}  // namespace
}  // namespace kvzn::alerting
