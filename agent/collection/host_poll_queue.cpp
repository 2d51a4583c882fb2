// Collection timers, the host poll wait queue, the dispatcher and the five
// collector threads.

#include "agent/collection/host_poll_queue.h"

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "agent/collection/wmi_query.h"
#include "agent/hosts/host_cache.h"
#include "agent/scheduler/scheduler.h"
#include "agent/server/http_client.h"
#include "agent/server/protocol.h"
#include "common/log.h"
#include "common/threads.h"
#include "platform/clock.h"

namespace {

constexpr std::int64_t kDispatchPauseMillis = 3000;
constexpr std::int64_t kAllBusyPauseMillis = 10000;
constexpr std::int64_t kCollectorPauseMillis = 5000;
constexpr int kAllBusyReportAfter = 100;

// The ring of waiting hosts (slot numbers, -1 for a free place). A count
// tells a full ring from an empty one, since head equals tail in both.
struct PollQueue {
    std::mutex lock;
    std::array<int, kHostPollQueueSize> places{};
    std::int32_t head = 0;
    std::int32_t tail = 0;
    int count = 0;
    int consecutiveWaits = 0;
    PollQueue() { places.fill(-1); }
};

PollQueue& queue() {
    static PollQueue q;
    return q;
}

std::array<CollectorSlot, kCollectorCount>& collectors() {
    static std::array<CollectorSlot, kCollectorCount> slots;
    static const bool numbered = [] {
        for (int i = 0; i < kCollectorCount; ++i)
            slots[static_cast<std::size_t>(i)].workerNumber = static_cast<std::int16_t>(i);
        return true;
    }();
    (void)numbered;
    return slots;
}

// The dispatcher's and the collectors' threads and their stop request.
struct ThreadControl {
    std::mutex lock;  // the threads and the running flag
    platform::Event stop{true};  // ends the threads; cuts every pause short
    ThreadHandle dispatcher;
    bool collectorsRunning = false;
};

ThreadControl& control() {
    static ThreadControl c;
    return c;
}

std::mutex g_runLock;
CollectHostEventsFunction g_collectHostEvents = collectHostEvents;

bool stopRequested() { return control().stop.isSet(); }

unsigned addressText(const void* p) { return static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(p)); }

std::string hostNameOf(HostSlot& slot) {
    std::string name;
    withHostSlot(slot, [&](HostSlot& s) { name = s.hostName; });
    return name;
}

void dispatcherMain() {
    for (;;) {
        const std::int64_t pauseMillis = dispatchOnce();
        if (control().stop.wait(pauseMillis)) return;
    }
}

void collectorMain(int workerNumber) {
    CollectorSlot& slot = collectorSlot(workerNumber);
    LogInfo("\n Wmi data collection Thread created with id %d", workerNumber);
    for (;;) {
        if (stopRequested()) return;
        collectOnce(workerNumber);
        // A hand-over or a stop sets the wake event and cuts the pause short.
        if (slot.state.load(std::memory_order_acquire) != kCollectorAssigned) slot.wake.wait(kCollectorPauseMillis);
    }
}

}  // namespace

CollectorSlot& collectorSlot(int workerNumber) { return collectors()[static_cast<std::size_t>(workerNumber)]; }

void setCollectHostEvents(CollectHostEventsFunction run) {
    std::lock_guard<std::mutex> lock(g_runLock);
    g_collectHostEvents = std::move(run);
}

void scheduleWinEventCollection(std::int32_t slotNumber) {
    LogError("\n scheduleWinEventCollection for id %d", slotNumber);
    if (slotNumber < 0 || slotNumber >= MAX_HOSTS) return;
    HostSlot& host = hostSlot(slotNumber);
    bool enqueue = false;
    withHostSlot(host, [&](HostSlot& slot) {
        if (slot.inUse == 0) return;  // the host went while its timer fired
        if (slot.collectionInProgress != 0) {
            LogError("\n Skipping scheduling as the previous run is not complete for Host %s in location %x",
                     slot.hostName.c_str(), addressText(&slot));
            setNextScanTimeHeld(slot);
            return;
        }
        LogError("\n scheduleWinEventCollection for Host %s in location %x", slot.hostName.c_str(),
                 addressText(&slot));
        if (slot.collectionEnabled == 0) {
            LogError("\n Log collection is disabled for Host : %s ", slot.hostName.c_str());
            return;
        }
        enqueue = true;
    });
    if (enqueue) addHostToPollQueue(host);
}

