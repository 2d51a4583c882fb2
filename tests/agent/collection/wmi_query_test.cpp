// The collection run against simulated hosts: the connection ladder and the
// host status codes through faults written into host.xml, the query start
// time, the 300-record buffers, and the last message time that the next
// query starts from.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "agent/collection/host_poll_queue.h"
#include "agent/collection/host_run_stats.h"
#include "agent/collection/wmi_query.h"
#include "agent/hosts/host_cache.h"
#include "agent/server/http_client.h"
#include "agent/server/protocol.h"
#include "agent/settings/settings.h"
#include "agent/store/data_files.h"
#include "agent/store/event_store.h"
#include "platform/clock.h"
#include "testserver/decoders/decoders.h"
#include "testserver/harness.h"
#include "tests/agent/collection/run_support.h"
#include "tests/agent/tablestore/test_support.h"
#include "tests/platform/wmi/wmi_test_util.h"

namespace {

namespace fs = std::filesystem;
namespace wmi = platform::wmi;
using wmitest::EventXml;

// 2026-03-02 10:00:00 UTC.
constexpr std::int64_t kNow = 1772445600;

// Sets TZ for one scope (POSIX rules need no zone files).
class TimeZone {
public:
    explicit TimeZone(const char* tz) {
        const char* old = std::getenv("TZ");
        hadOld_ = old != nullptr;
        if (old) old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~TimeZone() {
        if (hadOld_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool hadOld_ = false;
    std::string old_;
};

std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::size_t countOf(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
    return n;
}

// ------------------------------------------------------------------ query text

class QueryStartTimeTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::useManualClock(kNow * 1000);
        host = HostSlot{};
    }
    void TearDown() override { platform::useSystemClock(); }
    HostSlot host;
};

TEST_F(QueryStartTimeTest, NoLastTimeReadsTheWholeLog) {
    host.lastMessageTime = 0;
    EXPECT_EQ(queryStartTime(host, platform::nowSeconds()), "");
    EXPECT_EQ(eventQueryText(""), "Select * from Win32_NTLogEvent");
}

TEST_F(QueryStartTimeTest, TenDaysAgoStartsThreeDaysBackEastOfUtc) {
    TimeZone tz("XST-5:30");
    host.lastMessageTime = static_cast<double>(kNow - 10 * 86400) * 1000;
    // now - 259200 = 2026-02-27 10:00 UTC = 15:30 at +5:30.
    const std::string start = queryStartTime(host, platform::nowSeconds());
    EXPECT_EQ(start, "20260227153000.000000+330");
    EXPECT_EQ(eventQueryText(start),
              "Select * from Win32_NTLogEvent where TimeGenerated > '20260227153000.000000+330'");
}

TEST_F(QueryStartTimeTest, YesterdayStartsAtTheLastTimeWestOfUtc) {
    TimeZone tz("YST5");
    host.lastMessageTime = static_cast<double>(kNow - 86400) * 1000;
    EXPECT_EQ(queryStartTime(host, platform::nowSeconds()), "20260301050000.000000-300");
    // A last time in the future is taken as it is.
    host.lastMessageTime = static_cast<double>(kNow + 3600) * 1000;
    EXPECT_EQ(queryStartTime(host, platform::nowSeconds()), "20260302060000.000000-300");
}

TEST_F(QueryStartTimeTest, ExactlyThreeDaysIsStillTaken) {
    TimeZone tz("UTC0");
    host.lastMessageTime = static_cast<double>(kNow - kMaxQueryAgeSeconds + 1) * 1000;
    EXPECT_EQ(queryStartTime(host, kNow), "20260227100001.000000+000");
    host.lastMessageTime = static_cast<double>(kNow - kMaxQueryAgeSeconds - 1) * 1000;
    EXPECT_EQ(queryStartTime(host, kNow), "20260227100000.000000+000");
}

TEST_F(QueryStartTimeTest, SummerStartCarriesTheSummerOffset) {
    TimeZone tz("CET-1CEST,M3.5.0,M10.5.0/3");
    // 2026-03-01 10:00 UTC is winter (+060); a start in July is +120.
    host.lastMessageTime = static_cast<double>(kNow - 86400) * 1000;
    EXPECT_EQ(queryStartTime(host, kNow), "20260301110000.000000+060");
    const std::int64_t july = 1783080000;  // 2026-07-03 12:00 UTC
    host.lastMessageTime = static_cast<double>(july - 3600) * 1000;
    EXPECT_EQ(queryStartTime(host, july), "20260703130000.000000+120");
}

// The start names the instant of the last message time: for version 6 in
// the host's own zone, which it knows.
TEST_F(QueryStartTimeTest, VersionSixStartIsInTheHostsZone) {
    TimeZone tz("XST-5:30");
    host.majorVersion = 6;
    host.timeZoneDiff = 3600;
    host.lastMessageTime = static_cast<double>(kNow - 86400) * 1000;
    // 2026-03-01 10:00 UTC is 11:00 in the host's zone one hour east.
    EXPECT_EQ(queryStartTime(host, kNow), "20260301110000.000000+060");
}

TEST_F(QueryStartTimeTest, TextOfAnEarlierRunWinsOverTheMilliseconds) {
    host.lastMessageTime = static_cast<double>(kNow - 86400) * 1000;
    host.lastTimeUpdated = 1;
    host.lastMessageTimeText = "20260302093000.000000+060";
    // From that second on, inclusive.
    EXPECT_EQ(queryStartTime(host, kNow), "20260302092959.000000+060");
}

TEST(HostStatusTest, ResultsMapToTheirCodes) {
    EXPECT_EQ(hostStatusFromResult(wmi::E_ACCESSDENIED_), 2);
    EXPECT_EQ(hostStatusFromResult(wmi::WBEM_E_ACCESS_DENIED), 2);
    EXPECT_EQ(hostStatusFromResult(wmi::WBEM_E_FAILED), 3);
    EXPECT_EQ(hostStatusFromResult(wmi::WBEM_E_INVALID_QUERY), 14);
    EXPECT_EQ(hostStatusFromResult(wmi::WBEM_E_INVALID_SYNTAX), 16);
    EXPECT_EQ(hostStatusFromResult(wmi::WBEM_E_LOCAL_CREDENTIALS), 20);
    EXPECT_EQ(hostStatusFromResult(wmi::WBEM_E_CONNECTION_FAILED), 22);
    EXPECT_EQ(hostStatusFromResult(wmi::RPC_S_SERVER_UNAVAILABLE_HR), 23);
    // Codes outside the table, success codes included.
    EXPECT_EQ(hostStatusFromResult(wmi::WBEM_E_INVALID_CLASS), 15);
    EXPECT_EQ(hostStatusFromResult(wmi::S_OK_), 15);
    EXPECT_EQ(hostStatusFromResult(wmi::WBEM_S_FALSE), 15);
}

// ------------------------------------------------------------------ runs

// A test server for the log type mapping (Application 1, System 2,
// Security 3), a temporary hosts root and working directory, the event store.
class CollectionRunTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        testserver::HarnessOptions options;
        options.https = false;
        server = new testserver::TestServer(options);
        ASSERT_TRUE(server->ok()) << server->error();
        collection_test::pointAgentAtServer(server->httpPort());
        ASSERT_EQ(openEventStore(), 1);
        ASSERT_TRUE(createEventTables());
    }
    static void TearDownTestSuite() {
        closeEventStore();
        delete server;
        server = nullptr;
    }

