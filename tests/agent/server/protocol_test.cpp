// The request catalogue, the key/value reader, registration with its
// retries and stop, the version report, status requests, the log type
// mapping and the facility look-up.
#include <gtest/gtest.h>

#include <memory>

#include <atomic>
#include <condition_variable>
#include <future>
#include <map>

#include "agent/server/protocol.h"
#include "agent/tablestore/data_dict.h"
#include "platform/clock.h"
#include "tests/agent/server/local_server.h"

namespace {

using namespace std::chrono_literals;

// Moves the manual clock on in 60 s steps until done() holds (the agent
// thread waits on the clock, the server answers on its own threads).
template <class Done>
bool DriveClockUntil(Done done) {
    for (int step = 0; step < 100000; ++step) {
        if (done()) return true;
        platform::advanceClock(60000);
        std::this_thread::sleep_for(1ms);
    }
    return done();
}

class ProtocolTest : public ::testing::Test {
protected:
    void SetUp() override {
        HttpGlobalInit();
        ResetObtainAgentIdStop();
        ResetLogTypeMapping();
    }
    void TearDown() override {
        platform::useSystemClock();
        SetHttpTransferLimits(HttpTransferLimits{});
    }
    // The targets under /event/agentHandler the server saw.
    std::vector<std::string> handlerTargets() {
        std::vector<std::string> result;
        for (const auto& t : server.targets())
            if (t.rfind("/event/agentHandler", 0) == 0) result.push_back(t.substr(7));
        return result;
    }
    LocalServer server;
};

TEST(RequestCatalogue, FormatsCarryTheirArgumentsAtFullWidth) {
    EXPECT_EQ(FormatRequest<Request::HostStatus>(std::int64_t{9007199254740993}, 7, 1700000000L),
              "agentHandler?mode=hoststatus&hostid=9007199254740993&status=7&nextScanTime=1700000000000");
    EXPECT_EQ(FormatRequest<Request::HostDetailsForHost>(-5, std::int64_t{INT64_MAX}),
              "hostdetails?slid=-5&hostid=9223372036854775807");
    EXPECT_EQ(FormatRequest<Request::Upload>(), "agentUpload");

    ResetAgentSettings();
    PutAgentSetting("ServerProtocol", "https");
    PutAgentSetting("ServerIPAddress", "10.1.2.3");
    PutAgentSetting("ServerPort", "8400");
    EXPECT_EQ(RequestUrl<Request::Update>(5),
              "https://10.1.2.3:8400/event/agentHandler?mode=update&slid=5");
}

// A text from the host, the registry or a metadata answer stays one
// parameter; a text that needs no escaping goes out as it always did.
TEST(RequestCatalogue, TextArgumentsAreEscapedOnlyWhereTheyMustBe) {
    EXPECT_EQ(FormatRequest<Request::Register>(std::string("box-1.corp.example"), "10.0.0.1,10.0.0.2", "no"),
              "agentHandler?mode=register&name=box-1.corp.example&ip=10.0.0.1,10.0.0.2&aws=no");
    EXPECT_EQ(FormatRequest<Request::Register>(std::string("host one&aws=yes"), "1.2.3.4\r\nX: y", "no"),
              "agentHandler?mode=register&name=host%20one%26aws%3Dyes&ip=1.2.3.4%0D%0AX:%20y&aws=no");
    EXPECT_EQ(FormatRequest<Request::StatusToolUpdate>("(null)", "box", "Installed"),
              "agentHandler?mode=agentStatusUpdate&agentId=(null)&agentName=box&status=Installed");
    EXPECT_EQ(FormatRequest<Request::StatusToolUpdate>("(null)", "b#x", "a+b=c d%"),
              "agentHandler?mode=agentStatusUpdate&agentId=(null)&agentName=b%23x&status=a%2Bb%3Dc%20d%25");
    EXPECT_EQ(FormatRequest<Request::GetFacility>(EscapedText{"Windows%20PowerShell"}),
              "agentHandler?mode=getFacility&type=Windows%20PowerShell");
    EXPECT_EQ(EscapeQueryValue(std::string("\xC3\xA9\0x", 4)), "%C3%A9%00x");
}

TEST(KeyValueLine, FirstLineKeyAndValue) {
    std::string key, value;
    EXPECT_TRUE(ReadKeyValueLine("SLID 1234\nOTHER 5\n", key, value));
    EXPECT_EQ(key, "SLID");
    EXPECT_EQ(value, "1234");

    EXPECT_TRUE(ReadKeyValueLine("\r\n\n  BASECONFIG\t yes please \r\nx", key, value));
    EXPECT_EQ(key, "BASECONFIG");
    EXPECT_EQ(value, "yes please ");

    // A key alone has no value, and the next line is not taken for one.
    EXPECT_FALSE(ReadKeyValueLine("SLID", key, value));
    EXPECT_FALSE(ReadKeyValueLine("SLID   \n1234", key, value));
    EXPECT_FALSE(ReadKeyValueLine("", key, value));
    EXPECT_FALSE(ReadKeyValueLine(std::string_view("\0SLID 5", 7), key, value));
}

TEST(KeyValueLine, LongKeysAndValuesAreCutNotRunTogether) {
    std::string key, value;
    const std::string longKey(150, 'K');
    const std::string longValue(300, 'v');
    ASSERT_TRUE(ReadKeyValueLine(longKey + " " + longValue + "\n", key, value));
    EXPECT_EQ(key, std::string(103, 'K'));
    EXPECT_EQ(value, std::string(103, 'v'));  // the key's tail does not become the value
    EXPECT_FALSE(ReadKeyValueLine(longKey, key, value));
}

TEST(KeyValueLine, OnlyTheExpectedKeyIsStored) {
    ResetAgentSettings();
    EXPECT_FALSE(StoreKeyValueAnswer("FIMREQUESTS_DELETED 3", "BASECONFIG"));
    EXPECT_FALSE(GetAgentSetting("FIMREQUESTS_DELETED").has_value());
    EXPECT_TRUE(StoreKeyValueAnswer("BASECONFIG 1\n", "BASECONFIG"));
    EXPECT_EQ(GetAgentSetting("BASECONFIG"), "1");
}

TEST_F(ProtocolTest, RegistrationRetriesEveryMinuteUntilAnSlidComes) {
    const std::vector<std::pair<int, std::string>> answers = {
        {200, ""}, {200, "SLID\n"}, {500, "SLID 9"}, {200, "SLIDX 5"}, {200, "SLID abc"},
        {200, "SLID 99999999999999999999"}, {200, "SLID -5"}, {200, "SLID 0"},
        {200, "SLID 77\r\nNEXT 1\r\n"}};
    std::atomic<std::size_t> served{0};
    server.http().Get("/event/agentHandler", [&](const httplib::Request&, httplib::Response& res) {
        const auto& answer = answers[std::min(served.load(), answers.size() - 1)];
        res.status = answer.first;
        res.set_content(answer.second, "text/plain");
        ++served;
    });
    UseLocalServer(server.start());
    SetAgentHost("agenthost", "10.0.0.9");
    LogCapture log(4);
    platform::useManualClock(1700000000000);

    auto id = std::async(std::launch::async, [] { return ObtainAgentId(); });
    ASSERT_TRUE(DriveClockUntil([&] { return id.wait_for(0s) == std::future_status::ready; }));
    EXPECT_EQ(id.get(), 77);
    EXPECT_EQ(AgentId(), 77);
    EXPECT_EQ(served.load(), answers.size());
    const auto targets = handlerTargets();
    ASSERT_FALSE(targets.empty());
    EXPECT_EQ(targets.front(), "agentHandler?mode=register&name=agenthost&ip=10.0.0.9&aws=no");
    const std::string text = log.text();
    EXPECT_NE(text.find("\n Retrying fetching agent id 5"), std::string::npos);
    EXPECT_NE(text.find("\n Error while registering."), std::string::npos);
    // Numbers that are no agent id are refused by name, not used.
    for (const char* refused : {"99999999999999999999", "-5", "0"})
        EXPECT_NE(text.find(std::string("SLID ") + refused + " is not a positive 64-bit number"), std::string::npos)
            << refused;
}

TEST_F(ProtocolTest, StopEndsTheRegistrationRetriesAtOnce) {
    std::atomic<int> served{0};
    server.http().Get("/event/agentHandler", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content("no id here", "text/plain");
        ++served;
    });
    UseLocalServer(server.start());
    SetAwsFlag(true);
    platform::useManualClock(1700000000000);