void addHostToPollQueue(HostSlot& slot) {
    const int slotNumber = hostSlotIndex(slot);
    if (slotNumber < 0) return;
    const std::string name = hostNameOf(slot);
    PollQueue& q = queue();
    std::lock_guard<std::mutex> lock(q.lock);
    LogInfo("\n Current Event Poll List is %d %d ", q.head, q.tail);
    for (int place : q.places) {
        if (place == slotNumber) {
            LogError("\n Host %s is already added to polling list %x ", name.c_str(), addressText(&slot));
            return;
        }
    }
    for (const CollectorSlot& c : collectors()) {
        if (c.state.load(std::memory_order_acquire) == kCollectorAssigned &&
            c.assignedHost.load(std::memory_order_acquire) == &slot) {
            LogError("\n Host %s polling is already in progress in thread %d at %x", name.c_str(),
                     static_cast<int>(c.workerNumber), addressText(&slot));
            return;
        }
    }
    if (q.count >= kHostPollQueueSize) {
        // Every place holds a waiting host: storing one more would overwrite
        // the head and make the ring read as empty.
        LogError("\n Host poll queue is full, host %s is not added", name.c_str());
        return;
    }
    if (q.tail >= kHostPollQueueSize) q.tail = 0;
    q.places[static_cast<std::size_t>(q.tail)] = slotNumber;
    ++q.count;
    ++q.tail;
    if (q.tail >= kHostPollQueueSize) {
        LogError("\n hostPollWaitQueueTail turning the queue tail \n");
        q.tail = 0;
    }
    LogInfo("\n Current Event Poll List is %d %d ", q.head, q.tail);
}

void sendHostStatus(HostSlot& slot) {
    std::int64_t hostId = 0;
    std::int16_t status = 0;
    std::int64_t nextScan = 0;
    withHostSlot(slot, [&](HostSlot& s) {
        hostId = s.hostId;
        status = s.status;
        nextScan = s.nextScanTime;
    });
    ResponseBuffer response;
    const std::string url =
        RequestUrl<Request::HostStatus>(hostId, status, static_cast<std::int32_t>(nextScan));
    if (HttpGetToBuffer(url, response) == 0)
        LogInfo("\n Status successfully updated");
    else
        LogInfo("\n Status update failed");
}

std::int64_t dispatchOnce() {
    PollQueue& q = queue();
    std::unique_lock<std::mutex> lock(q.lock);
    if (q.head >= kHostPollQueueSize) {
        LogError("\n hostPollWaitQueueHead turning the queue head \n");
        q.head = 0;
    }
    if (q.count == 0) return kDispatchPauseMillis;

    const int slotNumber = q.places[static_cast<std::size_t>(q.head)];
    HostSlot& host = hostSlot(slotNumber);
    // Lock order: the queue, then a slot's guard (no one takes them the other way).
    const std::string name = hostNameOf(host);

    for (CollectorSlot& c : collectors()) {
        if (c.state.load(std::memory_order_acquire) == kCollectorAssigned) continue;
        LogError("\n Assigning thread %d to host %s for WMI poll", static_cast<int>(c.workerNumber), name.c_str());
        c.assignedHost.store(&host, std::memory_order_release);
        c.state.store(kCollectorAssigned, std::memory_order_release);
        LogError("\n deleting host %s on %d", name.c_str(), q.head);
        q.places[static_cast<std::size_t>(q.head)] = -1;
        --q.count;
        ++q.head;
        q.consecutiveWaits = 0;
        lock.unlock();
        // The event stays set until the collector waits, so a collector
        // that has not begun to wait yet is not missed.
        c.wake.set();
        return kDispatchPauseMillis;
    }

    // Every collector is busy: the head host keeps its place.
    if (q.consecutiveWaits++ > kAllBusyReportAfter) {
        LogError("\n no free threads waitign %s", name.c_str());
        for (CollectorSlot& c : collectors()) {
            HostSlot* assigned = c.assignedHost.load(std::memory_order_acquire);
            if (c.state.load(std::memory_order_acquire) == kCollectorAssigned && assigned != nullptr)
                LogError("\n thread %d assigned to host %s for WMI poll", static_cast<int>(c.workerNumber),
                         hostNameOf(*assigned).c_str());
        }
        q.consecutiveWaits = 0;
    }
    return kAllBusyPauseMillis + kDispatchPauseMillis;
}