    void SetUp() override {
        char pattern[] = "/tmp/ambrik-wmirun-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        fs::create_directories(dir / "hosts");
        fs::create_directories(dir / "work" / "serverdata");
        oldCwd = fs::current_path();
        fs::current_path(dir / "work");
        wmi::setHostsRoot((dir / "hosts").string());
        wmi::setLocalHostName("agentbox");
        wmi::setDiagnosticSink(nullptr);
        initHostCache();
        collection_test::prepareWindowsHost(hostSlot(0), 7, "host1.localhost");
        log = std::make_unique<::LogCapture>();
    }
    void TearDown() override {
        log.reset();
        withHostSlot(hostSlot(0), [](HostSlot& h) {
            h.filters.clear();
            h.notifications.clear();
        });
        initHostCache();
        fs::current_path(oldCwd);
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    HostSlot& host() { return hostSlot(0); }
    fs::path hostDir(const std::string& name = "host1.localhost") { return dir / "hosts" / name; }
    void hostXml(const std::string& inner, const std::string& version = "10.0.17763", int zone = 0,
                 const std::string& name = "host1.localhost") {
        wmitest::writeFile(hostDir(name) / "host.xml",
                           "<host version=\"" + version + "\" currentTimeZone=\"" + std::to_string(zone) + "\">" +
                               inner + "</host>\n");
    }
    static std::string account() { return "<account user=\"CORP\\admin\" password=\"secret\"/>"; }

    // n Application events, one second apart from 2026-03-02 08:00:00 UTC.
    static std::string applicationEvents(int n, int firstSecond = 0, int eventId = 1000) {
        std::string xml;
        for (int i = 0; i < n; ++i) {
            EventXml e;
            e.eventId = eventId;
            const int s = firstSecond + i;
            char t[40];
            std::snprintf(t, sizeof t, "2026-03-02T08:%02d:%02d.000000000Z", s / 60, s % 60);
            e.systemTime = t;
            e.recordId = s + 1;
            e.hasMessage = true;
            e.message = "event " + std::to_string(s);
            xml += wmitest::eventXml(e);
        }
        return xml;
    }
    void writeEvents(const std::string& xml, const std::string& file = "Application.xml") {
        wmitest::writeFile(hostDir() / file, "<Events>" + xml + "</Events>\n");
    }

    int run() { return collectHostEvents(host(), collectorSlot(0)); }

    // Filter 501: drops every event with this id.
    static FilterRule eventIdFilter(int eventId) {
        FilterRule filter;
        filter.filterId = 501;
        FilterCriterion any;
        any.criterionType = kAnyLogType;
        RuleExpression id;
        id.columnKind = kColumnEventId;
        id.eventIds = {eventId};
        any.expressions.push_back(id);
        filter.criteria.push_back(any);
        filter.columnMask = kColumnEventId;
        return filter;
    }

    std::vector<decoders::PackedRecord> rawRecords() {
        std::vector<decoders::PackedRecord> out;
        const std::string bytes = readAll(dir / "work" / kRawLogsFilePath);
        auto error = decoders::decodeRecords(bytes, kRawLogFormat, out);
        EXPECT_FALSE(error) << error.describe();
        return out;
    }

    static testserver::TestServer* server;
    fs::path dir;
    fs::path oldCwd;
    std::unique_ptr<::LogCapture> log;
};
testserver::TestServer* CollectionRunTest::server = nullptr;

TEST_F(CollectionRunTest, DisabledHostIsNotConnected) {
    host().collectionEnabled = 0;
    hostXml(account());
    EXPECT_EQ(run(), 0);
    EXPECT_TRUE(log->contains("\n Log collection is disabled for Host : host1.localhost "));
    EXPECT_FALSE(log->contains("CONNECT 1"));
}

TEST_F(CollectionRunTest, GoodAccountConnectsAtTheFirstStep) {
    hostXml(account());
    writeEvents(applicationEvents(2));
    host().status = 23;
    EXPECT_EQ(run(), 1);
    const std::string text = log->text();
    EXPECT_NE(text.find("\n \t CONNECT PARAMS: //host1.localhost/root/cimv2 : CORP\\admin \n"), std::string::npos);
    EXPECT_NE(text.find("\n \t CONNECT 1 0 \n"), std::string::npos);
    EXPECT_EQ(text.find("CONNECT 2.1"), std::string::npos);
    EXPECT_NE(text.find("\n Host Status changed to normal"), std::string::npos);
    EXPECT_NE(text.find("\n EventLogs stored into DB"), std::string::npos);
    EXPECT_EQ(host().status, 0);
    EXPECT_EQ(host().collected, 0);
    EXPECT_EQ(rawRecords().size(), 2u);
}

TEST_F(CollectionRunTest, UserNameWithItsOwnDomainIsNotPrefixedAgain) {
    hostXml(account());
    writeEvents(applicationEvents(1));
    host().userName = "CORP\\admin";
    EXPECT_EQ(run(), 1);
    EXPECT_TRUE(log->contains("\n \t CONNECT PARAMS: //host1.localhost/root/cimv2 : CORP\\admin \n"));
    EXPECT_EQ(host().status, 0);
}

TEST_F(CollectionRunTest, WrongPasswordWalksTheWholeLadderAndReportsAccessDenied) {
    hostXml(account());
    host().password = "wrong";
    EXPECT_EQ(static_cast<unsigned>(run()), 0x80004005u);
    const std::string text = log->text();
    const auto c1 = text.find("\n \t CONNECT 1 80070005 \n");
    const auto c21 = text.find("\n \t CONNECT 2.1 80070005 \n");
    const auto c3 = text.find("\n Connect 3 <-> \\\\host1.localhost\\root\\cimv2");
    const auto c3r = text.find("\n \t CONNECT 3 80070005 \n");
    ASSERT_NE(c1, std::string::npos) << text;
    ASSERT_NE(c21, std::string::npos);
    ASSERT_NE(c3, std::string::npos);
    ASSERT_NE(c3r, std::string::npos);
    EXPECT_LT(c1, c21);
    EXPECT_LT(c21, c3);
    EXPECT_NE(text.find("\n Connection Result for Host host1.localhost is 80070005"), std::string::npos);
    EXPECT_NE(text.find("\n Coming to Cleanup: 80070005"), std::string::npos);
    EXPECT_EQ(host().status, 2);
}

TEST_F(CollectionRunTest, OneRefusalIsOvercomeWithoutCredentials) {
    // No account: any caller is let in, so the second step succeeds.
    hostXml("<fault step=\"connect\" hresult=\"0x80070005\" count=\"1\"/>");
    writeEvents(applicationEvents(1));
    EXPECT_EQ(run(), 1);
    EXPECT_TRUE(log->contains("\n \t CONNECT 2.1 0 \n"));
    EXPECT_FALSE(log->contains("Connect 3"));
    EXPECT_EQ(host().status, 0);
}

TEST_F(CollectionRunTest, TwoRefusalsAreOvercomeByTheUncNamespace) {
    hostXml(account() + "<fault step=\"connect\" hresult=\"0x80041003\" count=\"1\"/>");
    writeEvents(applicationEvents(1));
    EXPECT_EQ(run(), 1);
    // WMI's own access denied skips the second step and goes to the third.
    EXPECT_FALSE(log->contains("CONNECT 2.1"));
    EXPECT_TRUE(log->contains("\n \t CONNECT 3 0 \n"));
    EXPECT_EQ(rawRecords().size(), 1u);
}

TEST_F(CollectionRunTest, MissingHostFolderIsRpcUnavailable) {
    EXPECT_EQ(static_cast<unsigned>(run()), 0x80004005u);
    EXPECT_TRUE(log->contains("\n \t CONNECT 1 800706ba \n"));
    EXPECT_FALSE(log->contains("CONNECT 2.1"));
    EXPECT_EQ(host().status, 23);
}

TEST_F(CollectionRunTest, AgentsOwnAddressConnectsLocallyWithoutCredentials) {
    host().ipAddress = "127.0.0.200";  // the second of the agent's addresses
    hostXml("", "10.0.17763", 0, "agentbox");
    wmitest::writeFile(hostDir("agentbox") / "Application.xml", "<Events>" + applicationEvents(3) + "</Events>");
    EXPECT_EQ(run(), 1);
    const std::string text = log->text();
    EXPECT_NE(text.find("\n Local Hosts : Name host1.localhost Agent Name agentbox"), std::string::npos);
    EXPECT_NE(text.find("Setting User details to empty values"), std::string::npos);
    EXPECT_NE(text.find("\n \t CONNECT PARAMS: //./root/cimv2 :  \n"), std::string::npos);
    EXPECT_NE(text.find("\n Setting Proxy client to null "), std::string::npos);
    EXPECT_EQ(rawRecords().size(), 3u);
}

TEST_F(CollectionRunTest, RefusedBlanketIsRetriedAtPacketLevel) {
    hostXml(account() + "<fault step=\"blanket\" hresult=\"0x80070005\" count=\"1\"/>");
    writeEvents(applicationEvents(1));
    EXPECT_EQ(run(), 1);
    EXPECT_TRUE(log->contains("\n Setting XP Proxy client 2"));
    EXPECT_TRUE(log->contains("\n Proxy 3 0 \n"));
    EXPECT_TRUE(log->contains("\nQuery Successfull In proxy 2 : 0 \n"));
    EXPECT_EQ(host().status, 0);
}

TEST_F(CollectionRunTest, FailedBlanketEndsTheRunWithItsStatus) {
    hostXml(account() + "<fault step=\"blanket\" hresult=\"0x80041045\"/>");
    EXPECT_EQ(static_cast<unsigned>(run()), 0x80004005u);
    EXPECT_TRUE(log->contains("Query Fails, Error fetching logs for host Code 80041045 "));
    EXPECT_EQ(host().status, 18);
}

TEST_F(CollectionRunTest, QueryFailuresSetTheirStatusAndOutOfMemoryIsRetriedOnce) {
    hostXml(account() + "<fault step=\"query\" hresult=\"0x80041017\"/>");
    EXPECT_EQ(static_cast<unsigned>(run()), 0x80004005u);
    EXPECT_TRUE(log->contains("Query Fails, Error fetching logs for host Code 80041017 "));
    EXPECT_EQ(host().status, 14);

    hostXml(account() + "<fault step=\"query\" hresult=\"0x80041006\" count=\"1\"/>", "10.0.17763", 0);
    // A changed host.xml restarts its fault counters; make sure its time differs.
    fs::last_write_time(hostDir() / "host.xml", fs::file_time_type::clock::now() + std::chrono::seconds(5));
    writeEvents(applicationEvents(1));
    EXPECT_EQ(run(), 1);
    EXPECT_TRUE(log->contains("WBEM not enough memory so setting  WBEM_FLAG_RETURN_IMMEDIATELY flag \n"));
    EXPECT_EQ(host().status, 0);
}

TEST_F(CollectionRunTest, VersionIsReadOnceAndVersionSixTakesTheHostZone) {
    hostXml(account(), "6.1.7601", 60);
    writeEvents(applicationEvents(1));
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(host().majorVersion, 6);
    EXPECT_EQ(host().minorVersion, 1);
    EXPECT_EQ(host().timeZoneDiff, 3600);
    EXPECT_TRUE(log->contains("\n Windows version 6, Minor Version 1, TZ Diff 3600"));
    EXPECT_EQ(countOf(log->text(), "Query For Windows Version"), 1u);
    run();
    EXPECT_EQ(countOf(log->text(), "Query For Windows Version"), 1u);
}

TEST_F(CollectionRunTest, OtherVersionsKeepTheirZoneDifference) {
    hostXml(account(), "10.0.17763", 120);
    writeEvents(applicationEvents(1));
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(host().majorVersion, 10);
    EXPECT_EQ(host().minorVersion, 0);
    EXPECT_EQ(host().timeZoneDiff, 0);
}

TEST_F(CollectionRunTest, FailedVersionQueryDoesNotStopTheRun) {
    hostXml(account() + "<fault step=\"version\" hresult=\"0x80041001\"/>");
    writeEvents(applicationEvents(2));
    EXPECT_EQ(run(), 1);
    EXPECT_TRUE(log->contains("Query Fails, Error fetching win version 80041001 "));
    EXPECT_EQ(host().majorVersion, -1);
    EXPECT_EQ(rawRecords().size(), 2u);
}

TEST_F(CollectionRunTest, FailureInTheMiddleKeepsWhatCameBefore) {
    hostXml(account() + "<fault step=\"next\" hresult=\"0x80041001\" after=\"2\"/>");
    writeEvents(applicationEvents(5));
    EXPECT_EQ(static_cast<unsigned>(run()), 0x80004005u);
    EXPECT_TRUE(log->contains("\n Enumeration Failed : Next Method call failed Error Code 80041001"));
    EXPECT_EQ(rawRecords().size(), 2u);
    // The run reached its enumeration: the host counts as normal.
    EXPECT_EQ(host().status, 0);
    EXPECT_EQ(host().lastMessageTimeText, "20260302080001.000000+000");
}

TEST_F(CollectionRunTest, TimeoutsUpToTheLimitAreWaitedOut) {
    hostXml(account() + "<fault step=\"next\" hresult=\"0x40004\" count=\"2001\"/>");
    writeEvents(applicationEvents(3));
    EXPECT_EQ(run(), 1);
    EXPECT_FALSE(log->contains("Timeout Count Exceeds"));
    EXPECT_EQ(rawRecords().size(), 3u);
}

TEST_F(CollectionRunTest, SilentHostEndsTheRunAfterTheTimeoutLimit) {
    hostXml(account() + "<fault step=\"next\" hresult=\"0x40004\" count=\"2002\"/>");
    writeEvents(applicationEvents(3));
    EXPECT_EQ(run(), 1);
    EXPECT_TRUE(log->contains("\n Timeout Count Exceeds \n"));
    EXPECT_FALSE(fs::exists(dir / "work" / kRawLogsFilePath));
    EXPECT_EQ(host().status, 0);
}

TEST_F(CollectionRunTest, ThreeHundredRecordsAreOneWrite) {
    hostXml(account());
    writeEvents(applicationEvents(300));
    const long before = countCurrentEvents();
    EXPECT_EQ(run(), 1);
    const std::string text = log->text();
    EXPECT_EQ(countOf(text, "\n Dumping to DB : "), 1u);
    EXPECT_EQ(countOf(text, "\n Dumping to DB : 300 number of logs"), 1u);
    EXPECT_EQ(countCurrentEvents() - before, 300);
    EXPECT_EQ(rawRecords().size(), 300u);
}

TEST_F(CollectionRunTest, ThreeHundredAndOneRecordsAreTwoWritesInOrder) {
    hostXml(account());
    writeEvents(applicationEvents(301));
    const long before = countCurrentEvents();
    EXPECT_EQ(run(), 1);
    const std::string text = log->text();
    const auto first = text.find("\n Dumping to DB : 300 number of logs");
    const auto second = text.find("\n Dumping to DB : 1 number of logs");
    ASSERT_NE(first, std::string::npos);
    ASSERT_NE(second, std::string::npos);
    EXPECT_LT(first, second);
    EXPECT_EQ(countCurrentEvents() - before, 301);
    const auto records = rawRecords();
    ASSERT_EQ(records.size(), 301u);
    // Field 23 is the message: the file keeps the host's order.
    EXPECT_EQ(records.front().fields[22].text, "event 0");
    EXPECT_EQ(records[299].fields[22].text, "event 299");
    EXPECT_EQ(records.back().fields[22].text, "event 300");
    EXPECT_EQ(records.back().fields[0].text, "Windows");
    EXPECT_EQ(records.back().fields[1].number, 7);
    EXPECT_EQ(records.back().fields[2].text, "host1.localhost");
}

TEST_F(CollectionRunTest, DroppedRecordsDoNotCountAndKeptOnesCarryTheirNotifications) {
    hostXml(account());
    // 301 events, of which the 2 with id 2000 are filtered out: 299 kept, one write.
    std::string xml = applicationEvents(150) + applicationEvents(2, 150, 2000) + applicationEvents(149, 152);
    writeEvents(xml);
    withHostSlot(host(), [](HostSlot& h) {
        h.filters.push_back(eventIdFilter(2000));
        NotificationRule rule;
        rule.notificationId = 801;
        rule.logTypeCodes = {kAnyLogType};
        rule.occurrenceThreshold = 100;
        rule.interval = 30;
        h.notifications.push_back(rule);
    });
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(countOf(log->text(), "\n Eventlog filtered out."), 2u);
    EXPECT_EQ(countOf(log->text(), "\n Dumping to DB : "), 1u);
    const auto records = rawRecords();
    ASSERT_EQ(records.size(), 299u);
    int notified = 0;
    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].fields[5].number, 1000) << i;
        if (records[i].fields[21].text == "801,") ++notified;
    }
    // Every 100th kept event notifies.
    EXPECT_EQ(notified, 2);
    EXPECT_EQ(records[99].fields[21].text, "801,");
    EXPECT_EQ(records[199].fields[21].text, "801,");
}

