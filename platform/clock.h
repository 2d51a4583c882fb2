// The one source of "now" and of every wait in the system.
//
// Three clocks can stand behind it:
//  - the system clock (the default);
//  - an accelerated clock: AMBRIK_CLOCK_SCALE=N makes time run N times faster
//    than real time from the first reading on (read once, by this module only);
//  - a manual clock that tests install and advance: nothing sleeps in real
//    time for it, waiters wake when the test moves the clock past their deadline.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>

namespace platform {

// Seconds since 1 January 1970 UTC.
std::int64_t nowSeconds();
// Milliseconds since 1 January 1970 UTC.
std::int64_t nowMillis();

// Sleeps for the given number of milliseconds of clock time.
void sleepMillis(std::int64_t ms);

// Waits on a condition variable until pred() holds or the clock reaches
// deadlineMillis (clock time). Returns pred() at the end. The lock must be held.
bool waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
               std::int64_t deadlineMillis, const std::function<bool()>& pred);
// As waitUntil, with a relative time-out; a negative time-out waits for ever.
bool waitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
             std::int64_t timeoutMillis, const std::function<bool()>& pred);

// Broken-down local time of a clock reading (seconds since 1970).
std::tm toLocalTime(std::int64_t seconds);
// Broken-down UTC time of a clock reading.
std::tm toUtcTime(std::int64_t seconds);
// Seconds since 1970 of a broken-down UTC time; fields out of their range
// carry over (a second of -1 is the minute before).
std::int64_t fromUtcTime(const std::tm& utc);
// Seconds since 1970 of a broken-down local time (mktime rules).
std::int64_t fromLocalTime(std::tm local);
// The local time zone's offset from UTC in minutes at the given instant
// (east positive, daylight saving included).
int localUtcOffsetMinutes(std::int64_t seconds);

// Test control.
void useManualClock(std::int64_t startMillis);  // installs a manual clock at the given time
void advanceClock(std::int64_t ms);              // manual clock only: moves time forward
void setClock(std::int64_t millis);              // manual clock only: sets the time
void useSystemClock();                           // back to the real (or scaled) clock
bool manualClockActive();
// Factor by which clock time runs faster than real time (1 for real time).
double clockScale();

}  // namespace platform
