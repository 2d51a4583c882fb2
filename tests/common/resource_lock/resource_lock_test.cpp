#include "common/resource_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "common/log.h"
#include "platform/clock.h"
#include "tests/support/log_capture.h"

namespace {


TEST(ResourceLock, TableOperationsAnswerTheirCodes) {
    int a = 0, b = 0;
    EXPECT_EQ(HandleResource(&a, RESOURCE_LOCK), RESOURCE_LOCKED);
    EXPECT_EQ(HandleResource(&a, RESOURCE_LOCK), RESOURCE_BUSY);  // not re-entrant
    EXPECT_EQ(HandleResource(&b, RESOURCE_LOCK), RESOURCE_LOCKED);  // other objects are independent
    EXPECT_EQ(HandleResource(&a, RESOURCE_UNLOCK), RESOURCE_UNLOCKED);
    EXPECT_EQ(HandleResource(&a, RESOURCE_UNLOCK), RESOURCE_BUSY);
    EXPECT_EQ(HandleResource(&a, RESOURCE_LOCK), RESOURCE_LOCKED);
    EXPECT_EQ(HandleResource(&a, RESOURCE_UNLOCK), RESOURCE_UNLOCKED);
    EXPECT_EQ(HandleResource(&b, RESOURCE_UNLOCK), RESOURCE_UNLOCKED);
}

TEST(ResourceLock, UnlockingAnUnlockedObjectRaisesTheAlert) {
    LogCapture capture;
    int a = 0;
    UnsynchronizeResource(&a);
    EXPECT_NE(capture.text().find("Alert! something went wrong...\n"), std::string::npos);
}

TEST(ResourceLock, LockHeldByAnotherThreadBlocksUntilUnlocked) {
    int object = 0;
    SynchronizeResource(&object);
    std::int32_t before = ResourceLockBackoffMicros();
    std::atomic<bool> entered{false};
    std::thread waiter([&] {
        SynchronizeResource(&object);
        entered = true;
        UnsynchronizeResource(&object);
    });
    // The waiter retries with a growing back-off; once it has retried at
    // least twice it is known to be waiting on our lock.
    while (static_cast<std::uint32_t>(ResourceLockBackoffMicros() - before) < 20u)
        std::this_thread::yield();
    EXPECT_FALSE(entered.load());
    UnsynchronizeResource(&object);
    waiter.join();
    EXPECT_TRUE(entered.load());
    EXPECT_EQ(HandleResource(&object, RESOURCE_UNLOCK), RESOURCE_BUSY);  // the waiter released it
}

// The back-off counter grows for the life of the process; a waiter still
// tries again after every millisecond, however high it stands. On a manual
// clock each advance of 1 ms must let the waiter try once more.
TEST(ResourceLock, BackoffSleepIsCappedAtOneMillisecond) {
    platform::useManualClock(1'000'000);
    int object = 0;
    SynchronizeResource(&object);
    std::atomic<bool> done{false};
    std::thread waiter([&] {
        SynchronizeResource(&object);
        UnsynchronizeResource(&object);
        done = true;
    });
    // Until the counter is past 5000 µs, where an uncapped sleep lasts 5 ms.
    bool stuck = false;
    while (!stuck && ResourceLockBackoffMicros() < 5000) {
        const std::int32_t seen = ResourceLockBackoffMicros();
        platform::advanceClock(1);
        // The waiter may read the clock just after that step and sleep from
        // there, so a slow machine gets up to three more 1 ms steps. That is
        // 4 ms of clock time at most: a sleep of 5 ms never ends, a capped
        // one always does. Real time only guards against a hang.
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        auto lastStep = std::chrono::steady_clock::now();
        int extraSteps = 0;
        while (ResourceLockBackoffMicros() == seen && !stuck) {
            std::this_thread::yield();
            const auto now = std::chrono::steady_clock::now();
            if (extraSteps < 3 && now - lastStep > std::chrono::milliseconds(100)) {
                platform::advanceClock(1);
                ++extraSteps;
                lastStep = now;
            }
            stuck = now > giveUp;
        }
    }
    EXPECT_FALSE(stuck) << "a retry slept longer than 1 ms at back-off " << ResourceLockBackoffMicros();
    UnsynchronizeResource(&object);
    while (!done) {
        platform::advanceClock(1);
        std::this_thread::yield();
    }
    waiter.join();
    platform::useSystemClock();
}

TEST(ResourceLock, GuardSerialisesManyThreads) {
    static int object = 0;
    long counter = 0;  // unprotected but for the resource lock
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                ResourceLockGuard guard(&object);
                long seen = counter;
                std::this_thread::yield();
                counter = seen + 1;
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(counter, 100);
}

}  // namespace
