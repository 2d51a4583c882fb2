// The host cache against the test server: full loads with their host
// windows and staggered timers, single-host updates, deletions, and changes
// that arrive while a collection of the same host is running.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "agent/collection/host_poll_queue.h"
#include "agent/hosts/host_cache.h"
#include "agent/hosts/host_rules.h"
#include "agent/hosts/update_poll.h"
#include "agent/scheduler/scheduler.h"
#include "common/log.h"
#include "platform/clock.h"
#include "tests/agent/hosts/hosts_fixture.h"

using namespace hosts_test;

namespace {

constexpr std::int64_t kStartSeconds = kStartMillis / 1000;

class HostCacheTest : public ServerTest {};

// Reads one slot's fields under its guard.
template <class F>
auto inSlot(int index, F read) {
    decltype(read(hostSlot(0))) value{};
    withHostSlot(hostSlot(index), [&](HostSlot& s) { value = read(s); });
    return value;
}

TEST_F(HostCacheTest, TenHostsGetTheSixtySecondWindowAndStaggeredTimers) {
    scenario.hosts(windowsHosts(10));
    startServer();
    loadAllHosts();

    EXPECT_EQ(hostWindow(), 60);
    EXPECT_TRUE(log.contains("\n Number of hosts: 10, window_size: 60"));
    for (int s = 0; s < 10; ++s) {
        EXPECT_EQ(inSlot(s, [](HostSlot& h) { return h.hostId; }), 101 + s);
        EXPECT_EQ(inSlot(s, [](HostSlot& h) { return h.nextScanTime; }), kStartSeconds + 60 * (s + 1)) << s;
        EXPECT_NE(inSlot(s, [](HostSlot& h) { return h.timerEntryId; }), -1);
    }
    EXPECT_EQ(slotsInUse(), 10);
    // The staging tables are empty again.
    EXPECT_EQ(GetTableRowCount("Hosts"), 0);
    EXPECT_EQ(GetTableRowCount("HostDetails"), 0);

    // Slot 0's timer fires first, one window after the load; slot 1 waits for the next.
    platform::advanceClock(60'000);
    runDueEntries();
    EXPECT_EQ(hostPollQueueView().waiting, std::vector<int>{0});
    platform::advanceClock(60'000);
    runDueEntries();
    EXPECT_EQ(hostPollQueueView().waiting, (std::vector<int>{0, 1}));
}

// The timers call what was registered with the slot number, and nothing
// once it is taken away: the host cache knows nothing of the collection.
TEST_F(HostCacheTest, TimersCallTheRegisteredCallbackWithTheirSlot) {
    scenario.hosts(windowsHosts(2));
    startServer();
    std::vector<std::int32_t> fired;
    setHostTimerCallback([&](std::int32_t slot) { fired.push_back(slot); });
    loadAllHosts();
    platform::advanceClock(120'000);
    runDueEntries();
    EXPECT_EQ(fired, (std::vector<std::int32_t>{0, 1}));
    setHostTimerCallback({});
    platform::advanceClock(120'000);
    runDueEntries();
    EXPECT_EQ(fired.size(), 2u);
    EXPECT_TRUE(hostPollQueueView().waiting.empty());
}

TEST_F(HostCacheTest, ElevenHostsShrinkTheWindowTo54) {
    scenario.hosts(windowsHosts(11));
    startServer();
    loadAllHosts();
    EXPECT_EQ(hostWindow(), 54);
    EXPECT_EQ(inSlot(10, [](HostSlot& h) { return h.nextScanTime; }), kStartSeconds + 11 * 54);
}

TEST_F(HostCacheTest, ThirtyHostsFillTwentyFiveSlotsAndReportTheRest) {
    scenario.hosts(windowsHosts(30));
    startServer();
    loadAllHosts();

    EXPECT_EQ(hostWindow(), 20);
    EXPECT_EQ(slotsInUse(), 25);
    EXPECT_EQ(inSlot(24, [](HostSlot& h) { return h.nextScanTime; }), kStartSeconds + 500);
    EXPECT_EQ(inSlot(24, [](HostSlot& h) { return h.hostId; }), 125);
    const auto reported = targetsWith("nextScanTime=-");
    ASSERT_EQ(reported.size(), 5u);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(reported[static_cast<std::size_t>(i)],
                  "agentHandler?mode=hoststatus&hostid=" + std::to_string(126 + i) + "&status=24&nextScanTime=-");
}

TEST_F(HostCacheTest, NonWindowsHostsNeverKeepASlot) {
    HostSpec linuxHost = windowsHost(100);
    linuxHost.type = "Linux";
    auto hosts = windowsHosts(1);
    hosts.insert(hosts.begin(), linuxHost);
    // A Hosts row without details is not installed either.
    scenario.hosts(hosts);
    startServer();
    loadAllHosts();
    EXPECT_EQ(inSlot(0, [](HostSlot& h) { return h.hostId; }), 101);
    EXPECT_EQ(slotsInUse(), 1);

    deleteAllHosts();
    initHostCache();
    hosts = windowsHosts(1);
    hosts.push_back(linuxHost);
    scenario.hosts(hosts);
    loadAllHosts();
    EXPECT_EQ(slotsInUse(), 1);
    EXPECT_EQ(inSlot(1, [](HostSlot& h) { return static_cast<int>(h.inUse); }), 0);
}

// Two rows with one host id: the second is refused, so no host's events are
// credited to another.
TEST_F(HostCacheTest, SecondRowWithTheSameHostIdIsRefused) {
    auto hosts = windowsHosts(3);
    hosts[2].id = hosts[0].id;
    hosts[2].dnsName = "impostor.localhost";
    scenario.hosts(hosts);
    startServer();
    loadAllHosts();
    EXPECT_EQ(slotsInUse(), 2);
    EXPECT_EQ(inSlot(0, [](HostSlot& h) { return h.hostName; }), "host101.localhost");
    EXPECT_TRUE(log.contains("\n Host list: a second row for host id 101 is refused"));
    EXPECT_FALSE(hostListPending());
}

// A host list that cannot be read at start-up is asked for again at every
// update poll until one loads; the agent says that it has no hosts.
TEST_F(HostCacheTest, UnreadableHostListIsAskedForAgainAtEachPoll) {
    scenario.hosts(windowsHosts(2));
    scenario.file("hostdetails.xml", "<?xml version=\"1.0\"?>\n<TableData><Hosts><Row><HOST_ID>1");
    startServer();
    loadAllHosts();
    EXPECT_EQ(slotsInUse(), 0);
    EXPECT_TRUE(hostListPending());
    EXPECT_TRUE(log.contains("\n No hosts were loaded: the host list could not be read"));
    pollConfigurationUpdates();
    EXPECT_TRUE(hostListPending());
    // A large list cut off in the middle: its first rows are whole, yet none
    // of them is installed.
    const std::string large = hostsXml(windowsHosts(20000));
    scenario.file("hostdetails.xml", large.substr(0, large.size() * 3 / 4));
    pollConfigurationUpdates();
    EXPECT_TRUE(hostListPending());
    EXPECT_EQ(slotsInUse(), 0);
    scenario.hosts(windowsHosts(2));
    pollConfigurationUpdates();
    EXPECT_FALSE(hostListPending());
    EXPECT_EQ(slotsInUse(), 2);
}

TEST_F(HostCacheTest, FieldsAreFilledCutAndDecoded) {
    auto hosts = windowsHosts(3);
    hosts[1].ip = "127.0.0.200";  // the agent's own address
    hosts[2].dnsName = std::string(150, 'n');
    scenario.hosts(hosts);
    startServer();
    loadAllHosts();

    EXPECT_EQ(ownHostId(), 102);
    withHostSlot(hostSlot(0), [](HostSlot& h) {
        EXPECT_EQ(h.hostName, "host101.localhost");
        EXPECT_EQ(h.displayName, "Display 101");
        EXPECT_EQ(h.domain, "CORP");
        EXPECT_EQ(h.type, "Windows");
        EXPECT_EQ(h.userName, "CORP\\admin");
        EXPECT_EQ(h.password, "secret");
        EXPECT_EQ(h.monInterval, 2);
        EXPECT_EQ(h.collectionEnabled, 1);
    });
    EXPECT_EQ(inSlot(2, [](HostSlot& h) { return h.hostName; }), std::string(99, 'n'));
    EXPECT_TRUE(log.contains("\nHost Name: host101.localhost\tDisplay Name: Display 101\tId: 101"));
}

TEST_F(HostCacheTest, AFailedFetchInstallsNothing) {
    scenario.hosts(windowsHosts(2));
    startServer();
    server->failRequests("hostdetails", 500);
    loadAllHosts();
    EXPECT_EQ(slotsInUse(), 0);
    EXPECT_TRUE(targetsWith("filters").empty());
}

TEST_F(HostCacheTest, MalformedHostListsAreSkippedRowByRow) {
    scenario.file("hostdetails.xml", R"(<HostList>
  <Hosts HOST_NAME="no id" DNS_NAME="noid.localhost"/>
  <Hosts HOST_ID="201" DNS_NAME="nodetails.localhost"/>
  <Hosts HOST_ID="202" DNS_NAME="odd.localhost" HOST_IPADDRESS="127.0.0.2"/>
  <HostDetails HOST_ID="202" TYPE="Windows" USERNAME="u" MON_INTERVAL="abc" PASSWORD="@@@"/>
  <Hosts HOST_ID="203" DNS_NAME="fine.localhost"/>
  <HostDetails HOST_ID="203" TYPE="Windows" USERNAME="u" MON_INTERVAL="5" LOG_COLLECTION_STATUS="1"/>
</HostList>)");
    startServer();
    loadAllHosts();
    EXPECT_EQ(slotsInUse(), 2);
    EXPECT_EQ(inSlot(0, [](HostSlot& h) { return h.hostId; }), 202);
    EXPECT_EQ(inSlot(0, [](HostSlot& h) { return h.timerEntryId; }), -1);  // no usable interval
    EXPECT_EQ(inSlot(1, [](HostSlot& h) { return h.hostId; }), 203);
    EXPECT_NE(inSlot(1, [](HostSlot& h) { return h.timerEntryId; }), -1);

    // A 200 answer that is not XML loads no row: the host counts as dropped.
    ASSERT_TRUE(server->failRequests("hostid=203", 200, 1, std::string("<HostList><Hosts HOST_ID=\"203\"")));
    updateHost(203);
    EXPECT_EQ(inSlot(1, [](HostSlot& h) { return static_cast<int>(h.inUse); }), 0);
    EXPECT_TRUE(log.contains("\n Host not there"));
}

TEST_F(HostCacheTest, FailedRefetchesKeepTheHostAndItsRules) {
    scenario.hosts(windowsHosts(1));
    scenario.file("filters.xml", R"(<FilterList><HostFilter HOSTID="101" FILTERID="501"/><SyslogFilter ID="501"/>
</FilterList>)");
    scenario.file("notifications.xml", R"(<NotificationList><HostNotification HOSTID="101" NOTIFID="801"/>
<NotificationType NOTIFID="801" TYPE="3" NOOFOCCURRENCE="1" NOTIFINTERVAL="0"/></NotificationList>)");
    startServer();
    loadAllHosts();
    const int timer = inSlot(0, [](HostSlot& h) { return h.timerEntryId; });
    server->failRequests("hostid=101", 503);
    updateHost(101);
    refreshHostFilters(&hostSlot(0));
    refreshHostNotifications(&hostSlot(0));
    withHostSlot(hostSlot(0), [&](HostSlot& h) {
        EXPECT_EQ(h.inUse, 1);
        EXPECT_EQ(h.timerEntryId, timer);
        EXPECT_EQ(h.filters.size(), 1u);
        EXPECT_EQ(h.notifications.size(), 1u);
    });
    EXPECT_FALSE(log.contains("\n Host not there"));
    EXPECT_TRUE(log.contains("\n Fetching host 101 failed, its current details are kept"));
    EXPECT_TRUE(log.contains("\n Fetching filters for host 101 failed, its current filters are kept"));
}

// Rule dumps are staged in the table store only while the rules are built:
// however often a host's rules are fetched again, no row stays behind and the
// host keeps one copy of each rule.
TEST_F(HostCacheTest, RepeatedRuleFetchesLeaveNoStagedRows) {
    scenario.hosts(windowsHosts(1));
    scenario.file("filters.xml", R"(<FilterList><HostFilter HOSTID="101" FILTERID="501"/>
<HostGroupMapping HOSTID="101" GROUPID="1"/><HostGroupFilter GROUPID="1" FILTERID="502"/>
<SyslogFilter ID="501"/><SyslogFilter ID="502"/><Filter2Criteria FILTERID="501" CRITERIAID="601" TYPE="255"/>
<LACriteria CRIT_ID="601"/><LACriteria2Expressions CRIT_ID="601" EXP_ID="701"/>
<LAExpression EXP_ID="701" COLUMN_NAME="EVENTID" VALUE="4624,4625-4634"/></FilterList>)");
    scenario.file("notifications.xml", R"(<NotificationList><HostNotification HOSTID="101" NOTIFID="801"/>
<NotificationType NOTIFID="801" TYPE="3" NOOFOCCURRENCE="1" NOTIFINTERVAL="0"/>
<LACriteria2Expressions CRIT_ID="801" EXP_ID="702"/><LAExpression EXP_ID="702" COLUMN_NAME="EVENTID" VALUE="4625"/>
</NotificationList>)");
    startServer();
    loadAllHosts();
    loadAllHostFilters();
    loadAllHostNotifications();
    auto stagedRows = [] {
        int rows = 0;
        for (const char* table : {"HostFilter", "HostGroupFilter", "HostGroupMapping", "SyslogFilter",
                                  "Filter2Criteria", "LACriteria", "LACriteria2Expressions", "LAExpression",
                                  "NotificationType", "HostNotification", "HostGroupNotification"}) {
            ResultHandle all = SelectRows(table, nullptr);
            if (all) rows += all->rowCount;
        }
        return rows;
    };
    EXPECT_EQ(stagedRows(), 0);
    for (int round = 0; round < 3; ++round) {
        refreshHostFilters(&hostSlot(0));
        refreshHostNotifications(&hostSlot(0));
        EXPECT_EQ(stagedRows(), 0) << "round " << round;
        withHostSlot(hostSlot(0), [&](HostSlot& h) {
            ASSERT_EQ(h.filters.size(), 2u);
            EXPECT_EQ(h.filters[1].criteria.at(0).expressions.at(0).eventIdRanges.size(), 1u);
            ASSERT_EQ(h.notifications.size(), 1u);
            EXPECT_EQ(h.notifications[0].expressions.size(), 1u);
        });
    }
}

TEST_F(HostCacheTest, UpdateHostInstallsChangesAndDeletes) {
    scenario.hosts(windowsHosts(3));
    startServer();
    loadAllHosts();
    const int oldTimer = inSlot(0, [](HostSlot& h) { return h.timerEntryId; });

    // A host the server dropped: slot freed, timer gone.
    auto hosts = windowsHosts(3);
    hosts.erase(hosts.begin() + 1);
    scenario.hosts(hosts);
    const int droppedTimer = inSlot(1, [](HostSlot& h) { return h.timerEntryId; });
    updateHost(102);
    EXPECT_TRUE(log.contains("\n Host not there"));
    EXPECT_EQ(inSlot(1, [](HostSlot& h) { return static_cast<int>(h.inUse); }), 0);
    EXPECT_EQ(inSlot(1, [](HostSlot& h) { return h.timerEntryId; }), -1);
    EXPECT_FALSE(unscheduleEntry("DEFAULT", droppedTimer));

    // A new host takes the first free slot; its first run is 10 s away.
    platform::advanceClock(5'000);
    hosts.push_back(windowsHost(104));
    scenario.hosts(hosts);
    updateHost(104);
    EXPECT_EQ(inSlot(1, [](HostSlot& h) { return h.hostId; }), 104);
    EXPECT_EQ(inSlot(1, [](HostSlot& h) { return h.nextScanTime; }), kStartSeconds + 15);
    EXPECT_NE(inSlot(1, [](HostSlot& h) { return h.timerEntryId; }), -1);
    EXPECT_FALSE(targetsWith("hostdetails?slid=1001&hostid=104").empty());
    EXPECT_FALSE(targetsWith("filters?hostid=104").empty());
    EXPECT_FALSE(targetsWith("notifications?hostid=104").empty());

    // A changed host: new values, the timer re-armed for 10 s later.
    hosts[0].interval = 7;
    hosts[0].user = "CORP\\other";
    scenario.hosts(hosts);
    updateHost(101);
    EXPECT_EQ(inSlot(0, [](HostSlot& h) { return h.monInterval; }), 7);
    EXPECT_EQ(inSlot(0, [](HostSlot& h) { return h.userName; }), "CORP\\other");
    EXPECT_EQ(inSlot(0, [](HostSlot& h) { return h.nextScanTime; }), kStartSeconds + 15);
    EXPECT_FALSE(unscheduleEntry("DEFAULT", oldTimer));
    EXPECT_EQ(GetTableRowCount("Hosts"), 0);

    // Its timer fires 10 s later, then every 7 minutes.
    platform::advanceClock(10'000);
    runDueEntries();
    const auto waiting = hostPollQueueView().waiting;
    EXPECT_NE(std::find(waiting.begin(), waiting.end(), 0), waiting.end());
}

TEST_F(HostCacheTest, UpdateWithEverySlotTakenReportsTheHost) {
    scenario.hosts(windowsHosts(25));
    startServer();
    loadAllHosts();
    auto hosts = windowsHosts(25);
    hosts.push_back(windowsHost(300));
    scenario.hosts(hosts);
    updateHost(300);
    EXPECT_TRUE(log.contains("\n MAX_HOSTS reached. "));
    EXPECT_EQ(targetsWith("hostid=300&status=24").size(), 1u);
}

TEST_F(HostCacheTest, HostsWithoutCredentialsOrIntervalGetNoTimer) {
    auto hosts = windowsHosts(2);
    hosts[0].user = "   ";
    hosts[1].interval = 0;
    scenario.hosts(hosts);
    startServer();
    loadAllHosts();
    EXPECT_EQ(slotsInUse(), 2);
    EXPECT_EQ(inSlot(0, [](HostSlot& h) { return h.timerEntryId; }), -1);
    EXPECT_EQ(inSlot(1, [](HostSlot& h) { return h.timerEntryId; }), -1);
    EXPECT_TRUE(log.contains("\n Not a WMI Windows host"));
}

// A collection that is running when the update poll changes or drops its
// host: the run keeps the slot and rule lists it started with, the poll does
// not wait for it, and the changes are installed when the run ends.
class RunningCollectionTest : public HostCacheTest {
protected:
    void SetUp() override {
        scenario.hosts(windowsHosts(2));
        scenario.file("filters.xml", R"(<FilterList>
  <HostFilter HOSTID="101" FILTERID="501"/>
  <SyslogFilter ID="501"/>
  <Filter2Criteria FILTERID="501" CRITERIAID="601" TYPE="255"/>
  <LACriteria2Expressions CRIT_ID="601" EXP_ID="701"/>
  <LAExpression EXP_ID="701" COLUMN_NAME="EVENTID" VALUE="4624" COMPARATOR="1"/>
</FilterList>)");
        startServer();
        loadAllHosts();
        setCollectHostEvents([this](HostSlot& host, CollectorSlot&) {
            std::unique_lock<std::mutex> lock(mutex);
            started = true;
            filtersAtStart = &host.filters.front();
            wake.notify_all();
            wake.wait(lock, [this] { return released; });
            // What the run sees after the poll ran: its own values.
            nameAtEnd = host.hostName;
            filterIdAtEnd = host.filters.empty() ? -1 : host.filters.front().filterId;
            sameFilterObject = !host.filters.empty() && &host.filters.front() == filtersAtStart;
            return 1;
        });
        ASSERT_TRUE(startCollectorThreads());
        addHostToPollQueue(hostSlot(0));
        dispatchOnce();
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(wake.wait_for(lock, std::chrono::seconds(10), [this] { return started; }));
    }
    void release() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            released = true;
        }
        wake.notify_all();
        for (int i = 0; i < 1000 && hostCollectionInProgress(hostSlot(0)); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_FALSE(hostCollectionInProgress(hostSlot(0)));
    }
    void TearDown() override {
        release();
        HostCacheTest::TearDown();
    }

    std::mutex mutex;
    std::condition_variable wake;
    bool started = false;
    bool released = false;
    const FilterRule* filtersAtStart = nullptr;
    std::string nameAtEnd;
    std::int64_t filterIdAtEnd = 0;
    bool sameFilterObject = false;
};

TEST_F(RunningCollectionTest, ChangesWaitForTheRunToEnd) {
    auto hosts = windowsHosts(2);
    hosts[0].dnsName = "renamed.localhost";
    hosts[0].interval = 9;
    scenario.hosts(hosts);
    scenario.file("filters.xml", R"(<FilterList>
  <HostFilter HOSTID="101" FILTERID="502"/>
  <SyslogFilter ID="502"/>
</FilterList>)");
    ASSERT_TRUE(server->queueUpdate("Host", 101));
    ASSERT_TRUE(server->queueUpdate("Filter", 101));
    pollConfigurationUpdates();  // returns while the run still holds the host

    EXPECT_EQ(inSlot(0, [](HostSlot& h) { return h.hostName; }), "host101.localhost");
    EXPECT_EQ(inSlot(0, [](HostSlot& h) { return h.monInterval; }), 2);
    release();
    EXPECT_EQ(nameAtEnd, "host101.localhost");
    EXPECT_EQ(filterIdAtEnd, 501);
    EXPECT_TRUE(sameFilterObject);

    // Installed when the run ended: details, the newer filter list, a new timer.
    EXPECT_EQ(inSlot(0, [](HostSlot& h) { return h.hostName; }), "renamed.localhost");
    EXPECT_EQ(inSlot(0, [](HostSlot& h) { return h.monInterval; }), 9);
    withHostSlot(hostSlot(0), [](HostSlot& h) {
        ASSERT_EQ(h.filters.size(), 1u);
        EXPECT_EQ(h.filters.front().filterId, 502);
        EXPECT_NE(h.timerEntryId, -1);
        EXPECT_EQ(h.nextScanTime, platform::nowSeconds() + 10);
    });
}

TEST_F(RunningCollectionTest, ADroppedHostIsFreedWhenTheRunEnds) {
    const int timer = inSlot(0, [](HostSlot& h) { return h.timerEntryId; });
    auto hosts = windowsHosts(2);
    hosts.erase(hosts.begin());
    scenario.hosts(hosts);
    // A rule change after the removal finds nothing to change later.
    ASSERT_TRUE(server->queueUpdate("Host", 101));
    ASSERT_TRUE(server->queueUpdate("Filter", 101));
    pollConfigurationUpdates();
    EXPECT_EQ(targetsWith("filters?hostid=101").size(), 1u);

    // The timer is gone at once; the slot stays until the run is over.
    EXPECT_FALSE(unscheduleEntry("DEFAULT", timer));
    EXPECT_EQ(inSlot(0, [](HostSlot& h) { return static_cast<int>(h.inUse); }), 1);
    release();
    EXPECT_EQ(nameAtEnd, "host101.localhost");
    EXPECT_EQ(inSlot(0, [](HostSlot& h) { return static_cast<int>(h.inUse); }), 0);
    EXPECT_TRUE(inSlot(0, [](HostSlot& h) { return h.filters.empty(); }));
}

}  // namespace

namespace {

// The start-up order of the agent against the shipped default scenario:
// slots, collectors, dispatcher, host list; every Windows host collected at
// its time with its status reported, and a queued update applied by the poll.
class DefaultScenarioTest : public ServerTest {
protected:
    void SetUp() override {
        testserver::HarnessOptions options;
        options.https = false;
        server = std::make_unique<testserver::TestServer>(options);
        ASSERT_TRUE(server->ok()) << server->error();
        resetAgentState(server->httpPort());
    }
};

TEST_F(DefaultScenarioTest, HostsAreCollectedAtTheirTimesAndUpdatesApplied) {
    std::atomic<int> runs{0};
    setCollectHostEvents([&](HostSlot&, CollectorSlot&) { return ++runs; });
    ASSERT_TRUE(startSchedulerThread());
    ASSERT_TRUE(startCollectorThreads());
    ASSERT_TRUE(startPollDispatcher());
    loadAllHosts();
    EXPECT_EQ(slotsInUse(), 3);  // the Linux host keeps no slot
    withHostSlot(hostSlot(0), [](HostSlot& h) {
        EXPECT_EQ(h.password, "secret");
        ASSERT_EQ(h.filters.size(), 1u);
        EXPECT_EQ(h.filters[0].filterId, 501);
        ASSERT_EQ(h.notifications.size(), 1u);
        EXPECT_EQ(h.notifications[0].occurrenceThreshold, 3);
    });

    // Timers at 60, 120 and 180 s.
    for (int step = 0; step < 600 && runs.load() < 3; ++step) {
        platform::advanceClock(1'000);
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    EXPECT_EQ(runs.load(), 3);
    for (const char* id : {"101", "102", "103"})
        EXPECT_TRUE(server->waitForRequests(std::string("mode=hoststatus&hostid=") + id + "&status=0&nextScanTime=", 1,
                                            5000))
            << id;
    EXPECT_TRUE(targetsWith("hostid=104").empty());

    ASSERT_TRUE(server->queueUpdate("Host", 102));
    pollConfigurationUpdates();
    EXPECT_EQ(targetsWith("hostdetails?slid=1001&hostid=102").size(), 1u);
    withHostSlot(hostSlot(1), [](HostSlot& h) {
        if (h.collectionInProgress == 0) {
            EXPECT_EQ(h.nextScanTime, platform::nowSeconds() + 10);
        }
    });
}

}  // namespace
