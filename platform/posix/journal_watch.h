// The thread shared by the watchers: it waits for events, applies them to the
// volume under the volume's mutex, commits the records, and answers flush
// requests once everything queued before them has been applied.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/posix/journal_volume.h"

namespace platform::usnjournal {

class WatcherThread : public Watcher {
public:
    explicit WatcherThread(Volume& volume) : volume_(volume) {}
    void stop() override;
    void flush() override;

protected:
    // Starts the thread that waits on sourceFd.
    bool startThread(int sourceFd);
    // Appends what the source has queued to `buffer` (without blocking);
    // false when nothing came.
    virtual bool readEvents(std::vector<char>& buffer) = 0;
    // Applies the events of `buffer` with the volume's mutex held and returns
    // how many bytes it used; with `more`, an event that needs its partner
    // may be left for the next call.
    virtual std::size_t applyEvents(const std::vector<char>& buffer, bool more) = 0;
    virtual void closeSource() = 0;

    Volume& volume_;

private:
    void run();

    int sourceFd_ = -1;
    int wakeFd_ = -1;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable done_;
    std::uint64_t requested_ = 0;
    std::uint64_t completed_ = 0;
    bool stopping_ = false;
    bool exited_ = true;
};

// Largest amount of queued events read before they are applied.
constexpr std::size_t kLargestEventBatch = 4u << 20;

}  // namespace platform::usnjournal
