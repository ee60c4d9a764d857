// Tests of the file-backed configuration store: modes, damage, caching, and concurrent and
// interrupted writers in separate processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <random>
#include <stdexcept>
#include <thread>

#include "platform/config_store.h"
#include "support/test_support.h"

namespace kvzn::platform {
namespace {

using test::ReadFile;
using test::WriteFile;

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

bool Exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

size_t CountTempFiles(const std::string& dir) {
    size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        n += entry.path().filename().string().find(".tmp-") != std::string::npos ? 1 : 0;
    }
    return n;
}

Status SetText(ConfigStore& store, const std::string& key, const std::string& name,
               const std::string& text) {
    return store.Update([&](StoreTree& tree) {
        tree.Set(key, name, StoreValue::MakeText(text));
        return true;
    });
}

StoreTree Snapshot(ConfigStore& store) {
    StoreTree copy;
    Status status = store.Read([&](const StoreTree& tree) { copy = tree; });
    EXPECT_TRUE(status.ok()) << status.Text();
    return copy;
}

std::string TextOf(ConfigStore& store, const std::string& key, const std::string& name) {
    const StoreTree tree = Snapshot(store);
    const StoreValue* value = tree.Find(key, name);
    return value ? value->text : "<missing>";
}

// Runs `body` in a child process; the child exits with the status `body` returns.
pid_t Spawn(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::_exit(body());
    }
    return pid;
}

int WaitExit(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class FileStoreTest : public ::testing::Test {
  protected:
    test::TempDir dir_;
    std::string storeDir_ = dir_ / "etc/kvZNPrint";
    std::string path_ = storeDir_ + "/registry.reg";
};

TEST_F(FileStoreTest, FirstWriteCreatesPrivateDirectoryAndFile) {
    auto store = OpenFileStore(path_);
    EXPECT_EQ(store->Location(), path_);
    EXPECT_TRUE(Snapshot(*store) == StoreTree());
    EXPECT_FALSE(Exists(storeDir_));  // reading creates nothing

    ASSERT_TRUE(SetText(*store, "Software\\Halvern", "Home", "/opt/kvznprint").ok());
    EXPECT_EQ(ModeOf(storeDir_), 0700u);
    EXPECT_EQ(ModeOf(path_), 0600u);
    EXPECT_EQ(OpenFileStore(path_)->Location(), path_);
    EXPECT_EQ(TextOf(*OpenFileStore(path_), "software\\halvern", "home"), "/opt/kvznprint");
    // A store file someone loosened is replaced by a private one on the next write.
    ::chmod(path_.c_str(), 0644);
    ASSERT_TRUE(SetText(*store, "Software\\Halvern", "Home", "/srv").ok());
    EXPECT_EQ(ModeOf(path_), 0600u);
    EXPECT_EQ(CountTempFiles(storeDir_), 0u);
}

TEST_F(FileStoreTest, AbandonedOrFailedWritesLeaveTheFileAlone) {
    auto store = OpenFileStore(path_);
    EXPECT_TRUE(store->Update([](StoreTree&) { return false; }).ok());
    EXPECT_FALSE(Exists(path_));

    ASSERT_TRUE(SetText(*store, "A", "v", "1").ok());
    const std::string before = ReadFile(path_);
    EXPECT_TRUE(store
                    ->Update([](StoreTree& tree) {
                        tree.Set("A", "v", StoreValue::MakeText("2"));
                        return false;
                    })
                    .ok());
    EXPECT_EQ(ReadFile(path_), before);
    EXPECT_THROW(store->Update([](StoreTree& tree) -> bool {
        tree.DeleteKey("A");
        throw std::runtime_error("writer failed");
    }),
                 std::runtime_error);
    EXPECT_EQ(ReadFile(path_), before);
    // The lock was released by the failed writer.
    EXPECT_TRUE(SetText(*OpenFileStore(path_), "A", "v", "3").ok());
}

TEST_F(FileStoreTest, DamagedFileIsReportedAndNeverOverwritten) {
    std::filesystem::create_directories(storeDir_);
    const std::string damaged = "; store\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=dword:12zz\n";
    WriteFile(path_, damaged, 0600);
    auto store = OpenFileStore(path_);

    bool readerCalled = false;
    Status read = store->Read([&](const StoreTree&) { readerCalled = true; });
    EXPECT_FALSE(read.ok());
    EXPECT_FALSE(readerCalled);
    EXPECT_NE(read.Text().find(path_ + ":3:"), std::string::npos) << read.Text();

    bool writerCalled = false;
    Status update = store->Update([&](StoreTree&) { return writerCalled = true; });
    EXPECT_FALSE(update.ok());
    EXPECT_FALSE(writerCalled);
    EXPECT_NE(update.Text().find(path_ + ":3:"), std::string::npos) << update.Text();
    EXPECT_EQ(ReadFile(path_), damaged);
}

// The cache may keep a tree only while stat shows the same file; a file replaced by another
// store object or edited in place with its time put back must be read again.
TEST_F(FileStoreTest, CacheNoticesChangesMadeElsewhere) {
    auto reader = OpenFileStore(path_);
    auto writer = OpenFileStore(path_);
    ASSERT_TRUE(SetText(*writer, "A", "v", "one").ok());
    EXPECT_EQ(TextOf(*reader, "A", "v"), "one");
    ASSERT_TRUE(SetText(*writer, "A", "v", "two").ok());
    EXPECT_EQ(TextOf(*reader, "A", "v"), "two");

    // Let the file age so that the reader may trust its cache, then change it both ways.
    std::this_thread::sleep_for(std::chrono::milliseconds(2200));
    EXPECT_EQ(TextOf(*reader, "A", "v"), "two");
    EXPECT_EQ(TextOf(*reader, "A", "v"), "two");
    ASSERT_TRUE(SetText(*writer, "A", "v", "six").ok());
    EXPECT_EQ(TextOf(*reader, "A", "v"), "six");

    std::this_thread::sleep_for(std::chrono::milliseconds(2200));
    EXPECT_EQ(TextOf(*reader, "A", "v"), "six");
    struct stat st {};
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    std::string text = ReadFile(path_);
    text.replace(text.find("\"six\""), 5, "\"ten\"");
    WriteFile(path_, text, 0600);
    const timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, path_.c_str(), times, 0), 0);
    EXPECT_EQ(TextOf(*reader, "A", "v"), "ten");
}

