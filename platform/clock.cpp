#include "platform/clock.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace platform {
namespace {

using SteadyClock = std::chrono::steady_clock;

std::int64_t realMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Scale of the accelerated clock, read once from AMBRIK_CLOCK_SCALE.
struct ScaledOrigin {
    double scale = 1.0;
    std::int64_t realStart = 0;
    SteadyClock::time_point steadyStart;
    ScaledOrigin() {
        if (const char* text = std::getenv("AMBRIK_CLOCK_SCALE")) {
            char* end = nullptr;
            double value = std::strtod(text, &end);
            if (end != text && value >= 1.0 && value <= 100000.0) scale = value;
        }
        realStart = realMillis();
        steadyStart = SteadyClock::now();
    }
};

const ScaledOrigin& origin() {
    static const ScaledOrigin o;
    return o;
}

std::atomic<bool> g_manual{false};
std::atomic<std::int64_t> g_manualMillis{0};

// Real-time step with which waiters on the manual clock look at it again.
constexpr auto kManualPoll = std::chrono::milliseconds(1);

}  // namespace

double clockScale() { return g_manual.load() ? 1.0 : origin().scale; }

std::int64_t nowMillis() {
    if (g_manual.load()) return g_manualMillis.load();
    const ScaledOrigin& o = origin();
    if (o.scale == 1.0) return realMillis();
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() -
                                                                         o.steadyStart)
                       .count();
    return o.realStart + static_cast<std::int64_t>(static_cast<double>(elapsed) * o.scale);
}

std::int64_t nowSeconds() {
    std::int64_t ms = nowMillis();
    return ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
}

void sleepMillis(std::int64_t ms) {
    if (ms <= 0) {
        std::this_thread::yield();
        return;
    }
    if (g_manual.load()) {
        std::int64_t deadline = nowMillis() + ms;
        while (g_manual.load() && nowMillis() < deadline) std::this_thread::sleep_for(kManualPoll);
        return;
    }
    double scale = origin().scale;
    auto realMs = static_cast<std::int64_t>(static_cast<double>(ms) / scale);
    std::this_thread::sleep_for(std::chrono::milliseconds(realMs > 0 ? realMs : 1));
}

bool waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
               std::int64_t deadlineMillis, const std::function<bool()>& pred) {
    for (;;) {
        if (pred()) return true;
        std::int64_t now = nowMillis();
        if (now >= deadlineMillis) return false;
        if (g_manual.load()) {
            cv.wait_for(lock, kManualPoll);
            continue;
        }
        double scale = origin().scale;
        auto realMs = static_cast<std::int64_t>(static_cast<double>(deadlineMillis - now) / scale);
        if (realMs < 1) realMs = 1;
        // Wake at least every 200 ms so that a clock switched by a test is noticed.
        if (realMs > 200) realMs = 200;
        cv.wait_for(lock, std::chrono::milliseconds(realMs));
    }
}

bool waitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
             std::int64_t timeoutMillis, const std::function<bool()>& pred) {
    if (timeoutMillis < 0) {
        while (!pred()) cv.wait_for(lock, std::chrono::milliseconds(200));
        return true;
    }
    return waitUntil(lock, cv, nowMillis() + timeoutMillis, pred);
}

std::tm toLocalTime(std::int64_t seconds) {
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm out{};
#if defined(_WIN32)
    localtime_s(&out, &t);
#else
    localtime_r(&t, &out);
#endif
    return out;
}

std::tm toUtcTime(std::int64_t seconds) {
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm out{};
#if defined(_WIN32)
    gmtime_s(&out, &t);
#else
    gmtime_r(&t, &out);
#endif
    return out;
}

std::int64_t fromUtcTime(const std::tm& utc) {
    // Days from 1970-01-01 of a proleptic Gregorian date (month carried
    // into the year first, so out-of-range months work too).
    std::int64_t year = static_cast<std::int64_t>(utc.tm_year) + 1900 + utc.tm_mon / 12;
    std::int64_t month = utc.tm_mon % 12;
    if (month < 0) {
        month += 12;
        --year;
    }
    const std::int64_t y = month < 2 ? year - 1 : year;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yearOfEra = y - era * 400;
    const std::int64_t m = month < 2 ? month + 10 : month - 2;  // March is 0
    const std::int64_t dayOfYear = (153 * m + 2) / 5;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const std::int64_t days = era * 146097 + dayOfEra - 719468 + (utc.tm_mday - 1);
    return days * 86400 + static_cast<std::int64_t>(utc.tm_hour) * 3600 +
           static_cast<std::int64_t>(utc.tm_min) * 60 + utc.tm_sec;
}

std::int64_t fromLocalTime(std::tm local) { return static_cast<std::int64_t>(std::mktime(&local)); }

int localUtcOffsetMinutes(std::int64_t seconds) {
    std::tm local = toLocalTime(seconds);
#if defined(_WIN32)
    // The local broken-down time read back as if it were UTC gives the offset.
    return static_cast<int>((_mkgmtime(&local) - static_cast<std::time_t>(seconds)) / 60);
#else
    return static_cast<int>(local.tm_gmtoff / 60);
#endif
}

void useManualClock(std::int64_t startMillis) {
    g_manualMillis.store(startMillis);
    g_manual.store(true);
}

void advanceClock(std::int64_t ms) { g_manualMillis.fetch_add(ms); }

void setClock(std::int64_t millis) { g_manualMillis.store(millis); }

void useSystemClock() { g_manual.store(false); }

bool manualClockActive() { return g_manual.load(); }

}  // namespace platform