bool collectOnce(int workerNumber) {
    CollectorSlot& c = collectorSlot(workerNumber);
    if (c.state.load(std::memory_order_acquire) != kCollectorAssigned) return false;
    HostSlot* host = c.assignedHost.load(std::memory_order_acquire);
    if (host != nullptr && beginHostCollection(*host)) {
        // From here until endHostCollection the main thread leaves the
        // slot's fields and rule lists alone, so the run reads them freely.
        if (ServerIsUp()) {
            LogError("\n Event collection started for host [%s] at thread [%d]", host->hostName.c_str(), workerNumber);
            CollectHostEventsFunction run;
            {
                std::lock_guard<std::mutex> lock(g_runLock);
                run = g_collectHostEvents;
            }
            if (run) run(*host, c);
            LogError("\n Event collection closed for host [%s] at thread [%d]", host->hostName.c_str(), workerNumber);
            setNextScanTime(*host);
            sendHostStatus(*host);
        } else {
            LogError("\n Server down. Skipping Collection for host [%s] at thread [%d]", host->hostName.c_str(),
                     workerNumber);
        }
        endHostCollection(*host);
    } else {
        // The host was deleted after it was queued.
        LogError("\n Host slot no longer in use. Skipping Collection at thread [%d]", workerNumber);
    }
    c.assignedHost.store(nullptr, std::memory_order_release);
    c.state.store(kCollectorIdle, std::memory_order_release);
    return true;
}

bool startCollectorThreads() {
    setHostTimerCallback(scheduleWinEventCollection);
    ThreadControl& ctl = control();
    std::lock_guard<std::mutex> lock(ctl.lock);
    if (ctl.collectorsRunning) return true;
    ctl.stop.reset();
    for (int i = 0; i < kCollectorCount; ++i) {
        CollectorSlot& c = collectorSlot(i);
        c.assignedHost.store(nullptr);
        c.state.store(kCollectorIdle);
        c.thread = CreateNewThread([i] { collectorMain(i); });
        if (!c.thread) return false;
    }
    ctl.collectorsRunning = true;
    return true;
}

bool startPollDispatcher() {
    ThreadControl& ctl = control();
    std::lock_guard<std::mutex> lock(ctl.lock);
    if (ctl.dispatcher) return true;
    ctl.stop.reset();
    ctl.dispatcher = CreateNewThread(dispatcherMain);
    return ctl.dispatcher != nullptr;
}

void stopCollectionThreads() {
    ThreadControl& ctl = control();
    ctl.stop.set();
    for (CollectorSlot& c : collectors()) c.wake.set();
    WaitForThread(ctl.dispatcher, -1);
    ctl.dispatcher.reset();
    for (CollectorSlot& c : collectors()) {
        WaitForThread(c.thread, -1);
        c.thread.reset();
    }
    std::lock_guard<std::mutex> lock(ctl.lock);
    ctl.collectorsRunning = false;
    ctl.stop.reset();
}

HostPollQueueView hostPollQueueView() {
    PollQueue& q = queue();
    std::lock_guard<std::mutex> lock(q.lock);
    HostPollQueueView view;
    view.head = q.head;
    view.tail = q.tail;
    std::int32_t at = q.head >= kHostPollQueueSize ? 0 : q.head;
    for (int n = 0; n < q.count; ++n) {
        view.waiting.push_back(q.places[static_cast<std::size_t>(at)]);
        at = (at + 1) % kHostPollQueueSize;
    }
    return view;
}

void resetHostPollQueue() {
    PollQueue& q = queue();
    std::lock_guard<std::mutex> lock(q.lock);
    q.places.fill(-1);
    q.head = q.tail = q.count = q.consecutiveWaits = 0;
    for (CollectorSlot& c : collectors()) {
        c.assignedHost.store(nullptr);
        c.state.store(kCollectorIdle);
    }
}
