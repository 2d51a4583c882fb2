#include "common/threads.h"

#include <exception>
#include <system_error>
#include <thread>

#include "common/log.h"

ThreadHandle CreateNewThread(std::function<void()> routine) {
    LogTrace("\n\t@@@@@ Inside CreateNewThread() @@@@@\n");
    if (!routine) {
        LogInfo("Unable to create Thread\n");
        return nullptr;
    }
    auto record = std::make_shared<ThreadRecord>();
    try {
        // The thread keeps its own reference, so the record outlives a
        // caller that drops the handle.
        std::thread thread([record, routine = std::move(routine)] {
            try {
                routine();
            } catch (const std::exception& e) {
                LogError("\n Thread routine ended by an exception: %s\n", e.what());
            } catch (...) {
                LogError("\n Thread routine ended by an exception\n");
            }
            record->finished.set();
        });
        record->id = thread.get_id();
        thread.detach();
    } catch (const std::system_error&) {
        LogInfo("Unable to create Thread\n");
        return nullptr;
    }
    return record;
}

ThreadHandle CreateNewThread(void (*routine)(void*), void* argument) {
    if (!routine) return CreateNewThread(std::function<void()>());
    return CreateNewThread(std::function<void()>([routine, argument] { routine(argument); }));
}

bool WaitForThread(const ThreadHandle& thread, std::int64_t timeoutMillis) {
    return thread && thread->finished.wait(timeoutMillis);
}

std::mutex& ResourceTableMutex() {
    static std::mutex mutex;
    return mutex;
}

bool InitMutex() {
    LogTrace("\n\t@@@@@ Inside InitMutex() @@@@@\n");
    ResourceTableMutex();
    return true;
}
