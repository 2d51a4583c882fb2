#include "platform/posix/journal_watch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/clock.h"

namespace platform::usnjournal {

namespace {

void signal(int fd) {
    const std::uint64_t one = 1;
    if (write(fd, &one, sizeof one) < 0) {
        // The counter is already non-zero: the waiting thread wakes anyway.
    }
}

}  // namespace

bool WatcherThread::startThread(int sourceFd) {
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0) {
        closeSource();
        return false;
    }
    sourceFd_ = sourceFd;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        exited_ = false;
        stopping_ = false;
        readerDone_ = false;
    }
    reader_ = std::thread([this] { readLoop(); });
    applier_ = std::thread([this] { applyLoop(); });
    return true;
}

void WatcherThread::stop() {
    if (!reader_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    signal(wakeFd_);
    changed_.notify_all();
    reader_.join();
    applier_.join();
    closeSource();
    close(wakeFd_);
    wakeFd_ = -1;
}

void WatcherThread::flush() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (exited_) return;
    const std::uint64_t target = ++requested_;
    signal(wakeFd_);
    // Not a clock wait: the threads answer as soon as what was queued is
    // applied, and they always answer (or exit) after a wake-up.
    changed_.wait(lock, [&] { return applied_ >= target || exited_; });
}

void WatcherThread::hold(bool held, bool dropHeld) {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = held;
    if (!held) dropHeld_ = dropHeld;
    changed_.notify_all();
}

void WatcherThread::readLoop() {
    std::vector<char> chunk;
    for (;;) {
        pollfd fds[2] = {{sourceFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
        if (fds[1].revents & POLLIN) {
            std::uint64_t count;
            if (read(wakeFd_, &count, sizeof count) < 0) {
                // Nothing to clear.
            }
        }
        std::uint64_t request;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            request = requested_;
            if (stopping_) break;
        }
        for (;;) {
            bool drop = false;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [&] { return !held_ || stopping_; });
                if (stopping_) break;
                drop = std::exchange(dropHeld_, false);
            }
            if (drop) {
                do chunk.clear();
                while (readEvents(chunk));
                std::lock_guard<std::mutex> lock(mutex_);
                overflowPending_ = true;
                changed_.notify_all();
            }
            chunk.clear();
            const bool got = readEvents(chunk);
            std::unique_lock<std::mutex> lock(mutex_);
            if (got) queued_.insert(queued_.end(), chunk.begin(), chunk.end());
            queuedDrained_ = !got;
            if (!got) readThrough_ = request;
            changed_.notify_all();
            if (!got) break;
            // Let the applier catch up before holding more in memory.
            changed_.wait(lock, [&] { return queued_.size() < kLargestQueued || stopping_; });
            if (stopping_) break;
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    readerDone_ = true;
    changed_.notify_all();
}

void WatcherThread::applyLoop() {
    std::vector<char> buffer;
    for (;;) {
        std::vector<char> incoming;
        bool drained;
        bool overflow;
        std::uint64_t through;
        bool done;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            // The time-out lets idle open changes close and the catalogue be
            // saved; it runs on the clock module like every other wait.
            platform::waitFor(lock, changed_, 1000,
                              [&] {
                                  return !queued_.empty() || readThrough_ > applied_ || readerDone_ ||
                                         overflowPending_;
                              });
            incoming.swap(queued_);
            overflow = std::exchange(overflowPending_, false);
            drained = queuedDrained_;
            through = readThrough_;
            done = readerDone_;
            changed_.notify_all();  // room for the reader again
        }
        if (overflow) {
            // What was read before the loss is applied first, then the walk.
            std::lock_guard<std::mutex> lock(volume_.mutex);
            if (!buffer.empty()) applyEvents(buffer, false);
            buffer.clear();
            volume_.onOverflow();
        }
        buffer.insert(buffer.end(), incoming.begin(), incoming.end());
        if (!buffer.empty()) {
            std::lock_guard<std::mutex> lock(volume_.mutex);
            std::size_t used = applyEvents(buffer, !drained && !done);
            buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(used));
            if (!buffer.empty() && (drained || done)) {
                applyEvents(buffer, false);
                buffer.clear();
            }
        }
        {
            std::lock_guard<std::mutex> lock(volume_.mutex);
            volume_.walkUnwatched();
            volume_.commit();
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (buffer.empty() && queued_.empty() && through > applied_) applied_ = through;
        changed_.notify_all();
        if (done && queued_.empty()) break;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    exited_ = true;
    changed_.notify_all();
}

}  // namespace platform::usnjournal
