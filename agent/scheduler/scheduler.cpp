#include "agent/scheduler/scheduler.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/threads.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "platform/threads.h"

namespace {

struct ScheduleEntry {
    std::uint32_t fireTime = 0;
    ScheduleCallback callback;
    int id = 0;
    std::unique_ptr<RepeatCondStruct> repeatCondition;
};

struct Scheduler {
    std::string name;
    // Ascending fire time; equal times keep insertion order.
    std::list<ScheduleEntry> entries;
    int nextId = 1;
};

// The registry of schedulers in creation order. One lock guards the registry
// and every entry list; it is never held while a callback runs.
struct SchedulerRegistry {
    std::mutex lock;
    bool initialised = false;
    std::list<Scheduler> schedulers;
};

SchedulerRegistry& registry() {
    static SchedulerRegistry r;
    return r;
}

std::atomic<bool> g_threadStarted{false};
ThreadHandle g_thread;
// Ends the thread; cuts its pause between passes short.
platform::Event g_stopThread(true);

Scheduler* findScheduler(const char* name) {
    auto& r = registry();
    if (!r.initialised) return nullptr;
    for (auto& s : r.schedulers)
        if (platform::equalsIgnoreCase(s.name, name)) return &s;
    return nullptr;
}

// Inserts before the first entry whose fire time is strictly greater.
int insertEntry(Scheduler& s, ScheduleEntry entry) {
    if (entry.id == 0) entry.id = s.nextId++;
    int id = entry.id;
    auto pos = std::find_if(s.entries.begin(), s.entries.end(),
                            [&](const ScheduleEntry& e) { return e.fireTime > entry.fireTime; });
    s.entries.insert(pos, std::move(entry));
    return id;
}

std::int64_t intervalSeconds(const PeriodicStruct& p) {
    std::int64_t interval = p.interval;
    if (p.unit == kUnitHours) return interval * 3600;
    if (p.unit == kUnitMinutes) return interval * 60;
    return interval;
}

const PeriodicStruct* periodicOf(const ScheduleEntry& e) {
    if (!e.repeatCondition || e.repeatCondition->kind != 1) return nullptr;
    return e.repeatCondition->detail.get();
}

std::int64_t endTimeSeconds(const PeriodicStruct& p) {
    return platform::fromLocalTime(*p.endTime);
}

// Runs the due entries of one scheduler. The entry is taken off the list
// while its callback runs, so adds and removes made meanwhile (by the callback
// itself or by another thread) never touch it; it is re-armed afterwards
// unless it was unscheduled in the meantime.
void runScheduler(Scheduler& s, std::unique_lock<std::mutex>& lock, int& unscheduledWhileRunning,
                  int& runningId) {
    if (s.entries.empty()) return;
    const std::uint32_t now = static_cast<std::uint32_t>(platform::nowSeconds());
    for (;;) {
        if (s.entries.empty() || s.entries.front().fireTime > now) return;
        ScheduleEntry entry = std::move(s.entries.front());
        s.entries.pop_front();

        const PeriodicStruct* periodic = periodicOf(entry);
        if (periodic && periodic->endTime &&
            static_cast<std::int64_t>(entry.fireTime) > endTimeSeconds(*periodic))
            continue;  // past its end time: removed without running

        if (entry.callback) {
            runningId = entry.id;
            unscheduledWhileRunning = 0;
            lock.unlock();
            entry.callback();
            lock.lock();
            runningId = 0;
            if (unscheduledWhileRunning == entry.id) continue;  // unscheduled during its run
        }

        // Without a periodic detail an entry runs once.
        PeriodicStruct* p = entry.repeatCondition && entry.repeatCondition->kind == 1
                                ? entry.repeatCondition->detail.get()
                                : nullptr;
        if (p == nullptr) continue;
        std::int64_t interval = intervalSeconds(*p);
        if (p->repeatCount == 1) continue;
        if (p->endTime && endTimeSeconds(*p) < static_cast<std::int64_t>(entry.fireTime) + interval)
            continue;
        if (p->repeatCount > 1) --p->repeatCount;
        entry.fireTime = static_cast<std::uint32_t>(entry.fireTime + interval);
        insertEntry(s, std::move(entry));
    }
}

// The id of the entry whose callback is running, and the id unscheduled
// while it ran (so the pass does not re-arm it).
int g_runningId = 0;
int g_unscheduledWhileRunning = 0;

void schedulerThreadMain() {
    for (;;) {
        runDueEntries();
        if (g_stopThread.wait(1000)) return;
    }
}

}  // namespace

