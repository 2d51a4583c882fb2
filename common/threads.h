// Tamsel's thread start and the mutex of the resource lock table.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/threads.h"

// A started thread. The thread runs detached from the handle: dropping the
// handle never blocks and never ends the thread. finished is set when the
// routine returns.
struct ThreadRecord {
    platform::Event finished{true};
    std::thread::id id;
};
using ThreadHandle = std::shared_ptr<ThreadRecord>;

// Starts routine on a new thread with the default stack size, running at
// once. Logs "\n\t@@@@@ Inside CreateNewThread() @@@@@\n" (trace); returns
// none after logging "Unable to create Thread\n" when no thread can be made.
ThreadHandle CreateNewThread(std::function<void()> routine);
ThreadHandle CreateNewThread(void (*routine)(void*), void* argument);
// Waits up to timeoutMillis of clock time (negative: for ever) for the
// thread's routine to return. true when it has; false for none.
bool WaitForThread(const ThreadHandle& thread, std::int64_t timeoutMillis);

// Logs "\n\t@@@@@ Inside InitMutex() @@@@@\n" (trace) and makes sure the
// resource lock table's mutex exists. Called once at start-up.
bool InitMutex();
// The mutex that guards the resource lock table (unnamed, initially unowned).
std::mutex& ResourceTableMutex();