// Each run's record: failures in a row with their COM result, what was read
// and filtered, and the record numbers the host's log lost before a read.
TEST_F(CollectionRunTest, RunRecordCountsFailuresEventsAndLostRecords) {
    hostXml(account());
    host().password = "wrong";
    run();
    run();
    HostRunRecord r = hostRunRecord(0, 7);
    EXPECT_EQ(r.consecutiveFailures, 2);
    EXPECT_TRUE(r.lastRunFailed);
    EXPECT_EQ(r.lastResult, 0x80070005u);
    EXPECT_EQ(r.readThrough, 0);
    EXPECT_GT(r.lastRunEnd, 0);

    host().password = "secret";
    // Records 1-3 and 4 (filtered out), then 7 and 8: 5 and 6 were lost.
    writeEvents(applicationEvents(3) + applicationEvents(1, 3, 2000) + applicationEvents(2, 6));
    withHostSlot(host(), [](HostSlot& h) { h.filters.push_back(eventIdFilter(2000)); });
    EXPECT_EQ(run(), 1);
    r = hostRunRecord(0, 7);
    EXPECT_EQ(r.consecutiveFailures, 0);
    EXPECT_FALSE(r.lastRunFailed);
    EXPECT_EQ(r.eventsCollected, 5u);
    EXPECT_EQ(r.eventsFiltered, 1u);
    EXPECT_EQ(r.recordGaps, 2u);
    EXPECT_GT(r.lastGapTime, 0);
    EXPECT_EQ(r.readThrough, r.lastRunStart);
    EXPECT_EQ(r.newestEventTime, 1772438400 + 7);  // 2026-03-02 08:00:07 UTC

    // The next run reads the newest second again and record 10 after a hole of one.
    writeEvents(applicationEvents(3) + applicationEvents(1, 3, 2000) + applicationEvents(2, 6) +
                applicationEvents(1, 9));
    EXPECT_EQ(run(), 1);
    r = hostRunRecord(0, 7);
    EXPECT_EQ(r.eventsCollected, 6u);
    EXPECT_EQ(r.recordGaps, 3u);
    // Another host in the slot starts afresh.
    EXPECT_EQ(hostRunRecord(0, 8).eventsCollected, 0u);

    // Out of order, repeated, and a cleared log numbering from 1 again.
    std::map<std::string, std::int64_t> newest{{"System", 50}};
    EXPECT_EQ(countRecordGaps(newest, {{"Security", {9, 7, 7, 4}}, {"System", {3, 1}}}), 4u);  // 5, 6, 8 and 2
    EXPECT_EQ(newest["Security"], 9);
    EXPECT_EQ(newest["System"], 3);
}

