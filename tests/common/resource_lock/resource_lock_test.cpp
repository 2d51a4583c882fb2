#include "common/resource_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "common/log.h"
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
