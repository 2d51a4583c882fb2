#include "platform/posix/journal_watch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

namespace platform::usnjournal {

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
    }
    thread_ = std::thread([this] { run(); });
    return true;
}

void WatcherThread::stop() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    const std::uint64_t one = 1;
    if (write(wakeFd_, &one, sizeof one) < 0) {
        // The counter cannot overflow with one writer per request; nothing to do.
    }
    thread_.join();
    closeSource();
    close(wakeFd_);
    wakeFd_ = -1;
}

void WatcherThread::flush() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (exited_) return;
    const std::uint64_t target = ++requested_;
    const std::uint64_t one = 1;
    if (write(wakeFd_, &one, sizeof one) < 0) {
        // Already signalled: the thread will see the request anyway.
    }
    // Not a clock wait: the thread answers as soon as it has applied what was
    // queued, and it always answers (or exits) after a wake-up.
    done_.wait(lock, [&] { return completed_ >= target || exited_; });
}

void WatcherThread::run() {
    std::vector<char> buffer;
    for (;;) {
        pollfd fds[2] = {{sourceFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        // The time-out lets idle open changes close and the catalogue be saved.
        const int n = poll(fds, 2, 1000);
        if (n < 0 && errno != EINTR) break;
        if (fds[1].revents & POLLIN) {
            std::uint64_t count;
            if (read(wakeFd_, &count, sizeof count) < 0) {
                // Spurious wake-up; carry on.
            }
        }
        std::uint64_t request;
        bool stopping;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            request = requested_;
            stopping = stopping_;
        }
        readEvents(buffer);
        for (;;) {
            std::size_t used;
            {
                std::lock_guard<std::mutex> lock(volume_.mutex);
                used = applyEvents(buffer, true);
            }
            buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(used));
            if (buffer.empty()) break;
            if (!readEvents(buffer)) {
                std::lock_guard<std::mutex> lock(volume_.mutex);
                used = applyEvents(buffer, false);
                buffer.clear();
                break;
            }
        }
        {
            std::lock_guard<std::mutex> lock(volume_.mutex);
            volume_.commit();
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            completed_ = request;
            done_.notify_all();
            if (stopping) break;
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    exited_ = true;
    done_.notify_all();
}

}  // namespace platform::usnjournal