TEST_F(CollectionRunTest, NextQueryStartsAfterTheNewestTimeWritten) {
    hostXml(account(), "10.0.17763", 60);
    writeEvents(applicationEvents(3));
    EXPECT_EQ(run(), 1);
    EXPECT_TRUE(log->contains("\n Query: Select * from Win32_NTLogEvent\n"));
    // The newest event's TimeWritten as the host wrote it (its offset +060).
    EXPECT_EQ(host().lastTimeUpdated, 1);
    EXPECT_EQ(host().lastMessageTimeText, "20260302090002.000000+060");
    EXPECT_GT(host().lastMessageTime, 0.0);
    EXPECT_EQ(rawRecords().size(), 3u);

    // Two newer events arrive; the second run asks only for them.
    writeEvents(applicationEvents(5));
    EXPECT_EQ(run(), 1);
    EXPECT_TRUE(log->contains(
        "\n Query: Select * from Win32_NTLogEvent where TimeGenerated > '20260302090001.000000+060'"));
    const auto records = rawRecords();
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records[3].fields[22].text, "event 3");
    EXPECT_EQ(records[4].fields[22].text, "event 4");
    EXPECT_EQ(host().lastMessageTimeText, "20260302090004.000000+060");

    // Nothing new: the time stays and nothing is written.
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(rawRecords().size(), 5u);
    EXPECT_EQ(host().lastMessageTimeText, "20260302090004.000000+060");
}