std::string ValueText(ConfigStore& store, const std::string& key, const std::string& name) {
    Result<std::optional<StoreValue>> value = store.ReadValue(key, name);
    EXPECT_TRUE(value.ok()) << value.status().Text();
    return value.ok() && value->has_value() ? (*value)->text : "<missing>";
}

// Single values are kept between reads of the same file version, missing ones included;
// any change of the file, by another store object or in place with its time put back,
// shows in the next read whatever spelling asks for it.
TEST_F(FileStoreTest, ValuesReadOneAtATimeFollowTheFile) {
    auto reader = OpenFileStore(path_);
    auto writer = OpenFileStore(path_);
    EXPECT_EQ(ValueText(*reader, "A", "v"), "<missing>");  // no file yet
    ASSERT_TRUE(SetText(*writer, "A", "v", "one").ok());
    std::this_thread::sleep_for(std::chrono::milliseconds(2200));  // old enough to keep
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(ValueText(*reader, "A", "v"), "one");
        EXPECT_EQ(ValueText(*reader, "a", "V"), "one");
        EXPECT_EQ(ValueText(*reader, "A", "w"), "<missing>");
        EXPECT_EQ(ValueText(*reader, "B", "v"), "<missing>");
    }
    ASSERT_TRUE(writer
                    ->Update([](StoreTree& tree) {
                        tree.Set("A", "v", StoreValue::MakeText("two"));
                        tree.Set("A", "w", StoreValue::MakeText("new"));
                        return true;
                    })
                    .ok());
    EXPECT_EQ(ValueText(*reader, "A", "v"), "two");
    EXPECT_EQ(ValueText(*reader, "a", "V"), "two");
    EXPECT_EQ(ValueText(*reader, "A", "w"), "new");
    EXPECT_EQ(ValueText(*reader, "B", "v"), "<missing>");

    std::this_thread::sleep_for(std::chrono::milliseconds(2200));
    EXPECT_EQ(ValueText(*reader, "A", "w"), "new");
    EXPECT_EQ(ValueText(*reader, "A", "w"), "new");
    struct stat st {};
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    std::string text = ReadFile(path_);
    text.replace(text.find("\"new\""), 5, "\"old\"");
    WriteFile(path_, text, 0600);
    const timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, path_.c_str(), times, 0), 0);
    EXPECT_EQ(ValueText(*reader, "A", "w"), "old");
}

