#include "agent/fim/file_worker.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "common/log.h"
#include "common/threads.h"
#include "platform/clock.h"
#include "platform/threads.h"

namespace {

struct Job {
    FileJob kind;
    std::function<void()> run;
};

enum class State { NotStarted, Running, Stopped };

struct Worker {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Job> queue;
    State state = State::NotStarted;
    ThreadHandle thread;
};

Worker& worker() {
    static Worker* w = new Worker;  // lives until the process ends, as the thread does
    return *w;
}

// Read without the mutex by the collection, between items and blocks.
std::atomic<bool> g_stopping{false};
thread_local bool t_onWorker = false;

void runJob(Job& job) {
    try {
        job.run();
    } catch (const FileWorkStopped&) {
        // The job has taken back what it stored; nothing more to do.
    }
}

void workerLoop() {
    t_onWorker = true;
    if (!platform::lowerCurrentThreadPriority())
        LogInfo("\n The file worker runs at normal priority (the system refused a lower one)");
    Worker& w = worker();
    for (;;) {
        Job job;
        {
            std::unique_lock lock(w.mutex);
            platform::waitFor(lock, w.changed, -1, [&] { return w.state != State::Running || !w.queue.empty(); });
            if (w.state != State::Running) break;
            job = std::move(w.queue.front());
            w.queue.pop_front();
        }
        runJob(job);
    }
}

}  // namespace

bool startFileWorker() {
    Worker& w = worker();
    {
        std::lock_guard lock(w.mutex);
        if (w.state == State::Running) return true;
        w.state = State::Running;
        g_stopping = false;
    }
    ThreadHandle thread = CreateNewThread(workerLoop);
    std::lock_guard lock(w.mutex);
    if (!thread) {
        w.state = State::NotStarted;
        return false;
    }
    w.thread = thread;
    return true;
}

bool stopFileWorker(std::int64_t timeoutMillis) {
    Worker& w = worker();
    ThreadHandle thread;
    {
        std::lock_guard lock(w.mutex);
        if (w.state != State::Running) {
            w.state = State::Stopped;
            return true;
        }
        w.state = State::Stopped;
        g_stopping = true;
        if (!w.queue.empty()) LogInfo("\n %d attribute jobs dropped at the stop", static_cast<int>(w.queue.size()));
        w.queue.clear();
        w.changed.notify_all();
        thread = w.thread;
    }
    if (!WaitForThread(thread, timeoutMillis)) {
        LogError("\n The attribute collection did not end within %lld ms of the stop",
                 static_cast<long long>(timeoutMillis));
        return false;
    }
    std::lock_guard lock(w.mutex);
    w.thread.reset();
    g_stopping = false;
    return true;
}

bool handOverFileJob(FileJob kind, std::function<void()> run) {
    Worker& w = worker();
    {
        std::lock_guard lock(w.mutex);
        if (w.state == State::Stopped) return false;
        if (w.state == State::Running) {
            for (const Job& waiting : w.queue)
                if (waiting.kind == kind && (kind == FileJob::Periodic || kind == FileJob::NewData)) return false;
            w.queue.push_back(Job{kind, std::move(run)});
            w.changed.notify_all();
            return true;
        }
    }
    Job job{kind, std::move(run)};
    runJob(job);
    return true;
}

void resetFileWorkerForTests() {
    Worker& w = worker();
    std::lock_guard lock(w.mutex);
    if (w.state == State::Stopped && !w.thread) w.state = State::NotStarted;
}

void throwIfFileWorkStopped() {
    if (t_onWorker && g_stopping.load(std::memory_order_relaxed)) throw FileWorkStopped{};
}
