#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/scheduler/scheduler.h"
#include "platform/clock.h"

namespace {

constexpr std::int64_t kStart = 1700000000;  // seconds

class SchedulerTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::useManualClock(kStart * 1000);
        resetSchedulerForTests();
        ASSERT_TRUE(initScheduler());
    }
    void TearDown() override {
        resetSchedulerForTests();
        platform::useSystemClock();
    }
    static std::uint32_t now() { return static_cast<std::uint32_t>(platform::nowSeconds()); }
    static void advance(std::int64_t seconds) { platform::advanceClock(seconds * 1000); }
    std::vector<std::string> runs;
    ScheduleCallback record(const std::string& name) {
        return [this, name] { runs.push_back(name); };
    }
};

TEST_F(SchedulerTest, EqualFireTimesRunInInsertionOrderAndReArmedEntriesGoBehind) {
    scheduleEntry(nullptr, now() + 10, record("a"), makePeriodic(10, kUnitSeconds));
    scheduleEntry(nullptr, now() + 10, record("b"), makePeriodic(10, kUnitSeconds));
    // c is due at +20, the time a and b are re-armed to: it runs before them then.
    scheduleEntry(nullptr, now() + 20, record("c"), makePeriodic(100, kUnitSeconds));
    advance(10);
    runDueEntries();
    EXPECT_EQ(runs, (std::vector<std::string>{"a", "b"}));
    runs.clear();
    advance(10);
    runDueEntries();
    EXPECT_EQ(runs, (std::vector<std::string>{"c", "a", "b"}));
}

TEST_F(SchedulerTest, LateEntryCatchesUpFromItsOldFireTime) {
    int count = 0;
    std::vector<std::uint32_t> seen;
    const std::uint32_t fire = now() - 3600;
    scheduleEntry(nullptr, fire, [&] { ++count; }, makePeriodic(600, kUnitSeconds));
    runDueEntries();
    EXPECT_EQ(count, 7);
    // Next due 4200 s after the original fire time, i.e. 600 s from now.
    advance(599);
    runDueEntries();
    EXPECT_EQ(count, 7);
    advance(1);
    runDueEntries();
    EXPECT_EQ(count, 8);
}

TEST_F(SchedulerTest, RepeatCountThreeRunsThreeTimesThenTheEntryIsGone) {
    int count = 0;
    int id = scheduleEntry(nullptr, now(), [&] { ++count; }, makePeriodic(5, kUnitSeconds, 3));
    ASSERT_NE(id, 0);
    for (int i = 0; i < 6; ++i) {
        runDueEntries();
        advance(5);
    }
    EXPECT_EQ(count, 3);
    EXPECT_FALSE(unscheduleEntry("DEFAULT", id));
}

TEST_F(SchedulerTest, UnitsOfHoursAndMinutes) {
    int hours = 0, minutes = 0;
    scheduleEntry(nullptr, now(), [&] { ++hours; }, makePeriodic(6, kUnitHours));
    scheduleEntry(nullptr, now(), [&] { ++minutes; }, makePeriodic(2, kUnitMinutes));
    runDueEntries();
    EXPECT_EQ(hours, 1);
    advance(21599);
    runDueEntries();
    EXPECT_EQ(hours, 1);
    EXPECT_EQ(minutes, 1 + 21599 / 120);
    advance(1);
    runDueEntries();
    EXPECT_EQ(hours, 2);
}

TEST_F(SchedulerTest, IdsGrowAndSurviveReArmingAndUnscheduling) {
    int a = scheduleEntry(nullptr, now(), record("a"), makePeriodic(1, kUnitSeconds));
    int b = scheduleEntry(nullptr, now() + 50, record("b"), makePeriodic(1, kUnitSeconds));
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 2);
    runDueEntries();  // a re-armed with the same id
    EXPECT_TRUE(unscheduleEntry("default", a));
    EXPECT_FALSE(unscheduleEntry("DEFAULT", a));
    int c = scheduleEntry("Default", now(), record("c"), makePeriodic(1, kUnitSeconds));
    EXPECT_EQ(c, 3);
    EXPECT_EQ(scheduleEntry(nullptr, now(), record("d"), makePeriodic(1, kUnitSeconds), 42), 42);
    EXPECT_TRUE(unscheduleEntry("DEFAULT", 42));
}

TEST_F(SchedulerTest, UnknownSchedulerOrNoInitFails) {
    EXPECT_EQ(scheduleEntry("OTHER", now(), record("x"), makePeriodic(1, kUnitSeconds)), 0);
    EXPECT_FALSE(unscheduleEntry(nullptr, 1));
    EXPECT_FALSE(unscheduleEntry("OTHER", 1));
    resetSchedulerForTests();
    EXPECT_EQ(scheduleEntry(nullptr, now(), record("x"), makePeriodic(1, kUnitSeconds)), 0);
}

TEST_F(SchedulerTest, CallbacksMayScheduleAndUnscheduleDuringAPass) {
    int selfId = 0;
    int inner = 0;
    selfId = scheduleEntry(nullptr, now(), [&] {
        // Unscheduling itself from its own callback: it must not be re-armed.
        EXPECT_TRUE(unscheduleEntry("DEFAULT", selfId));
        scheduleEntry(nullptr, now(), [&] { ++inner; }, makePeriodic(10, kUnitSeconds, 1));
    }, makePeriodic(1, kUnitSeconds));
    runDueEntries();
    EXPECT_EQ(inner, 1);  // added during the pass and already due: runs in the same pass
    advance(5);
    runDueEntries();
    EXPECT_EQ(inner, 1);
    EXPECT_FALSE(unscheduleEntry("DEFAULT", selfId));
}

TEST_F(SchedulerTest, EndTimeStopsTheEntry) {
    int count = 0;
    auto cond = makePeriodic(10, kUnitSeconds);
    cond->detail->endTime = platform::toLocalTime(kStart + 25);
    scheduleEntry(nullptr, now(), [&] { ++count; }, std::move(cond));
    for (int i = 0; i < 6; ++i) {
        runDueEntries();
        advance(10);
    }
    EXPECT_EQ(count, 3);  // at 0, 10 and 20; the next time, 30, lies past the end
}

TEST_F(SchedulerTest, EntriesFallingDueDuringAPassWaitForTheNext) {
    int late = 0;
    scheduleEntry(nullptr, now(), [&] {
        advance(5);  // a slow callback
        scheduleEntry(nullptr, now(), [&] { ++late; }, makePeriodic(10, kUnitSeconds, 1));
    }, makePeriodic(100, kUnitSeconds, 1));
    runDueEntries();
    EXPECT_EQ(late, 0);
    runDueEntries();
    EXPECT_EQ(late, 1);
}

TEST_F(SchedulerTest, TheThreadRunsDueEntries) {
    std::atomic<int> count{0};
    scheduleEntry(nullptr, now() + 3, [&] { ++count; }, makePeriodic(3, kUnitSeconds));
    ASSERT_TRUE(startSchedulerThread());
    for (int i = 0; i < 20 && count.load() < 2; ++i) {
        advance(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_GE(count.load(), 2);
}

}  // namespace
