// CreateNewThread and InitMutex.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "common/threads.h"
#include "tests/support/log_capture.h"

namespace {

void addOne(void* arg) { ++*static_cast<std::atomic<int>*>(arg); }

TEST(CreateNewThread, RunsTheRoutineAndTracesOnlyAtLevelFour) {
    std::atomic<int> counter{0};
    {
        LogCapture log(3);
        ThreadHandle t = CreateNewThread(addOne, &counter);
        ASSERT_TRUE(t);
        EXPECT_TRUE(WaitForThread(t, -1));
        EXPECT_EQ(log.text(), "");
    }
    LogCapture log(4);
    ThreadHandle t = CreateNewThread([&] { counter += 10; });
    ASSERT_TRUE(WaitForThread(t, -1));
    EXPECT_EQ(counter.load(), 11);
    EXPECT_EQ(log.text(), "\n\t@@@@@ Inside CreateNewThread() @@@@@\n");
    EXPECT_TRUE(t->id != std::thread::id());
}

TEST(CreateNewThread, DroppedHandleAndThrowingRoutineAreHarmless) {
    std::atomic<int> counter{0};
    platform::Event release(true);
    ThreadHandle keep;
    {
        ThreadHandle t = CreateNewThread([&] {
            release.wait(-1);
            ++counter;
        });
        keep = t;
    }  // the caller's copy goes away while the thread waits
    release.set();
    ASSERT_TRUE(WaitForThread(keep, -1));
    EXPECT_EQ(counter.load(), 1);

    LogCapture log(2);
    ThreadHandle bad = CreateNewThread([] { throw std::runtime_error("boom"); });
    ASSERT_TRUE(WaitForThread(bad, -1));
    EXPECT_TRUE(log.has("boom"));

    LogCapture info(3);
    EXPECT_FALSE(CreateNewThread(std::function<void()>()));
    EXPECT_FALSE(CreateNewThread(nullptr, nullptr));
    EXPECT_TRUE(info.has("Unable to create Thread\n"));
    EXPECT_FALSE(WaitForThread(nullptr, 0));
}

TEST(InitMutex, TracesAndGivesOneMutex) {
    LogCapture log(4);
    EXPECT_TRUE(InitMutex());
    EXPECT_EQ(log.text(), "\n\t@@@@@ Inside InitMutex() @@@@@\n");
    EXPECT_EQ(&ResourceTableMutex(), &ResourceTableMutex());
}

}  // namespace