    auto id = std::async(std::launch::async, [] { return ObtainAgentId(); });
    // Past the AWS delay to the first answer, then stop while it waits to retry.
    ASSERT_TRUE(DriveClockUntil([&] { return served.load() >= 1; }));
    StopObtainAgentId();
    ASSERT_EQ(id.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(id.get().has_value());
    EXPECT_NE(handlerTargets().front().find("&aws=yes"), std::string::npos);

    // A stop given before the call returns at once without a request.
    const int before = served.load();
    EXPECT_FALSE(ObtainAgentId().has_value());
    EXPECT_EQ(served.load(), before);
}

TEST_F(ProtocolTest, StopCutsShortARegistrationRequestThatHangs) {
    // Shared with the handler, which may still run after the test body ends.
    struct Gate {
        std::mutex lock;
        std::condition_variable changed;
        bool arrived = false, release = false;
    };
    auto gate = std::make_shared<Gate>();
    server.http().Get("/event/agentHandler", [gate](const httplib::Request&, httplib::Response& res) {
        std::unique_lock<std::mutex> guard(gate->lock);
        gate->arrived = true;
        gate->changed.notify_all();
        gate->changed.wait_for(guard, 30s, [&] { return gate->release; });
        res.set_content("SLID 5", "text/plain");
    });
    UseLocalServer(server.start());
    auto id = std::async(std::launch::async, [] { return ObtainAgentId(); });
    bool arrived;
    {
        std::unique_lock<std::mutex> guard(gate->lock);
        arrived = gate->changed.wait_for(guard, 10s, [&] { return gate->arrived; });
    }
    StopObtainAgentId();
    const bool ended = id.wait_for(10s) == std::future_status::ready;
    {
        std::lock_guard<std::mutex> guard(gate->lock);
        gate->release = true;
    }
    gate->changed.notify_all();
    ASSERT_TRUE(arrived);
    ASSERT_TRUE(ended);
    EXPECT_FALSE(id.get().has_value());
}

TEST_F(ProtocolTest, VersionReportSaysYesOnlyForTheExactVersion) {
    std::string serverVersion = "8.0.1";
    int checkStatus = 200;
    server.http().Get("/event/agentHandler", [&](const httplib::Request& req, httplib::Response& res) {
        if (req.get_param_value("isSameVersion") == "check") {
            res.status = checkStatus;
            res.set_content("AGENTVERSIONINSERVER " + serverVersion + "\n", "text/plain");
        }
    });
    UseLocalServer(server.start());
    PutAgentSetting("AgentVersion", "8.0.1");
    SetAgentId(12);
    const std::string installBin = "/opt/Orbisk Agent/my bin/";

    EXPECT_TRUE(ReportAgentVersion(installBin));
    serverVersion = "8.0.1A";
    PutAgentSetting("AgentVersion", "8.0.1a");
    EXPECT_TRUE(ReportAgentVersion(installBin));
    // A failed check leaves the server's version unknown: reported as "no".
    ResetAgentSettings();
    UseLocalServer(server.port());
    PutAgentSetting("AgentVersion", "8.0.1");
    checkStatus = 500;
    EXPECT_TRUE(ReportAgentVersion(installBin));
    EXPECT_FALSE(GetAgentSetting("AGENTVERSIONINSERVER").has_value());

    const auto targets = handlerTargets();
    ASSERT_EQ(targets.size(), 6u);
    EXPECT_EQ(targets[0], "agentHandler?mode=agentversion&isSameVersion=check&version=8.0.1&slid=12");
    EXPECT_EQ(targets[1],
              "agentHandler?mode=agentversion&isSameVersion=yes&slid=12&installDir=/opt/Orbisk+Agent/my+bin/"
              "&version=8.0.1");
    EXPECT_NE(targets[3].find("isSameVersion=no&slid=12"), std::string::npos);
    EXPECT_NE(targets[5].find("isSameVersion=no"), std::string::npos);

    // Blanks stay "+"; what would end the parameter or the URL is escaped.
    EXPECT_TRUE(ReportAgentVersion("C:\\Program Files\\A&B #1\\bin\\"));
    EXPECT_NE(handlerTargets().back().find("&installDir=C:%5CProgram+Files%5CA%26B+%231%5Cbin%5C&version=8.0.1"),
              std::string::npos)
        << handlerTargets().back();
}

TEST_F(ProtocolTest, StatusRequestsReportSuccessAndFailure) {
    int status = 200;
    server.http().Get("/event/agentHandler", [&](const httplib::Request&, httplib::Response& res) {
        res.status = status;
    });
    UseLocalServer(server.start());
    SetAgentId(-3);
    LogCapture log(4);
    EXPECT_TRUE(SendServiceStarted());
    EXPECT_TRUE(SendServiceStop());
    EXPECT_TRUE(SendHostNotMonitored(9007199254740993));
    status = 404;
    EXPECT_FALSE(SendServiceStarted());
    EXPECT_FALSE(SendServiceStop());
    EXPECT_FALSE(SendHostNotMonitored(4));

    const auto targets = handlerTargets();
    ASSERT_EQ(targets.size(), 6u);
    EXPECT_EQ(targets[0], "agentHandler?mode=agentStatusUpdate&status=ServiceStarted&agentId=-3");
    EXPECT_EQ(targets[1], "agentHandler?mode=agentStatusUpdate&agentId=-3&status=ServiceStop");
    EXPECT_EQ(targets[2], "agentHandler?mode=hoststatus&hostid=9007199254740993&status=24&nextScanTime=-");
    const std::string text = log.text();
    for (const char* message : {"\n Agent Status successfully updated", "\n Agent Status update failed",
                                "\n Status successfully updated", "\n Status update failed",
                                "\n Updating host as not being monitored, host id :4"})
        EXPECT_NE(text.find(message), std::string::npos) << message;
}

class FacilityTest : public ProtocolTest {
protected:
    void SetUp() override {
        ProtocolTest::SetUp();
        static const bool dictionary =
            LoadDataDictFromXMLFile(AMBRIK_SOURCE_DIR "/data/data-dictionary.xml");
        ASSERT_TRUE(dictionary);
        server.http().Get("/event/agentHandler", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard<std::mutex> guard(lock);
            if (req.get_param_value("table") == "LogTypeMapping") {
                res.set_content(mappingDump, "text/xml");
                return;
            }
            const std::string type = req.get_param_value("type");
            ++asked[type];
            if (type == "Broken") res.status = 500;
            else if (type == "Garbage") res.set_content("none", "text/plain");
            else res.set_content("42\n", "text/plain");
        });
        UseLocalServer(server.start());
    }
    std::mutex lock;
    std::map<std::string, int> asked;
    std::string mappingDump =
        "<dataset><LogTypeMapping LTYPE=\"Application\" LVALUE=\"1\"/>"
        "<LogTypeMapping LTYPE=\"System\" LVALUE=\"2\"/>"
        "<LogTypeMapping LTYPE=\"Security\" LVALUE=\"3\"/></dataset>";
};