// More distinct values than the store keeps one at a time: each read still gives its own.
TEST_F(FileStoreTest, ManyValuesReadOneAtATimeStayApart) {
    constexpr int kValues = 300;
    auto store = OpenFileStore(path_);
    ASSERT_TRUE(store
                    ->Update([](StoreTree& tree) {
                        for (int i = 0; i < kValues; ++i) {
                            tree.Set("K" + std::to_string(i % 7), "v" + std::to_string(i),
                                     StoreValue::MakeText(std::to_string(i)));
                        }
                        return true;
                    })
                    .ok());
    std::this_thread::sleep_for(std::chrono::milliseconds(2200));
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < kValues; ++i) {
            ASSERT_EQ(ValueText(*store, "K" + std::to_string(i % 7), "v" + std::to_string(i)),
                      std::to_string(i))
                << "value " << i << ", round " << round;
        }
    }
}

// Read-modify-write from two processes and two threads at once loses no update.
TEST_F(FileStoreTest, ConcurrentWritersLoseNothing) {
    constexpr int kUpdates = 200;
    auto work = [this](const std::string& who) {
        auto store = OpenFileStore(path_);
        for (int i = 0; i < kUpdates; ++i) {
            Status status = store->Update([&](StoreTree& tree) {
                tree.Set("Mine\\" + who, "v" + std::to_string(i),
                         StoreValue::MakeText(who + "-" + std::to_string(i)));
                tree.Set("Mine\\" + who, "last", StoreValue::MakeNumber(i));
                const StoreValue* count = tree.Find("Shared", "count");
                tree.Set("Shared", "count", StoreValue::MakeNumber(count ? count->number + 1 : 1));
                return true;
            });
            if (!status.ok()) {
                return 1;
            }
        }
        return 0;
    };
    const pid_t first = Spawn([&] { return work("first"); });
    const pid_t second = Spawn([&] { return work("second"); });
    ASSERT_GT(first, 0);
    ASSERT_GT(second, 0);
    std::jthread third([&] { EXPECT_EQ(work("third"), 0); });
    EXPECT_EQ(work("fourth"), 0);
    third.join();
    EXPECT_EQ(WaitExit(first), 0);
    EXPECT_EQ(WaitExit(second), 0);

    StoreTree tree = Snapshot(*OpenFileStore(path_));
    ASSERT_NE(tree.Find("Shared", "count"), nullptr);
    EXPECT_EQ(tree.Find("Shared", "count")->number, 4u * kUpdates);
    for (std::string who : {"first", "second", "third", "fourth"}) {
        SCOPED_TRACE(who);
        EXPECT_EQ(tree.ValueNames("Mine\\" + who).size(), kUpdates + 1u);
        ASSERT_NE(tree.Find("Mine\\" + who, "last"), nullptr);
        EXPECT_EQ(tree.Find("Mine\\" + who, "last")->number, kUpdates - 1u);
        ASSERT_NE(tree.Find("Mine\\" + who, "v150"), nullptr);
        EXPECT_EQ(tree.Find("Mine\\" + who, "v150")->text, who + "-150");
    }
    EXPECT_EQ(CountTempFiles(storeDir_), 0u);
}