// Hosts east and west of the agent, of any version, give every event its
// true time: 08:00:00 UTC is 08:00:00 UTC whatever zone wrote it.
TEST_F(CollectionRunTest, EventTimesAreTrueWhateverTheHostsZoneAndVersion) {
    const std::int64_t eightUtc = 1772438400;  // 2026-03-02 08:00:00 UTC
    for (const auto& [version, zone] : std::vector<std::pair<std::string, int>>{
             {"10.0.17763", 60}, {"10.0.17763", -300}, {"6.1.7601", 60}, {"6.3.9600", 330}, {"5.2.3790", 120}}) {
        initHostCache();
        collection_test::prepareWindowsHost(hostSlot(0), 7, "host1.localhost");
        std::error_code ec;
        fs::remove(dir / "work" / kRawLogsFilePath, ec);
        hostXml(account(), version, zone);
        writeEvents(applicationEvents(2));
        EXPECT_EQ(run(), 1);
        const auto records = rawRecords();
        ASSERT_EQ(records.size(), 2u) << version << " " << zone;
        EXPECT_EQ(records[0].fields[3].number, eightUtc) << version << " " << zone;
        EXPECT_EQ(records[1].fields[3].number, eightUtc + 1) << version << " " << zone;
        EXPECT_EQ(static_cast<std::int64_t>(host().lastMessageTime / 1000), eightUtc + 1) << version << " " << zone;
    }
}

