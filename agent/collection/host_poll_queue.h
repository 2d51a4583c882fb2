// When each monitored host is collected and by which thread: one periodic
// timer per host puts it into the host poll wait queue (25 places), the
// dispatcher thread hands the head host to the first idle one of five
// collector threads, and the collector runs the host's collection, records
// its next scan time and reports its status to the server.
//
// Hand-over: the queue is guarded by one lock; a collector slot is handed
// over through atomics, the dispatcher publishing the assigned host before
// the state (release) and the collector reading the state first (acquire).
// Every wait of the dispatcher and the collectors can be cut short by
// stopCollectionThreads.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "common/threads.h"
#include "platform/threads.h"

struct HostSlot;

inline constexpr int kCollectorCount = 5;
inline constexpr int kHostPollQueueSize = 25;

// Collector states.
inline constexpr std::int16_t kCollectorIdle = 0;
inline constexpr std::int16_t kCollectorAssigned = 1;

struct CollectorSlot {
    std::atomic<std::int16_t> state{kCollectorIdle};
    std::atomic<HostSlot*> assignedHost{nullptr};
    std::int16_t workerNumber = 0;
    platform::Event wake{false};  // set when a host is handed over (or at a stop)
    ThreadHandle thread;
};
CollectorSlot& collectorSlot(int workerNumber);

// The body of one collection run (host slot, its collector): the WMI
// collection collectHostEvents unless replaced (tests); an empty function
// makes the run do nothing.
using CollectHostEventsFunction = std::function<int(HostSlot&, CollectorSlot&)>;
void setCollectHostEvents(CollectHostEventsFunction run);

// What a host's collection timer calls (scheduler thread): queues the host.
// startCollectorThreads registers it with the host cache, which arms the timers.
void scheduleWinEventCollection(std::int32_t slotNumber);
// Queues a host unless it is waiting or being collected already, or the
// queue is full.
void addHostToPollQueue(HostSlot& slot);
// Reports STATUS and the next scan time with "hoststatus".
void sendHostStatus(HostSlot& slot);

// Threads. Starting the collectors also registers scheduleWinEventCollection
// as the host cache's timer callback.
bool startCollectorThreads();
bool startPollDispatcher();
// Stops the dispatcher and the collectors and joins them (a running
// collection finishes first). They can be started again afterwards.
void stopCollectionThreads();

// Single steps of the threads' loops, for tests. dispatchOnce answers the
// milliseconds the dispatcher then sleeps (3000, or 13000 when every
// collector was busy); collectOnce answers whether a host was taken up.
std::int64_t dispatchOnce();
bool collectOnce(int workerNumber);

// The queue as it is now: head, tail and the slot numbers waiting, head first.
struct HostPollQueueView {
    std::int32_t head = 0;
    std::int32_t tail = 0;
    std::vector<int> waiting;
};
HostPollQueueView hostPollQueueView();
// Tests: empties the queue and frees every collector slot (threads stopped).
void resetHostPollQueue();
