#include "console/console_clients.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>

#include "console/console_message.h"
#include "platform/event.h"
#include "support/test_support.h"

namespace kvzn::console {
namespace {

using namespace std::chrono_literals;

// Records each delivery; consoles whose port is in `dead` refuse it.
struct FakeConsoles {
    std::mutex mutex;
    std::vector<std::pair<uint16_t, ParsedMessage>> got;
    std::set<uint16_t> dead;

    NoticeDelivery Delivery() {
        return [this](const std::string&, uint16_t port, const std::string& message) {
            std::scoped_lock lock(mutex);
            if (dead.count(port) != 0) {
                return false;
            }
            got.emplace_back(port, ParseConsoleMessage(message));
            return true;
        };
    }
    std::vector<int> TypesFor(uint16_t port) {
        std::scoped_lock lock(mutex);
        std::vector<int> types;
        for (const auto& [p, m] : got) {
            if (p == port) {
                types.push_back(m.number);
            }
        }
        return types;
    }
};

TEST(ConsoleClients, RegistersOnceAndDropsUnreachableConsolesAfterTheRound) {
    FakeConsoles fake;
    ConsoleOptions options;
    options.serverName = "srv";
    options.deliver = fake.Delivery();
    ConsoleClients clients(options);
    clients.Register("127.0.0.1", 4001);
    clients.Register("127.0.0.1", 4001);
    clients.Register("127.0.0.1", 4002, true);
    clients.Register("127.0.0.2", 4001);
    ASSERT_EQ(clients.Clients().size(), 3u);

    fake.dead = {4002};
    clients.NotifyAlert("01/02/2026 10:00:00", "Printer error", "Out of paper");
    ASSERT_TRUE(clients.WaitIdle(5s));
    const auto left = clients.Clients();
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[0].port, 4001);
    EXPECT_EQ(left[1].address, "127.0.0.2");
    // The removed console watched the activity lines: the count follows it to zero.
    EXPECT_EQ(clients.ActivityCount(), 0u);
    std::scoped_lock lock(fake.mutex);
    ASSERT_EQ(fake.got.size(), 2u);
    EXPECT_EQ(fake.got[0].second.number, kAlert);
    EXPECT_EQ(fake.got[0].second.fields,
              (std::vector<std::string>{"srv", std::string(kProductName), "01/02/2026 10:00:00",
                                        "Printer error", "Out of paper"}));
}

TEST(ConsoleClients, ActivityLinesReachOnlyWatchersAndOnlyWhileStarted) {
    FakeConsoles fake;
    ConsoleOptions options;
    options.deliver = fake.Delivery();
    ConsoleClients clients(options);
    clients.Register("127.0.0.1", 4001);
    clients.Register("127.0.0.1", 4002, true);
    EXPECT_FALSE(clients.PostActivity("before start"));
    clients.NotifyStarted();
    EXPECT_TRUE(clients.PostActivity("a line"));
    ASSERT_TRUE(clients.WaitIdle(5s));
    EXPECT_EQ(fake.TypesFor(4001), (std::vector<int>{kStarted}));
    EXPECT_EQ(fake.TypesFor(4002), (std::vector<int>{kStarted, kActivityLine}));

    EXPECT_TRUE(clients.StopActivity("127.0.0.1", 4002));
    EXPECT_FALSE(clients.StopActivity("127.0.0.1", 4009));
    EXPECT_EQ(clients.ActivityCount(), 0u);
    EXPECT_FALSE(clients.PostActivity("nobody watches"));
    clients.Register("127.0.0.1", 4002, true);
    EXPECT_EQ(clients.ActivityCount(), 1u);
    clients.Close(1s);
    EXPECT_FALSE(clients.PostActivity("after stop"));
}

TEST(ConsoleClients, ListSurvivesARestartWithoutTheUnreachable) {
    test::TempDir dir;
    FakeConsoles fake;
    ConsoleOptions options;
    options.cachePath = dir / "PRT-Console.dat";
    options.deliver = fake.Delivery();
    {
        ConsoleClients clients(options);
        clients.Register("10.0.0.1", 4001);
        clients.Register("10.0.0.2", 4002, true);
        clients.Register("10.0.0.3", 4003);
        clients.Close(1s);  // saves
    }
    EXPECT_EQ(test::ReadFile(options.cachePath),
              "10.0.0.1,4001\n10.0.0.2,4002,RTActivity\n10.0.0.3,4003\n");
    test::WriteFile(options.cachePath, test::ReadFile(options.cachePath) +
                                           "bad line\n10.0.0.4,0\n10.0.0.5,99999\n,4005\n");
    options.reachable = [](const std::string& address, uint16_t) { return address != "10.0.0.3"; };
    ConsoleClients again(options);
    EXPECT_EQ(again.Restore(), 2u);
    const auto list = again.Clients();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].address, "10.0.0.1");
    EXPECT_FALSE(list[0].activity);
    EXPECT_TRUE(list[1].activity);
}

TEST(ConsoleClients, AHangingConsoleNeitherDelaysTheCallerNorHoldsTheList) {
    platform::Event release;
    std::atomic<int> calls{0};
    ConsoleOptions options;
    options.deliver = [&](const std::string&, uint16_t, const std::string&) {
        ++calls;
        release.WaitFor(10s);
        return true;
    };
    ConsoleClients clients(options);
    clients.Register("127.0.0.1", 4001, true);
    clients.NotifyStarted();
    const auto start = std::chrono::steady_clock::now();
    clients.NotifyAlert("t", "title", "message");
    clients.NotifyAlert("t", "title", "message");
    ASSERT_TRUE(test::WaitUntil([&] { return calls.load() == 1; }, 5s));
    // While the sender is stuck on the console, the list stays usable.
    clients.Register("127.0.0.1", 4002);
    EXPECT_TRUE(clients.PostActivity("still flowing"));
    EXPECT_EQ(clients.Clients().size(), 2u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    release.Set();
    EXPECT_TRUE(clients.WaitIdle(5s));
}

}  // namespace
}  // namespace kvzn::console