// A writer killed at any moment leaves the old or the new store, whole.
TEST_F(FileStoreTest, KilledWriterLeavesOldOrNewStore) {
    constexpr int kValues = 2000;
    auto fill = [](StoreTree& tree, uint32_t generation) {
        tree.Set("Gen", "generation", StoreValue::MakeNumber(generation));
        for (int i = 0; i < kValues; ++i) {
            tree.Set("Gen\\Values", "value" + std::to_string(i),
                     StoreValue::MakeText(std::to_string(generation) + ":" + std::to_string(i) +
                                          std::string(i % 7, '.')));
        }
    };
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(OpenFileStore(path_)
                    ->Update([&](StoreTree& tree) {
                        fill(tree, 0);
                        return true;
                    })
                    .ok());
    // Kills land anywhere within about two update cycles after the child's first commit.
    const auto cycle = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - started);

    const unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    uint32_t lastGeneration = 0;
    for (int kill = 0; kill < 20; ++kill) {
        int committed[2];
        ASSERT_EQ(::pipe2(committed, O_CLOEXEC), 0);
        const pid_t child = Spawn([&] {
            ::close(committed[0]);
            ::fcntl(committed[1], F_SETFL, O_NONBLOCK);
            auto store = OpenFileStore(path_);
            for (;;) {
                store->Update([&](StoreTree& tree) {
                    fill(tree, tree.Find("Gen", "generation")->number + 1);
                    return true;
                });
                [[maybe_unused]] ssize_t n = ::write(committed[1], "c", 1);
            }
            return 0;
        });
        ASSERT_GT(child, 0);
        ::close(committed[1]);
        char byte = 0;
        EXPECT_EQ(::read(committed[0], &byte, 1), 1) << "writer died on its own";
        ::close(committed[0]);
        std::this_thread::sleep_for(std::chrono::microseconds(random() % (2 * cycle.count() + 1)));
        ::kill(child, SIGKILL);
        WaitExit(child);

        StoreTree tree;
        Status parsed = StoreTree::Parse(ReadFile(path_), path_, tree);
        ASSERT_TRUE(parsed.ok()) << parsed.Text();
        const StoreValue* found = tree.Find("Gen", "generation");
        ASSERT_NE(found, nullptr) << "store lost its content after kill " << kill;
        const uint32_t generation = found->number;
        EXPECT_GE(generation, lastGeneration);
        lastGeneration = generation;
        StoreTree expected;
        fill(expected, generation);
        ASSERT_TRUE(tree == expected) << "mixed store after kill " << kill;
        EXPECT_LE(CountTempFiles(storeDir_), 1u);
    }
    // Leftovers never disturb readers, and the next writer clears them.
    auto store = OpenFileStore(path_);
    const StoreTree after = Snapshot(*store);
    ASSERT_NE(after.Find("Gen", "generation"), nullptr);
    EXPECT_EQ(after.Find("Gen", "generation")->number, lastGeneration);
    ASSERT_TRUE(SetText(*store, "Gen", "done", "yes").ok());
    EXPECT_EQ(CountTempFiles(storeDir_), 0u);
}

TEST(DefaultStorePathTest, HonoursEnvironment) {
    {
        test::ScopedEnv env(kStoreEnvironmentVariable, "/tmp/private/registry.reg");
        EXPECT_EQ(DefaultStorePath(), "/tmp/private/registry.reg");
    }
    {
        test::ScopedEnv env(kStoreEnvironmentVariable, "");
        EXPECT_EQ(DefaultStorePath(), kDefaultStorePath);
    }
    test::ScopedEnv env(kStoreEnvironmentVariable, std::nullopt);
    EXPECT_EQ(DefaultStorePath(), kDefaultStorePath);
}

}  // namespace
}  // namespace kvzn::platform
