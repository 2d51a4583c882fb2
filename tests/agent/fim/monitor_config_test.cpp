// The monitor configuration against the test server: loading the requests,
// the refresh with its additions, removals, moves and new drives, the
// cleared rules, and the base configuration answer.

#include <vector>

#include "agent/tablestore/data_dict.h"
#include "agent/tablestore/imds.h"

#include "fim_fixture.h"
#include "testserver/harness.h"

namespace {

std::vector<char> g_startedDrives;
void recordDriveStart(char letter) { g_startedDrives.push_back(letter); }

std::string xmlValue(const std::string& path) {
    std::string out;
    for (char c : path) {
        if (c == '\\') out += "\\\\";
        else out += c;
    }
    return out;
}

class MonitorConfigTest : public FimTest {
protected:
    void SetUp() override {
        FimTest::SetUp();
        static const bool dictionary =
            LoadDataDictFromXMLFile(AMBRIK_SOURCE_DIR "/data/data-dictionary.xml");
        ASSERT_TRUE(dictionary);
        ASSERT_TRUE(server_.ok()) << server_.error();
        pointAgentAt(server_.httpPort());
        g_startedDrives.clear();
        setDriveMonitorStarter(recordDriveStart);
        std::filesystem::create_directories(dir_ / "watched/tmp");
    }
    void TearDown() override {
        setDriveMonitorStarter(nullptr);
        FimTest::TearDown();
    }

    void serveAgentRequests(const std::string& rows) {
        ASSERT_TRUE(server_.swapFile("monitorrequests-agent.xml",
                                     "<MonitorRequests>" + rows + "</MonitorRequests>"));
    }
    void serveTemplateRequests(const std::string& rows) {
        ASSERT_TRUE(server_.swapFile("monitorrequests-template.xml",
                                     "<MonitorRequests>" + rows + "</MonitorRequests>"));
    }
    std::string include(const std::string& path, int locId, const char* checksum = "") {
        return "<FIM_AgentRequest INCL_LOC=\"" + xmlValue(path) + "\" CHECKSUM=\"" + checksum +
               "\" LOC_ID=\"" + std::to_string(locId) + "\"/>";
    }
    std::string exclude(const std::string& path) {
        return "<FIM_AgentExclude EXCL_LOC=\"" + xmlValue(path) + "\"/>";
    }

    MonitorRules rulesNow() {
        std::lock_guard lock(rulesLock());
        return monitorRules();
    }