TEST_F(FacilityTest, MappingLoadsAndAnUnknownTypeIsAskedOnceEvenByFiveThreads) {
    LoadLogTypeMapping();
    std::string name = "System";
    std::int32_t type = -1;
    EXPECT_TRUE(LookupFacility(name, type));
    EXPECT_EQ(type, 2);

    std::vector<std::future<std::int32_t>> lookups;
    for (int i = 0; i < 5; ++i)
        lookups.push_back(std::async(std::launch::async, [] {
            std::string n = "Windows PowerShell";
            std::int32_t t = -1;
            return LookupFacility(n, t) ? t : -1;
        }));
    for (auto& lookup : lookups) EXPECT_EQ(lookup.get(), 42);
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(asked["Windows PowerShell"], 1);  // the name reached the server whole
    EXPECT_EQ(asked.count("System"), 0u);
}

TEST_F(FacilityTest, FailedLookupFallsBackToApplicationEveryTime) {
    LoadLogTypeMapping();
    for (const char* failing : {"Broken", "Garbage", "Broken"}) {
        std::string name = failing;
        std::int32_t type = -1;
        EXPECT_FALSE(LookupFacility(name, type));
        EXPECT_EQ(type, 1);
        EXPECT_EQ(name, "Application");
    }
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(asked["Broken"], 2);
}

TEST_F(FacilityTest, WithoutApplicationInTheMappingTheFallbackIsZero) {
    mappingDump = "<dataset><LogTypeMapping LTYPE=\"System\" LVALUE=\"2\"/></dataset>";
    LoadLogTypeMapping();
    std::string name = "Broken";
    std::int32_t type = -1;
    EXPECT_FALSE(LookupFacility(name, type));
    EXPECT_EQ(type, 0);
    EXPECT_EQ(name, "Application");
}

}  // namespace
