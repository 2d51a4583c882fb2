// The server module against orbisk-testserver: the start-up conversation,
// the upgrade hand-over, an upload and pinned HTTPS, as the real server
// stand-in sees them.
#include <gtest/gtest.h>

#include <future>

#include "agent/server/protocol.h"
#include "agent/server/upgrade.h"
#include "agent/tablestore/data_dict.h"
#include "platform/clock.h"
#include "testserver/harness.h"
#include "tests/agent/server/local_server.h"

namespace {

using namespace std::chrono_literals;

class TestServerConversation : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.ok()) << server.error();
        HttpGlobalInit();
        ResetObtainAgentIdStop();
        ResetLogTypeMapping();
        UseLocalServer(server.httpPort());
        SetAgentHost("agenthost", "127.0.0.1");
        PutAgentSetting("AgentVersion", "8.0.0");
        install = dir.path.string() + "/install/";
        std::filesystem::create_directories(install + "bin");
        PutAgentSetting("AgentInstallDir", install);
    }
    void TearDown() override { platform::useSystemClock(); }

    testserver::TestServer server;
    ScratchDir dir{"testserver-conversation"};
    std::string install;
};

TEST_F(TestServerConversation, RegistersAfterFailuresThenReportsInOrder) {
    static const bool dictionary = LoadDataDictFromXMLFile(AMBRIK_SOURCE_DIR "/data/data-dictionary.xml");
    ASSERT_TRUE(dictionary);
    ASSERT_TRUE(server.failRequests("mode=register", 500, 1));
    ASSERT_TRUE(server.failRequests("mode=register", 200, 1, std::string("NOSLID\n")));
    platform::useManualClock(1700000000000);
    auto id = std::async(std::launch::async, [] { return ObtainAgentId(); });
    for (int i = 0; i < 10000 && id.wait_for(1ms) != std::future_status::ready; ++i)
        platform::advanceClock(60000);
    ASSERT_EQ(id.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(id.get(), 1001);
    platform::useSystemClock();

    EXPECT_TRUE(SendServiceStarted());
    EXPECT_TRUE(ReportAgentVersion("/opt/orbisk agent/bin/"));
    LoadLogTypeMapping();
    std::string known = "Security", unknown = "Directory Service";
    std::int32_t knownType = -1, unknownType = -1;
    EXPECT_TRUE(LookupFacility(known, knownType));
    EXPECT_EQ(knownType, 3);
    EXPECT_TRUE(LookupFacility(unknown, unknownType));
    EXPECT_TRUE(LookupFacility(unknown, unknownType));
    EXPECT_GT(unknownType, 4);

    const auto targets = server.targets();
    const std::vector<std::string> expected = {
        "/event/agentHandler?mode=register&name=agenthost&ip=127.0.0.1&aws=no",
        "/event/agentHandler?mode=register&name=agenthost&ip=127.0.0.1&aws=no",
        "/event/agentHandler?mode=register&name=agenthost&ip=127.0.0.1&aws=no",
        "/event/agentHandler?mode=agentStatusUpdate&status=ServiceStarted&agentId=1001",
        "/event/agentHandler?mode=agentversion&isSameVersion=check&version=8.0.0&slid=1001",
        "/event/agentHandler?mode=agentversion&isSameVersion=yes&slid=1001&installDir=/opt/orbisk+agent/bin/"
        "&version=8.0.0",
        "/event/agentHandler?mode=getTableData&table=LogTypeMapping",
        "/event/agentHandler?mode=getFacility&type=Directory%20Service",
    };
    EXPECT_EQ(targets, expected);
}

TEST_F(TestServerConversation, UpgradeStartsTheServersRenovoOnlyForAnotherVersion) {
    const std::string temp = dir.file("temp");
    ::setenv("TEMP", temp.c_str(), 1);
    UpgradeCheck();
    EXPECT_EQ(server.countRequests("mode=version"), 1u);
    EXPECT_EQ(server.targets().size(), 1u);

    PutAgentSetting("AgentVersion", "7.9.0");
    UpgradeCheck();
    EXPECT_EQ(server.countRequests("mode=Renovo.exe"), 1u);
    const std::string marker = install + "bin/renovo-started.txt";
    // The upgrade program runs on its own: its marker may exist before its text is written.
    for (int i = 0; i < 1000 && ReadWholeFile(marker).find("8.0.0") == std::string::npos; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_NE(ReadWholeFile(marker).find("8.0.0"), std::string::npos);
    ::unsetenv("TEMP");
}

TEST_F(TestServerConversation, UploadIsStoredAndPinnedHttpsIsAccepted) {
    const std::string zip = dir.file("logdata_1001.zip");
    { std::FILE* f = std::fopen(zip.c_str(), "wb"); std::fputs("not really a zip", f); std::fclose(f); }
    EXPECT_EQ(HttpUploadFile(server.httpBase() + "agentUpload", zip), 0);
    EXPECT_TRUE(server.waitForUploads(1, 10000));
    EXPECT_NE(server.uploads().at(0).find("logdata_1001.zip"), std::string::npos);

    UseLocalServer(server.httpsPort(), "https");
    PutAgentSetting("ServerCACertFile", server.certFile());
    ResponseBuffer version;
    EXPECT_EQ(HttpGetToBuffer(server.httpsBase() + "agentHandler?mode=version", version), 0);
    EXPECT_EQ(version.data.rfind("8.0.0", 0), 0u);
}

}  // namespace
