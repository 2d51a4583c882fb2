// Events on std::mutex and std::condition_variable: the same code on every
// system, waiting through the clock module.
#include "platform/threads.h"

#include "platform/clock.h"

namespace platform {

Event::Event(bool manualReset, bool initiallySet) : manualReset_(manualReset), signalled_(initiallySet) {}

void Event::set() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        signalled_ = true;
    }
    if (manualReset_)
        cv_.notify_all();
    else
        cv_.notify_one();
}

void Event::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_ = false;
}

bool Event::wait(std::int64_t timeoutMillis) {
    std::unique_lock<std::mutex> lock(mutex_);
    bool set = waitFor(lock, cv_, timeoutMillis < 0 ? -1 : timeoutMillis, [this] { return signalled_; });
    if (set && !manualReset_) signalled_ = false;
    return set;
}

bool Event::isSet() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return signalled_;
}

}  // namespace platform
