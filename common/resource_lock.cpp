#include "common/resource_lock.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "common/log.h"
#include "common/threads.h"
#include "platform/clock.h"

namespace {

std::vector<const void*>& lockedObjects() {
    static std::vector<const void*> objects;
    return objects;
}

std::atomic<std::int32_t> g_backoffMicros{0};

// The longest sleep between two tries. The counter grows for the life of
// the process; without a cap a long-running agent would sleep seconds at
// every contended lock.
constexpr std::int32_t kMaxBackoffMillis = 1;

// Grows the counter by 10 with 32-bit wrap-around, skipping 0 (-10 becomes 10).
std::int32_t growBackoff() {
    std::int32_t current = g_backoffMicros.load();
    std::int32_t next;
    do {
        next = current == -10 ? 10
                              : static_cast<std::int32_t>(static_cast<std::uint32_t>(current) + 10u);
    } while (!g_backoffMicros.compare_exchange_weak(current, next));
    return next;
}

}  // namespace

int SynchronizeObject(const void* object) {
    LogTrace("\n\t@@@@@ Inside SynchronizeObject() @@@@@ \n");
    auto& objects = lockedObjects();
    if (std::find(objects.begin(), objects.end(), object) != objects.end()) return RESOURCE_BUSY;
    try {
        objects.push_back(object);
    } catch (...) {
        return RESOURCE_BUSY;  // the caller retries
    }
    return RESOURCE_LOCKED;
}

int UnsynchronizeObject(const void* object) {
    LogTrace("\n\t@@@@@ Inside UnsynchronizeObject() @@@@@ \n");
    auto& objects = lockedObjects();
    auto it = std::find(objects.begin(), objects.end(), object);
    if (it == objects.end()) return RESOURCE_BUSY;
    objects.erase(it);
    return RESOURCE_UNLOCKED;
}

int HandleResource(const void* object, int operation) {
    // The table mutex is the one InitMutex sets up (a static object, so it
    // also exists when a lock is taken before InitMutex has run).
    std::lock_guard<std::mutex> hold(ResourceTableMutex());
    LogTrace("\n\t@@@@@ Inside HandleResource() @@@@@ \n");
    if (operation == RESOURCE_LOCK) return SynchronizeObject(object);
    if (operation == RESOURCE_UNLOCK) return UnsynchronizeObject(object);
    return 0;
}

void SynchronizeResource(const void* object) {
    LogTrace("\n\t@@@@@ Inside SynchronizeResource() @@@@@ \n");
    while (HandleResource(object, RESOURCE_LOCK) == RESOURCE_BUSY) {
        // The counter is shared and never reset: the first hundred waits of
        // the process only yield, every later one lasts 1 ms.
        std::int32_t micros = growBackoff();
        platform::sleepMillis(micros > 0 ? std::min(micros / 1000, kMaxBackoffMillis) : 0);
    }
}

void UnsynchronizeResource(const void* object) {
    LogTrace("\n\t@@@@@ Inside UnsynchronizeResource() @@@@@ \n");
    if (HandleResource(object, RESOURCE_UNLOCK) != RESOURCE_UNLOCKED)
        LogError("Alert! something went wrong...\n");
}

std::int32_t ResourceLockBackoffMicros() { return g_backoffMicros.load(); }