// A busy log: events keep coming in the second a run saw last. The next run
// asks for that second again and takes only the events it did not have, by
// their log file and record number.
TEST_F(CollectionRunTest, EventsSharingTheNewestSecondAreCollectedOnce) {
    hostXml(account(), "10.0.17763", 60);
    auto inSecond = [](int second, long long record, const std::string& channel = "Application") {
        EventXml e;
        e.eventId = 1000;
        e.channel = channel;
        char t[40];
        std::snprintf(t, sizeof t, "2026-03-02T08:00:%02d.000000000Z", second);
        e.systemTime = t;
        e.recordId = record;
        e.hasMessage = true;
        e.message = channel + " " + std::to_string(record);
        return wmitest::eventXml(e);
    };
    std::string application = inSecond(0, 1) + inSecond(1, 2) + inSecond(2, 3);
    std::string system = inSecond(2, 3, "System");  // the same record number in another log
    writeEvents(application);
    writeEvents(system, "System.xml");
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(rawRecords().size(), 4u);

    // 25 more in the same second across both logs, then one a second later.
    for (int i = 0; i < 20; ++i) application += inSecond(2, 4 + i);
    for (int i = 0; i < 5; ++i) system += inSecond(2, 4 + i, "System");
    writeEvents(application);
    writeEvents(system, "System.xml");
    EXPECT_EQ(run(), 1);
    EXPECT_TRUE(log->contains("where TimeGenerated > '20260302090001.000000+060'"));
    EXPECT_EQ(rawRecords().size(), 4u + 25u);
    application += inSecond(2, 24) + inSecond(3, 25);
    writeEvents(application);
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(run(), 1);  // nothing new
    const auto records = rawRecords();
    ASSERT_EQ(records.size(), 4u + 25u + 2u);
    std::set<std::string> messages;
    for (const auto& r : records) messages.insert(r.fields[22].text);
    EXPECT_EQ(messages.size(), records.size());  // none twice
    EXPECT_EQ(host().lastMessageTimeText, "20260302090003.000000+060");
}

