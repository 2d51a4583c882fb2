// The threads shared by the watchers. A reader thread only moves queued
// events from the kernel into memory, so a burst does not overflow the
// kernel's queue while events are being applied; an applier thread applies
// them to the volume under the volume's mutex and commits the records. A
// flush request is answered once everything queued before it is applied.
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
    void hold(bool held, bool dropHeld) override;

protected:
    // Starts the threads that wait on sourceFd.
    bool startThread(int sourceFd);
    // Appends what the source has queued to `buffer` (without blocking, at
    // most about kLargestEventBatch bytes); false when nothing came.
    virtual bool readEvents(std::vector<char>& buffer) = 0;
    // Applies the events of `buffer` with the volume's mutex held and returns
    // how many bytes it used; with `more`, an event that needs its partner
    // may be left for the next call.
    virtual std::size_t applyEvents(const std::vector<char>& buffer, bool more) = 0;
    virtual void closeSource() = 0;

    Volume& volume_;

private:
    void readLoop();
    void applyLoop();

    int sourceFd_ = -1;
    int wakeFd_ = -1;
    std::thread reader_;
    std::thread applier_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<char> queued_;      // read, not applied yet
    bool queuedDrained_ = false;    // the source was empty after the last read
    std::uint64_t requested_ = 0;   // flush requests made
    std::uint64_t readThrough_ = 0; // requests whose events are all in queued_ (or applied)
    std::uint64_t applied_ = 0;     // requests whose events are all applied
    bool stopping_ = false;
    bool held_ = false;             // the reader leaves events in the kernel
    bool dropHeld_ = false;         // at release, drop them as lost
    bool overflowPending_ = false;  // dropped events wait for the applier's walk
    bool readerDone_ = false;
    bool exited_ = true;
};

// Largest amount of queued events read before they are handed on, and the
// most held in memory before the reader waits for the applier.
constexpr std::size_t kLargestEventBatch = 4u << 20;
constexpr std::size_t kLargestQueued = 256u << 20;

}  // namespace platform::usnjournal
