// The update poll against the test server: which requests each SLUPDATE row
// leads to, in which order, and what is left alone.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/hosts/host_cache.h"
#include "agent/hosts/update_poll.h"
#include "tests/agent/hosts/hosts_fixture.h"

using namespace hosts_test;

namespace {

class UpdatePollTest : public ServerTest {
protected:
    void SetUp() override {
        auto hosts = windowsHosts(1, 17);
        scenario.hosts(hosts);
        startServer();
        loadAllHosts();
        setMonitorRequestsRefresh([this] { ++monitorRefreshes; });
        firstPollRequest = server->targets().size();
    }
    void TearDown() override {
        setMonitorRequestsRefresh({});
        ServerTest::TearDown();
    }
    // Targets logged since the poll began, without "/event/".
    std::vector<std::string> pollTargets() const {
        std::vector<std::string> out;
        const auto all = server->targets();
        for (std::size_t i = firstPollRequest; i < all.size(); ++i)
            out.push_back(all[i].substr(all[i].find("/event/") + 7));
        return out;
    }
    std::size_t firstPollRequest = 0;
    int monitorRefreshes = 0;
};

TEST_F(UpdatePollTest, HostThenAlertRefetchInRowOrder) {
    ASSERT_TRUE(server->queueUpdate("Host", 17));
    ASSERT_TRUE(server->queueUpdate("Alert", 17));
    pollConfigurationUpdates();
    const std::vector<std::string> expected = {
        "agentHandler?mode=update&slid=1001", "hostdetails?slid=1001&hostid=17", "filters?hostid=17",
        "notifications?hostid=17", "notifications?hostid=17"};
    EXPECT_EQ(pollTargets(), expected);
    EXPECT_EQ(monitorRefreshes, 1);
    // Refreshes replace the lists; every staging table is empty again.
    EXPECT_EQ(GetTableRowCount("SLUPDATE"), 0);
    EXPECT_EQ(GetTableRowCount("Hosts"), 0);
}

TEST_F(UpdatePollTest, UnknownHostsAndOtherTypesIssueNoRequest) {
    ASSERT_TRUE(server->queueUpdate("Filter", 99));
    ASSERT_TRUE(server->queueUpdate("host", 17));
    ASSERT_TRUE(server->queueUpdate("Alert", 98));
    pollConfigurationUpdates();
    EXPECT_EQ(pollTargets(), std::vector<std::string>{"agentHandler?mode=update&slid=1001"});
    EXPECT_EQ(monitorRefreshes, 1);
}

TEST_F(UpdatePollTest, AnEmptyAnswerOnlyRefreshesMonitorRequests) {
    pollConfigurationUpdates();
    EXPECT_EQ(pollTargets(), std::vector<std::string>{"agentHandler?mode=update&slid=1001"});
    EXPECT_TRUE(log.contains("\n No updates available for hosts"));
    EXPECT_EQ(monitorRefreshes, 1);
}

TEST_F(UpdatePollTest, RefreshesNeverDoubleTheRules) {
    scenario.file("filters.xml", R"(<FilterList>
  <HostFilter HOSTID="17" FILTERID="501"/><SyslogFilter ID="501"/>
  <HostFilter HOSTID="17" FILTERID="502"/><SyslogFilter ID="502"/>
</FilterList>)");
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(server->queueUpdate("Filter", 17));
    pollConfigurationUpdates();
    HostSlot* slot = findMonitoredHost(17);
    ASSERT_NE(slot, nullptr);
    withHostSlot(*slot, [](HostSlot& h) {
        ASSERT_EQ(h.filters.size(), 2u);
        EXPECT_EQ(h.filters[0].filterId, 502);
    });
    EXPECT_EQ(pollTargets().size(), 4u);
}

TEST_F(UpdatePollTest, AFailedPollAppliesNothing) {
    server->failRequests("mode=update", 500, 1);
    pollConfigurationUpdates();
    EXPECT_TRUE(log.contains("\n No updates available for hosts"));
    EXPECT_EQ(pollTargets().size(), 1u);
    EXPECT_EQ(monitorRefreshes, 1);
}

}  // namespace