// A host that starts from LAST_MSG_TIME (the newest event the server has,
// after a restart): the event of that second is not asked for again, also
// not by the runs after one that found nothing new.
TEST_F(CollectionRunTest, StartFromTheServersLastTimeTakesNothingTwice) {
    TimeZone tz("UTC0");
    platform::useManualClock(kNow * 1000);
    hostXml(account(), "10.0.17763", 60);
    writeEvents(applicationEvents(3));
    withHostSlot(host(), [](HostSlot& h) { h.lastMessageTime = 1772438402.0 * 1000; });  // event 2
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(run(), 1);
    EXPECT_TRUE(log->contains("where TimeGenerated > '20260302080002.000000+000'"));
    EXPECT_EQ(readAll(dir / "work" / kRawLogsFilePath), "");
    writeEvents(applicationEvents(4));
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(run(), 1);
    platform::useSystemClock();
    const auto records = rawRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].fields[22].text, "event 3");
}

// Buffers that cannot be written are neither counted nor lost: the host's
// last message time stays before them and the next run collects them, once.
TEST_F(CollectionRunTest, EventsThatCouldNotBeWrittenAreCollectedAgainOnce) {
    hostXml(account(), "10.0.17763", 60);
    writeEvents(applicationEvents(3));
    EXPECT_EQ(run(), 1);
    const double firstTime = host().lastMessageTime;
    const long before = countCurrentEvents();
    writeEvents(applicationEvents(310));
    // The raw-log file cannot be opened: a directory stands in its way.
    fs::rename(dir / "work" / kRawLogsFilePath, dir / "work" / "rawlogs.kept");
    fs::create_directories(dir / "work" / kRawLogsFilePath);
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(countCurrentEvents(), before);  // nothing counted
    EXPECT_LE(host().lastMessageTime, firstTime);
    EXPECT_EQ(host().lastMessageTimeText, "20260302090003.000000+060");  // the oldest event not written
    EXPECT_EQ(countOf(log->text(), "Unable to open serverdata/rawlogs for append"), 1u);

    fs::remove(dir / "work" / kRawLogsFilePath);
    fs::rename(dir / "work" / "rawlogs.kept", dir / "work" / kRawLogsFilePath);
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(countCurrentEvents() - before, 307);
    const auto records = rawRecords();
    ASSERT_EQ(records.size(), 310u);
    std::set<std::string> messages;
    for (const auto& r : records) messages.insert(r.fields[22].text);
    EXPECT_EQ(messages.size(), 310u);
}