    testserver::TestServer server_;
};

TEST(LocationText, BackslashesAreUnescapedAndLettersLowered) {
    EXPECT_EQ(normaliseLocation("C:\\\\Data\\\\Sub"), "c:\\data\\sub");
    EXPECT_EQ(normaliseLocation("e:\\data"), "e:data");
    EXPECT_EQ(normaliseLocation("C:\\\\ÄB\\\\"), "c:\\Äb\\");
    EXPECT_EQ(normaliseLocation("trailing\\"), "trailing");
    EXPECT_EQ(normaliseLocation(""), "");
}

TEST_F(MonitorConfigTest, StartUpLoadsRequestsByKindAndKeepsFirstIdentifiers) {
    const std::string watched = windowsPath("watched");
    const std::string missing = windowsPath("watched/not-yet.txt");
    serveAgentRequests(include(watched, 7, "MD5") + include(missing, 8) +
                       exclude(watched + "\\tmp") + "<FIM_AgentRequest INCL_LOC=\"\" LOC_ID=\"9\"/>");
    serveTemplateRequests("<FIM_TemplateRequest INCL_LOC=\"" + xmlValue(watched) +
                          "\" LOC_ID=\"70\"/><FIM_TemplateRequest INCL_LOC=\"d:\\\\other\" LOC_ID=\"71\"/>");
    loadMonitorRequests();
    MonitorRules rules = rulesNow();
    EXPECT_EQ(rules.monitorDirs, (std::set<std::string>{watched}));
    EXPECT_EQ(rules.monitorFiles, (std::set<std::string>{"d:\\other", missing}));
    EXPECT_EQ(rules.ignoreDirs, (std::set<std::string>{watched + "\\tmp"}));
    EXPECT_EQ(rules.locations.at(watched).locId, 7);
    EXPECT_EQ(rules.locations.at(watched).templId, 0);
    EXPECT_EQ(rules.locations.at("d:\\other").templId, 71);
    EXPECT_EQ(rules.drives, (DriveSet{"C", "D"}));
    EXPECT_TRUE(checksumWanted());
    EXPECT_EQ(GetTableRowCount("FIM_AgentRequest") > 0, false);
    EXPECT_TRUE(log_->has("\n Monitor Dir: " + watched));
    EXPECT_TRUE(log_->has("\n Ignore Dir: " + watched + "\\tmp"));
}

TEST_F(MonitorConfigTest, NoRequestsLeaveEmptyRules) {
    serveAgentRequests("");
    loadMonitorRequests();
    EXPECT_TRUE(rulesNow().drives.empty());
    EXPECT_TRUE(log_->has("\n No data found for Monitor requests for Agent: 42"));
}

TEST_F(MonitorConfigTest, RefreshAddsRemovesAndStartsMonitorsForNewDrives) {
    const std::string watched = windowsPath("watched");
    serveAgentRequests(include(watched, 7) + include(watched + "\\old.txt", 8));
    loadMonitorRequests();
    // Location 8 leaves, 9 arrives on a second drive, 10 on the same drive.
    serveAgentRequests(include(watched, 7) + include("e:\\data", 9) +
                       include(watched + "\\tmp", 10));
    refreshMonitorRequests();
    MonitorRules rules = rulesNow();
    EXPECT_EQ(rules.monitorFiles, (std::set<std::string>{"e:\\data"}));
    EXPECT_EQ(rules.monitorDirs, (std::set<std::string>{watched, watched + "\\tmp"}));
    EXPECT_EQ(rules.locations.count(watched + "\\old.txt"), 0u);
    EXPECT_EQ(g_startedDrives, (std::vector<char>{'E'}));
    EXPECT_TRUE(rules.newLocations.empty());
    EXPECT_TRUE(rules.newDrives.empty());
    const std::string log = logText();
    EXPECT_NE(log.find("\n New Drive E added for Monitoring!!"), std::string::npos);
    EXPECT_NE(log.find("\n New Data found..."), std::string::npos);
    EXPECT_NE(log.find("\n " + watched + "\\old.txt removed from Monitoring"), std::string::npos);
    EXPECT_NE(log.find("\nMonitorLists Updated..."), std::string::npos);
    // A second identical refresh changes nothing and starts nothing.
    refreshMonitorRequests();
    EXPECT_EQ(g_startedDrives.size(), 1u);
    EXPECT_EQ(rulesNow().monitorDirs.size(), 2u);
}

TEST_F(MonitorConfigTest, ExcludesChangeOnlyWhenExcludeRowsCome) {
    const std::string watched = windowsPath("watched");
    serveAgentRequests(include(watched, 7) + exclude(watched + "\\tmp"));
    loadMonitorRequests();
    serveAgentRequests(include(watched, 7));
    refreshMonitorRequests();
    EXPECT_EQ(rulesNow().ignoreDirs.size(), 1u);  // no exclude rows: kept
    serveAgentRequests(include(watched, 7) + exclude(watched + "\\x.log"));
    refreshMonitorRequests();
    EXPECT_TRUE(rulesNow().ignoreDirs.empty());
    EXPECT_EQ(rulesNow().ignoreFiles, (std::set<std::string>{watched + "\\x.log"}));
    EXPECT_TRUE(log_->has(" removed from Exclude Monitoring"));
}

// A location moved on the server keeps its LOC_ID: the new path is watched
// (and gets base data), the old one is dropped.
TEST_F(MonitorConfigTest, MovedLocationGoesOnBeingWatchedUnderItsNewPath) {
    const std::string watched = windowsPath("watched");
    serveAgentRequests(include(watched, 7));
    loadMonitorRequests();
    serveAgentRequests(include(watched + "\\tmp", 7));
    refreshMonitorRequests();
    MonitorRules rules = rulesNow();
    EXPECT_EQ(rules.monitorDirs, (std::set<std::string>{watched + "\\tmp"}));
    EXPECT_EQ(rules.locations.at(watched + "\\tmp").locId, 7);
    EXPECT_TRUE(log_->has("\n New Data found..."));
}

TEST_F(MonitorConfigTest, DeletedRequestsClearRulesOnlyWhenServerSaysYes) {
    const std::string watched = windowsPath("watched");
    serveAgentRequests(include(watched, 7) + exclude(watched + "\\tmp"));
    loadMonitorRequests();
    serveAgentRequests("");
    refreshMonitorRequests();  // the scenario answers NO
    EXPECT_EQ(rulesNow().monitorDirs.size(), 1u);
    ASSERT_TRUE(server_.failRequests("mode=fimRequests", 200, 1, "FIMREQUESTS_DELETED YES\n"));
    refreshMonitorRequests();
    MonitorRules rules = rulesNow();
    EXPECT_TRUE(rules.monitorDirs.empty());
    EXPECT_TRUE(rules.ignoreDirs.empty());
    EXPECT_TRUE(rules.locations.empty());
    EXPECT_EQ(rules.drives, (DriveSet{"C"}));
    EXPECT_TRUE(log_->has("\n Cleared FIM requests!!!"));
}

TEST_F(MonitorConfigTest, FirstRequestsAfterAnEmptyStartAreAFirstConfiguration) {
    serveAgentRequests("");
    loadMonitorRequests();
    serveAgentRequests(include(windowsPath("watched"), 7) + include("d:\\x", 8));
    refreshMonitorRequests();
    EXPECT_EQ(g_startedDrives, (std::vector<char>{'C', 'D'}));
    MonitorRules rules = rulesNow();
    EXPECT_FALSE(rules.firstConfiguration);
    EXPECT_TRUE(rules.newLocations.empty());
    EXPECT_FALSE(log_->has("New Drive"));
    EXPECT_FALSE(log_->has("\n New Data found..."));
}

TEST_F(MonitorConfigTest, RefreshWaitsWhileTheServerIsDown) {
    SetServerStatus(kServerDown);
    refreshMonitorRequests();
    EXPECT_EQ(server_.countRequests("monitorrequests"), 0u);
}

TEST_F(MonitorConfigTest, BaseConfigurationAnswerDecidesTheBaseBuild) {
    ASSERT_TRUE(server_.failRequests("mode=baseconfig", 200, 1, "BASECONFIG UNINITIALIZED\n"));
    loadBaseConfiguration();
    EXPECT_TRUE(log_->has("\n Creating Base Configuration..."));
    loadBaseConfiguration();  // the scenario: INITIALIZED
    EXPECT_TRUE(log_->has("\n BASECONFIG already initialized Server!!"));
    EXPECT_TRUE(log_->has("\nBAse config data: BASECONFIG INITIALIZED"));
}

}  // namespace
