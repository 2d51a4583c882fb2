// Manual- and auto-reset events on the manual clock.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/clock.h"
#include "platform/threads.h"

using namespace platform;

namespace {

class Events : public ::testing::Test {
protected:
    void SetUp() override { useManualClock(10'000); }
    void TearDown() override { useSystemClock(); }
};

TEST_F(Events, ManualResetStaysSetForEveryWaiterUntilReset) {
    Event e(true);
    EXPECT_FALSE(e.wait(0));
    e.set();
    EXPECT_TRUE(e.wait(0));
    EXPECT_TRUE(e.wait(-1));
    EXPECT_TRUE(e.isSet());
    e.reset();
    EXPECT_FALSE(e.wait(0));
}

TEST_F(Events, AutoResetReleasesOneWaiterAndClears) {
    Event e(false, true);
    EXPECT_TRUE(e.wait(0));
    EXPECT_FALSE(e.wait(0)) << "the first wait consumed the signal";

    std::atomic<int> released{0};
    std::thread a([&] { if (e.wait(-1)) ++released; });
    std::thread b([&] { if (e.wait(-1)) ++released; });
    e.set();
    while (released.load() < 1) std::this_thread::yield();
    EXPECT_FALSE(e.isSet());
    e.set();
    a.join();
    b.join();
    EXPECT_EQ(released.load(), 2);
}

TEST_F(Events, TimedWaitEndsWhenTheClockPassesTheTimeOut) {
    Event e(true);
    std::atomic<bool> finished{false};
    bool result = true;
    std::int64_t before = 0, after = 0;
    std::thread waiter([&] {
        before = nowMillis();
        result = e.wait(30'000);
        after = nowMillis();
        finished = true;
    });
    while (!finished.load()) {
        advanceClock(500);
        std::this_thread::yield();
    }
    waiter.join();
    EXPECT_FALSE(result);
    EXPECT_GE(after - before, 30'000) << "the wait lasted the whole time-out on the clock";
}

TEST_F(Events, SetWakesAWaiterThatWaitsForEver) {
    Event e(true);
    std::thread waiter([&] { EXPECT_TRUE(e.wait(-1)); });
    e.set();
    waiter.join();
}

}  // namespace