TEST(SecondBefore, StepsBackOverMinuteHourDayAndYearEnds) {
    EXPECT_EQ(secondBefore("20260302090002.000000+060"), "20260302090001.000000+060");
    EXPECT_EQ(secondBefore("20260302090000.500000-300"), "20260302085959.500000-300");
    EXPECT_EQ(secondBefore("20260101000000.000000+000"), "20251231235959.000000+000");
    EXPECT_EQ(secondBefore("20240301000000.000000+000"), "20240229235959.000000+000");
}

TEST_F(CollectionRunTest, HostWestOfTheAgentIsNotCollectedTwice) {
    TimeZone tz("UTC0");
    platform::useManualClock(kNow * 1000);
    // The host writes its times at -300; the first query starts from
    // LAST_MSG_TIME (07:00 UTC) written at the agent's +000.
    hostXml(account(), "10.0.17763", -300);
    writeEvents(applicationEvents(3));
    host().lastMessageTime = static_cast<double>(kNow - 3 * 3600) * 1000;
    EXPECT_EQ(run(), 1);
    EXPECT_TRUE(log->contains("where TimeGenerated > '20260302070000.000000+000'"));
    EXPECT_EQ(host().lastMessageTimeText, "20260302030002.000000-300");
    EXPECT_EQ(run(), 1);
    platform::useSystemClock();
    EXPECT_TRUE(log->contains("where TimeGenerated > '20260302030001.000000-300'"));
    EXPECT_EQ(rawRecords().size(), 3u);
}

// Runs after the collection runs: it changes the settings they use.
TEST(WmiHostsFolderTest, RegistryValueElseTheInstallDirectory) {
    ResetAgentSettings();
    PutAgentSetting("AgentInstallDir", "/opt/orbisk-test/agent/");
    configureWmiHosts();
    EXPECT_EQ(wmi::hostsRoot(), "/opt/orbisk-test/agent/wmi-hosts/");
    PutAgentSetting("WmiHostsDir", "/srv/simulated-hosts");
    configureWmiHosts();
    EXPECT_EQ(wmi::hostsRoot(), "/srv/simulated-hosts");
    wmi::setDiagnosticSink(nullptr);
}

}  // namespace
