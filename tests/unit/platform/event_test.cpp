// Manual-reset events and waiting for the first of several.
#include "platform/event.h"

#include <gtest/gtest.h>

#include <thread>

namespace kvzn::platform {
namespace {

using namespace std::chrono_literals;

TEST(EventTest, WaitAnyReturnsTheFirstSetEventInTheGivenOrder) {
    Event stop;
    Event alert;
    EXPECT_EQ(Event::WaitAny({&stop, &alert}, 10ms), -1);
    alert.Set();
    EXPECT_EQ(Event::WaitAny({&stop, &alert}, 10ms), 1);
    stop.Set();
    EXPECT_EQ(Event::WaitAny({&stop, &alert}, 10ms), 0);  // the stop event has priority
}

TEST(EventTest, WaitAnyWakesAtOnceWhenAnotherThreadSetsAnEvent) {
    Event stop;
    Event alert;
    std::thread setter([&] {
        std::this_thread::sleep_for(50ms);
        stop.Set();
    });
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(Event::WaitAny({&stop, &alert}, std::chrono::minutes(10)), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
    setter.join();
}

TEST(EventTest, AManualResetEventStaysSetUntilReset) {
    Event e;
    e.Set();
    EXPECT_TRUE(e.WaitFor(0ms));
    EXPECT_TRUE(e.WaitFor(0ms));
    e.Reset();
    EXPECT_FALSE(e.WaitFor(1ms));
}

}  // namespace
}  // namespace kvzn::platform