std::unique_ptr<RepeatCondStruct> makePeriodic(std::int32_t interval, std::uint8_t unit,
                                               std::int32_t repeatCount) {
    auto detail = std::make_unique<PeriodicStruct>();
    detail->interval = interval;
    detail->unit = unit;
    detail->repeatCount = repeatCount;
    auto cond = std::make_unique<RepeatCondStruct>();
    cond->kind = 1;
    cond->detail = std::move(detail);
    return cond;
}

bool createScheduler(const char* name) {
    if (name == nullptr) return false;
    auto& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    r.schedulers.push_back(Scheduler{name, {}, 1});
    return true;
}

bool initScheduler() {
    {
        auto& r = registry();
        std::lock_guard<std::mutex> guard(r.lock);
        if (r.initialised) return true;
        r.initialised = true;
    }
    return createScheduler("DEFAULT");
}

bool startSchedulerThread() {
    if (g_threadStarted.exchange(true)) return true;
    g_stopThread.reset();
    g_thread = CreateNewThread(schedulerThreadMain);
    if (!g_thread) {
        g_threadStarted.store(false);
        return false;
    }
    return true;
}

int scheduleEntry(const char* schedulerName, std::uint32_t fireTime, ScheduleCallback callback,
                  std::unique_ptr<RepeatCondStruct> repeatCondition, int id) {
    auto& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    Scheduler* s = findScheduler(schedulerName ? schedulerName : "DEFAULT");
    if (s == nullptr) return 0;
    ScheduleEntry entry;
    entry.fireTime = fireTime;
    entry.callback = std::move(callback);
    entry.id = id;
    entry.repeatCondition = std::move(repeatCondition);
    return insertEntry(*s, std::move(entry));
}

bool unscheduleEntry(const char* schedulerName, int id) {
    if (schedulerName == nullptr) return false;
    ScheduleEntry removed;  // released after the lock is let go
    {
        auto& r = registry();
        std::lock_guard<std::mutex> guard(r.lock);
        Scheduler* s = findScheduler(schedulerName);
        if (s == nullptr) return false;
        auto it = std::find_if(s->entries.begin(), s->entries.end(),
                               [&](const ScheduleEntry& e) { return e.id == id; });
        if (it == s->entries.end()) {
            // The entry may be off the list because its callback is running now.
            if (id != 0 && id == g_runningId) {
                g_unscheduledWhileRunning = id;
                return true;
            }
            return false;
        }
        removed = std::move(*it);
        s->entries.erase(it);
    }
    return true;
}

void runDueEntries() {
    auto& r = registry();
    std::unique_lock<std::mutex> lock(r.lock);
    if (!r.initialised) return;
    for (auto& s : r.schedulers) runScheduler(s, lock, g_unscheduledWhileRunning, g_runningId);
}

void resetSchedulerForTests() {
    if (g_threadStarted.exchange(false)) {
        g_stopThread.set();
        WaitForThread(g_thread, -1);
        g_thread.reset();
    }
    auto& r = registry();
    std::list<Scheduler> old;
    {
        std::lock_guard<std::mutex> guard(r.lock);
        old.swap(r.schedulers);
        r.initialised = false;
        g_runningId = 0;
        g_unscheduledWhileRunning = 0;
    }
}
