// The host poll queue, the dispatcher and the collectors: single steps on the
// manual clock, and the threads themselves once.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "agent/collection/host_poll_queue.h"
#include "agent/hosts/host_cache.h"
#include "agent/server/http_client.h"
#include "platform/clock.h"
#include "tests/agent/hosts/hosts_fixture.h"

using namespace hosts_test;

namespace {

class PollQueueTest : public ServerTest {
protected:
    void load(int hosts) {
        auto list = windowsHosts(hosts);
        list.back().enabled = 0;  // the last host has collection disabled
        scenario.hosts(list);
        startServer();
        loadAllHosts();
    }
    std::vector<int> waiting() { return hostPollQueueView().waiting; }
    HostSlot* assigned(int worker) { return collectorSlot(worker).assignedHost.load(); }
};

TEST_F(PollQueueTest, TailAndHeadWrapAndAFullRingHoldsEveryHost) {
    load(26);  // 25 slots; host 126 is reported as not monitored
    SetServerStatus(kServerDown);  // collectors hand hosts back without a run
    for (int s = 0; s < MAX_HOSTS; ++s) addHostToPollQueue(hostSlot(s));
    auto view = hostPollQueueView();
    EXPECT_EQ(view.waiting.size(), 25u);
    EXPECT_EQ(view.head, 0);
    EXPECT_EQ(view.tail, 0);
    EXPECT_TRUE(log.contains("\n hostPollWaitQueueTail turning the queue tail \n"));

    for (int s = 0; s < MAX_HOSTS; ++s) {
        EXPECT_EQ(dispatchOnce(), 3000);
        ASSERT_EQ(assigned(0), &hostSlot(s)) << s;  // head order
        EXPECT_TRUE(collectOnce(0));
    }
    EXPECT_TRUE(waiting().empty());
    EXPECT_EQ(hostPollQueueView().head, 25);
    EXPECT_EQ(dispatchOnce(), 3000);
    EXPECT_TRUE(log.contains("\n hostPollWaitQueueHead turning the queue head \n"));
    EXPECT_EQ(hostPollQueueView().head, 0);

    addHostToPollQueue(hostSlot(7));
    EXPECT_EQ(waiting(), std::vector<int>{7});
}

TEST_F(PollQueueTest, WaitingAndAssignedHostsAreNotQueuedTwice) {
    load(3);
    addHostToPollQueue(hostSlot(0));
    addHostToPollQueue(hostSlot(1));
    addHostToPollQueue(hostSlot(0));
    EXPECT_EQ(waiting(), (std::vector<int>{0, 1}));
    EXPECT_TRUE(log.contains("\n Host host101.localhost is already added to polling list "));

    dispatchOnce();  // host 101 goes to collector 0, not yet taken up
    addHostToPollQueue(hostSlot(0));
    EXPECT_EQ(waiting(), std::vector<int>{1});
    EXPECT_TRUE(log.contains("\n Host host101.localhost polling is already in progress in thread 0 at "));
}

TEST_F(PollQueueTest, TimerFiringsDuringARunOnlyMoveTheNextScanTime) {
    load(3);
    ASSERT_TRUE(beginHostCollection(hostSlot(0)));
    platform::advanceClock(30'000);
    scheduleWinEventCollection(0);
    EXPECT_TRUE(waiting().empty());
    EXPECT_TRUE(log.contains("\n Skipping scheduling as the previous run is not complete for Host host101.localhost"));
    withHostSlot(hostSlot(0), [](HostSlot& h) { EXPECT_EQ(h.nextScanTime, platform::nowSeconds() + 120); });
    endHostCollection(hostSlot(0));

    scheduleWinEventCollection(0);
    EXPECT_EQ(waiting(), std::vector<int>{0});

    // Collection disabled: logged, not queued.
    scheduleWinEventCollection(2);
    EXPECT_EQ(waiting(), std::vector<int>{0});
    EXPECT_TRUE(log.contains("\n Log collection is disabled for Host : host103.localhost "));
}

TEST_F(PollQueueTest, FiveBusyCollectorsKeepTheHeadHostWaiting) {
    load(8);
    SetServerStatus(kServerDown);
    for (int s = 0; s < 7; ++s) addHostToPollQueue(hostSlot(s));
    for (int worker = 0; worker < kCollectorCount; ++worker) {
        EXPECT_EQ(dispatchOnce(), 3000);
        EXPECT_EQ(assigned(worker), &hostSlot(worker));
    }
    // Every collector busy: 10 s more, the head host keeps its place.
    for (int wait = 1; wait <= 101; ++wait) EXPECT_EQ(dispatchOnce(), 13000);
    EXPECT_EQ(waiting(), (std::vector<int>{5, 6}));
    EXPECT_FALSE(log.contains("no free threads"));
    dispatchOnce();  // the 102nd wait in a row is reported
    EXPECT_TRUE(log.contains("\n no free threads waitign host106.localhost"));
    EXPECT_TRUE(log.contains("\n thread 4 assigned to host host105.localhost for WMI poll"));

    EXPECT_TRUE(collectOnce(2));
    EXPECT_EQ(dispatchOnce(), 3000);
    EXPECT_EQ(assigned(2), &hostSlot(5));
    EXPECT_EQ(waiting(), std::vector<int>{6});
}

TEST_F(PollQueueTest, ServerDownSkipsTheRunAndSendsNoStatus) {
    load(2);
    int runs = 0;
    setCollectHostEvents([&](HostSlot&, CollectorSlot&) { return ++runs; });
    SetServerStatus(kServerDown);
    const std::int64_t scanBefore = hostSlot(0).nextScanTime;
    addHostToPollQueue(hostSlot(0));
    dispatchOnce();
    EXPECT_TRUE(collectOnce(0));
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(hostSlot(0).nextScanTime, scanBefore);
    EXPECT_TRUE(targetsWith("mode=hoststatus").empty());
    EXPECT_TRUE(log.contains("\n Server down. Skipping Collection for host [host101.localhost] at thread [0]"));
    EXPECT_EQ(collectorSlot(0).state.load(), kCollectorIdle);
    EXPECT_FALSE(hostCollectionInProgress(hostSlot(0)));
}

TEST_F(PollQueueTest, ARunReportsStatusAndNextScanTime) {
    load(2);
    setCollectHostEvents([](HostSlot& host, CollectorSlot& collector) {
        EXPECT_EQ(host.collectionInProgress, 1);
        EXPECT_EQ(collector.workerNumber, 0);
        host.status = 23;
        return 1;
    });
    addHostToPollQueue(hostSlot(0));
    dispatchOnce();
    platform::advanceClock(7'000);
    EXPECT_TRUE(collectOnce(0));
    const std::int64_t next = platform::nowSeconds() + 120;
    EXPECT_EQ(hostSlot(0).nextScanTime, next);
    EXPECT_EQ(targetsWith("mode=hoststatus"),
              std::vector<std::string>{"agentHandler?mode=hoststatus&hostid=101&status=23&nextScanTime=" +
                                       std::to_string(next) + "000"});
    EXPECT_TRUE(log.contains("\n Event collection closed for host [host101.localhost] at thread [0]"));
    EXPECT_TRUE(log.contains("\n Status successfully updated"));
    EXPECT_FALSE(collectOnce(0));  // nothing assigned any more
}

TEST_F(PollQueueTest, AHostDeletedWhileQueuedIsNotCollected) {
    load(2);
    int runs = 0;
    setCollectHostEvents([&](HostSlot&, CollectorSlot&) { return ++runs; });
    addHostToPollQueue(hostSlot(0));
    deleteHost(hostSlot(0));
    dispatchOnce();
    EXPECT_TRUE(collectOnce(0));
    EXPECT_EQ(runs, 0);
    EXPECT_TRUE(targetsWith("mode=hoststatus").empty());
}

TEST_F(PollQueueTest, TheThreadsCollectEachTimedHostAndStopPromptly) {
    load(3);
    std::atomic<int> runs{0};
    std::atomic<bool> sameHostTwice{false};
    std::atomic<HostSlot*> running{nullptr};
    setCollectHostEvents([&](HostSlot& host, CollectorSlot&) {
        HostSlot* expected = nullptr;
        if (!running.compare_exchange_strong(expected, &host)) sameHostTwice = true;
        ++runs;
        running = nullptr;
        return 1;
    });
    ASSERT_TRUE(startCollectorThreads());
    ASSERT_TRUE(startPollDispatcher());
    ASSERT_TRUE(startSchedulerThread());
    // Timers at 60 and 120 s after the load; host 103 is disabled.
    for (int step = 0; step < 400 && runs.load() < 2; ++step) {
        platform::advanceClock(1'000);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(runs.load(), 2);
    EXPECT_FALSE(sameHostTwice.load());
    EXPECT_TRUE(server->waitForRequests("mode=hoststatus&hostid=102", 1, 5000));

    const auto before = std::chrono::steady_clock::now();
    stopCollectionThreads();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(3));
}

}  // namespace
