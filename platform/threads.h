// Threads and events. Every wait goes through the clock module, so a test on
// the manual clock decides when a time-out has passed.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace platform {

// A Windows-style event. A manual-reset event stays set until reset() and
// releases every waiter; an auto-reset event releases one waiter and
// clears itself.
class Event {
public:
    explicit Event(bool manualReset, bool initiallySet = false);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void set();
    void reset();
    // Waits until the event is set or timeoutMillis of clock time pass
    // (-1 or any negative value waits for ever). true when it was set.
    bool wait(std::int64_t timeoutMillis);
    // Whether the event is set now (does not clear an auto-reset event).
    bool isSet() const;

private:
    const bool manualReset_;
    bool signalled_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
};

// Puts the calling thread at background priority: the lowest CPU priority
// and a low I/O priority (Linux: nice 19 and the lowest best-effort I/O level
// of this thread alone; Windows: the thread's background mode). false when
// the system refused; the thread then keeps its priority.
bool lowerCurrentThreadPriority();

}  // namespace platform
