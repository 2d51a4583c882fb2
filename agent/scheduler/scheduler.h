// The agent's named schedulers of timer entries, run by one scheduler thread.
//
// Only "DEFAULT" exists in the system; a null name means "DEFAULT" when
// scheduling. Entries are kept in ascending fire time; equal times run in
// insertion order. A periodic entry is re-armed from its previous fire time,
// so a timer that fell behind catches up in one pass. Callbacks run on the
// scheduler thread without any scheduler lock held, so they may schedule and
// unschedule entries themselves.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>

// Units of a periodic interval.
inline constexpr std::uint8_t kUnitHours = 1;
inline constexpr std::uint8_t kUnitMinutes = 2;
inline constexpr std::uint8_t kUnitSeconds = 3;

struct PeriodicStruct {
    std::optional<std::tm> endTime;  // local time after which the entry stops; none in the system
    std::int32_t interval = 0;       // count of units, positive
    std::uint8_t unit = kUnitSeconds;
    std::int32_t repeatCount = -1;   // -1 for ever; 1 last run; >1 counts down
};

struct RepeatCondStruct {
    std::int32_t kind = 1;  // 1 = periodic
    std::unique_ptr<PeriodicStruct> detail;
};

// The callback owns whatever it captures (the entry's user argument): it is
// released when the entry is removed for good or unscheduled.
using ScheduleCallback = std::function<void()>;

// A periodic repeat condition with no end time.
std::unique_ptr<RepeatCondStruct> makePeriodic(std::int32_t interval, std::uint8_t unit,
                                               std::int32_t repeatCount = -1);

bool initScheduler();
bool createScheduler(const char* name);
bool startSchedulerThread();
// Returns the entry id (given, or the next id when 0), or 0 on failure.
int scheduleEntry(const char* schedulerName, std::uint32_t fireTime, ScheduleCallback callback,
                  std::unique_ptr<RepeatCondStruct> repeatCondition, int id = 0);
bool unscheduleEntry(const char* schedulerName, int id);
// One pass over every scheduler (the scheduler thread's work; tests call it directly).
void runDueEntries();

// Tests: removes every scheduler and stops the thread.
void resetSchedulerForTests();
