// Event collection from end to end: the real agent in the console, on a clock
// running 60 times faster than real time, against the test server with three
// simulated Windows hosts whose event logs the test writes. What reaches the
// server is decoded and compared with what the test fed in: the raw-log
// records one by one (in order per host, with the notification marks), and
// the hourly aggregate lines with counts the test computes from its input.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "testserver/decoders/decoders.h"
#include "testserver/harness.h"
#include "tests/support/agent_install.h"
#include "tests/support/agent_process.h"
#include "tests/platform/wmi/wmi_test_util.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

using agent_process::readFile;
using agent_process::writeFile;

// ------------------------------------------------------------------ the input

struct Host {
    std::int64_t id;
    std::string name;
};
const Host kHosts[] = {{201, "one.localhost"}, {202, "two.localhost"}, {203, "three.localhost"}};

constexpr const char* kAuditSuccess = "0x8020000000000000";
constexpr const char* kAuditFailure = "0x8010000000000000";
constexpr const char* kClassic = "0x80000000000000";

// One event as a host's log holds it, and what the agent is expected to make of it.
struct FedEvent {
    std::int64_t hostId = 0;
    std::string channel;
    std::string provider;
    int eventId = 0;
    int level = 4;
    std::string keywords = kClassic;
    std::string time;  // UTC "YYYY-MM-DDTHH:MM:SS"
    std::vector<std::pair<std::string, std::string>> data;
    std::string message;  // rendered message; "" = none
    bool filtered = false;
    std::string notified;  // the marks the scenario's rules give it

    std::string value(const std::string& name) const {
        for (const auto& [k, v] : data)
            if (k == name) return v;
        return "";
    }
    // Severity from Level and Keywords, as the host reports EventType.
    int severity() const {
        if (keywords == kAuditSuccess) return 4;
        if (keywords == kAuditFailure) return 5;
        if (level == 1 || level == 2) return 1;
        if (level == 3) return 2;
        return 3;
    }
    bool logonEvent() const { return channel == "Security" && (eventId == 4624 || eventId == 4625); }
    // Logon events have their names from the named EventData fields; other
    // events have no attributes.
    std::string user() const { return logonEvent() ? value("TargetUserName") : ""; }
    std::string domain() const { return logonEvent() ? value("TargetDomainName") : "-"; }
    std::string client() const { return logonEvent() ? value("LogonType") : "-"; }
    std::string remoteHost() const { return logonEvent() ? value("IpAddress") : ""; }
    std::string expectedMessage() const {
        if (!message.empty()) return message;
        if (!data.empty() && !data.front().second.empty()) return data.front().second;
        return "The Description for this Event ID could not be found. ";
    }
    std::int64_t epoch() const {
        std::tm tm{};
        strptime(time.c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
        return static_cast<std::int64_t>(timegm(&tm));
    }
    std::string xml(long long recordId) const {
        std::string x = "<Event xmlns='http://schemas.microsoft.com/win/2004/08/events/event'><System>";
        x += "<Provider Name='" + wmitest::escapeXml(provider) + "'/><EventID>" + std::to_string(eventId) +
             "</EventID><Version>0</Version><Level>" + std::to_string(level) +
             "</Level><Task>0</Task><Opcode>0</Opcode><Keywords>" + keywords + "</Keywords>";
        x += "<TimeCreated SystemTime='" + time + ".000000000Z'/><EventRecordID>" + std::to_string(recordId) +
             "</EventRecordID><Correlation/><Execution ProcessID='4' ThreadID='8'/><Channel>" + channel +
             "</Channel><Computer>HOST</Computer><Security/></System><EventData>";
        for (const auto& [k, v] : data) x += "<Data Name='" + k + "'>" + wmitest::escapeXml(v) + "</Data>";
        x += "</EventData>";
        if (!message.empty())
            x += "<RenderingInfo Culture='en-US'><Message>" + wmitest::escapeXml(message) + "</Message></RenderingInfo>";
        return x + "</Event>\n";
    }
};

std::vector<std::pair<std::string, std::string>> logonData(const std::string& user, const std::string& ip,
                                                           const std::string& logonType) {
    return {{"SubjectUserSid", "S-1-5-18"},     {"SubjectUserName", "DC01$"},
            {"SubjectDomainName", "CORP"},      {"SubjectLogonId", "0x3e7"},
            {"TargetUserSid", "S-1-5-21-1-1104"}, {"TargetUserName", user},
            {"TargetDomainName", "CORP"},       {"TargetLogonId", "0x8b0aad6"},
            {"LogonType", logonType},           {"LogonProcessName", "NtLmSsp "},
            {"AuthenticationPackageName", "NTLM"}, {"WorkstationName", "WS01"},
            {"LogonGuid", "{00000000-0000-0000-0000-000000000000}"}, {"TransmittedServices", "-"},
            {"LmPackageName", "NTLM V2"},       {"KeyLength", "128"},
            {"ProcessId", "0x0"},               {"ProcessName", "-"},
            {"IpAddress", ip},                  {"IpPort", "49152"}};
}

std::vector<std::pair<std::string, std::string>> failedLogonData(const std::string& user, const std::string& ip) {
    return {{"SubjectUserSid", "S-1-0-0"},  {"SubjectUserName", "-"},         {"SubjectDomainName", "-"},
            {"SubjectLogonId", "0x0"},      {"TargetUserSid", "S-1-0-0"},     {"TargetUserName", user},
            {"TargetDomainName", "CORP"},   {"Status", "0xc000006d"},         {"FailureReason", "%%2313"},
            {"SubStatus", "0xc000006a"},    {"LogonType", "3"},               {"LogonProcessName", "NtLmSsp "},
            {"AuthenticationPackageName", "NTLM"}, {"WorkstationName", "WS07"}, {"TransmittedServices", "-"},
            {"LmPackageName", "-"},         {"KeyLength", "0"},               {"ProcessId", "0x0"},
            {"ProcessName", "C:\\Windows\\System32\\svchost.exe"}, {"IpAddress", ip}, {"IpPort", "51515"}};
}

FedEvent logon(std::int64_t host, const std::string& time, const std::string& user, const std::string& ip,
               const std::string& type = "3") {
    FedEvent e;
    e.hostId = host;
    e.channel = "Security";
    e.provider = "Microsoft-Windows-Security-Auditing";
    e.eventId = 4624;
    e.level = 0;
    e.keywords = kAuditSuccess;
    e.time = time;
    e.data = logonData(user, ip, type);
    return e;
}

FedEvent failedLogon(std::int64_t host, const std::string& time, const std::string& user, const std::string& ip) {
    FedEvent e = logon(host, time, user, ip);
    e.eventId = 4625;
    e.keywords = kAuditFailure;
    e.data = failedLogonData(user, ip);
    e.message = "An account failed to log on. Account For Which Logon Failed: Account Name: " + user;
    return e;
}

FedEvent classic(std::int64_t host, const std::string& channel, const std::string& provider, int eventId,
                 int level, const std::string& time, const std::string& message) {
    FedEvent e;
    e.hostId = host;
    e.channel = channel;
    e.provider = provider;
    e.eventId = eventId;
    e.level = level;
    e.time = time;
    e.data = {{"param1", "value-" + std::to_string(eventId)}};
    e.message = message;
    return e;
}

// The logs of the first period, by host and file.
std::map<std::int64_t, std::map<std::string, std::vector<FedEvent>>> firstPeriod() {
    std::map<std::int64_t, std::map<std::string, std::vector<FedEvent>>> logs;
    // Host 201: four failed logons within 300 s; rule 801 (three in 300 s)
    // marks the third, the fourth starts a new window.
    auto& one = logs[201];
    one["Security.xml"] = {logon(201, "2026-12-01T08:05:10", "alice", "10.1.2.30"),
                           failedLogon(201, "2026-12-01T08:10:00", "mallory", "10.1.9.66"),
                           failedLogon(201, "2026-12-01T08:10:40", "mallory", "10.1.9.66"),
                           failedLogon(201, "2026-12-01T08:11:30", "mallory", "10.1.9.66"),
                           failedLogon(201, "2026-12-01T08:12:05", "mallory", "10.1.9.66"),
                           logon(201, "2026-12-01T09:01:00", "bob", "10.1.2.31", "10")};
    one["Security.xml"][3].notified = "801,";
    one["System.xml"] = {classic(201, "System", "Service Control Manager", 7036, 4, "2026-12-01T08:00:30",
                                 "The Windows Update service entered the running state."),
                         classic(201, "System", "Microsoft-Windows-Time-Service", 36, 3, "2026-12-01T08:30:00",
                                 "The time service has not synchronized the system time.")};
    // Host 202: filter 511 drops every 7036; three failed logons are not
    // marked (rule 801 belongs to host 201).
    auto& two = logs[202];
    two["Application.xml"] = {classic(202, "Application", "MSSQLSERVER", 17137, 4, "2026-12-01T08:15:00",
                                      "Starting up database 'master'."),
                              classic(202, "Application", "Application Error", 1000, 2, "2026-12-01T08:16:00",
                                      "Faulting application name: sqlservr.exe"),
                              classic(202, "Application", "Application Error", 1000, 2, "2026-12-01T08:46:00",
                                      "Faulting application name: sqlservr.exe")};
    two["System.xml"] = {classic(202, "System", "Service Control Manager", 7036, 4, "2026-12-01T08:01:00",
                                 "The Print Spooler service entered the running state."),
                         classic(202, "System", "Service Control Manager", 7036, 4, "2026-12-01T08:02:00",
                                 "The Print Spooler service entered the stopped state."),
                         classic(202, "System", "disk", 7, 2, "2026-12-01T10:20:00", "The device has a bad block.")};
    two["System.xml"][0].filtered = true;
    two["System.xml"][1].filtered = true;
    two["Security.xml"] = {failedLogon(202, "2026-12-01T08:03:00", "dave", "10.1.2.41"),
                           failedLogon(202, "2026-12-01T08:03:20", "dave", "10.1.2.41"),
                           failedLogon(202, "2026-12-01T08:03:40", "dave", "10.1.2.41")};
    // Host 203: filter 512 drops messages with "heartbeat"; rule 802 marks
    // every event 1001.
    auto& three = logs[203];
    three["Application.xml"] = {
        classic(203, "Application", "Outlook", 63, 3, "2026-12-01T13:00:00", "The Exchange request succeeded."),
        classic(203, "Application", "Monitor", 9000, 4, "2026-12-01T13:01:00", "agent HEARTBEAT ok"),
        classic(203, "Application", "Windows Error Reporting", 1001, 4, "2026-12-01T13:05:00",
                "Fault bucket 0, type 0"),
        classic(203, "Application", "Windows Error Reporting", 1001, 4, "2026-12-01T14:05:00",
                "Fault bucket 1, type 0")};
    three["Application.xml"][1].filtered = true;
    three["Application.xml"][2].notified = "802,";
    three["Application.xml"][3].notified = "802,";
    three["System.xml"] = {classic(203, "System", "Microsoft-Windows-Kernel-General", 12, 4, "2026-12-01T12:58:00",
                                   "The operating system started.")};
    return logs;
}

// Events of one host in the order the host hands them out: files in name
// order, events in file order.
std::vector<FedEvent> inHostOrder(const std::map<std::string, std::vector<FedEvent>>& files) {
    std::vector<FedEvent> out;
    for (const auto& [name, events] : files) out.insert(out.end(), events.begin(), events.end());
    return out;
}

// ------------------------------------------------------------------ the scenario

std::string hostDetailsXml() {
    std::string xml = "<?xml version=\"1.0\"?>\n<HostList>\n";
    for (const Host& h : kHosts) {
        const std::string id = std::to_string(h.id);
        xml += "  <Hosts HOST_ID=\"" + id + "\" HOST_NAME=\"Host " + id + "\" DNS_NAME=\"" + h.name +
               "\" HOST_IPADDRESS=\"127.0.3." + std::to_string(h.id % 100) + "\"/>\n";
        xml += "  <HostDetails HOST_ID=\"" + id +
               "\" DOMAIN_NAME=\"CORP\" TYPE=\"Windows\" USERNAME=\"CORP\\admin\" PASSWORD=\"bnh+b3hp\" "
               "LAST_MSG_TIME=\"0\" MON_INTERVAL=\"2\" LOG_COLLECTION_STATUS=\"1\" STATUS=\"0\"/>\n";
    }
    return xml + "</HostList>\n";
}

constexpr const char* kFiltersXml = R"(<?xml version="1.0"?>
<FilterList>
  <HostFilter HOSTID="201" FILTERID="501"/>
  <HostFilter HOSTID="202" FILTERID="511"/>
  <HostFilter HOSTID="203" FILTERID="512"/>
  <SyslogFilter ID="501"/>
  <SyslogFilter ID="511"/>
  <SyslogFilter ID="512"/>
  <Filter2Criteria FILTERID="501" CRITERIAID="601" TYPE="255"/>
  <Filter2Criteria FILTERID="511" CRITERIAID="611" TYPE="255"/>
  <Filter2Criteria FILTERID="512" CRITERIAID="612" TYPE="255"/>
  <LACriteria2Expressions CRIT_ID="601" EXP_ID="701"/>
  <LACriteria2Expressions CRIT_ID="611" EXP_ID="711"/>
  <LACriteria2Expressions CRIT_ID="612" EXP_ID="712"/>
  <LAExpression EXP_ID="701" COLUMN_NAME="SEVERITY" VALUE="Any" COMPARATOR="1"/>
  <LAExpression EXP_ID="711" COLUMN_NAME="EVENTID" VALUE="7036" COMPARATOR="1"/>
  <LAExpression EXP_ID="712" COLUMN_NAME="MESSAGE" VALUE="heartbeat" COMPARATOR="1"/>
</FilterList>
)";

constexpr const char* kNotificationsXml = R"(<?xml version="1.0"?>
<NotificationList>
  <HostNotification HOSTID="201" NOTIFID="801"/>
  <HostNotification HOSTID="203" NOTIFID="802"/>
  <NotificationType NOTIFID="801" TYPE="3" NOOFOCCURRENCE="3" NOTIFINTERVAL="300"/>
  <NotificationType NOTIFID="802" TYPE="255" NOOFOCCURRENCE="1" NOTIFINTERVAL="0"/>
  <LACriteria2Expressions CRIT_ID="801" EXP_ID="702"/>
  <LACriteria2Expressions CRIT_ID="802" EXP_ID="703"/>
  <LAExpression EXP_ID="702" COLUMN_NAME="EVENTID" VALUE="4625" COMPARATOR="1"/>
  <LAExpression EXP_ID="703" COLUMN_NAME="EVENTID" VALUE="1001" COMPARATOR="1"/>
</NotificationList>
)";

// ------------------------------------------------------------------ what arrived

struct Upload {
    std::vector<decoders::PackedRecord> rawLogs;
    std::vector<decoders::Row> aggregate;
    std::vector<std::string> entries;
};

std::vector<fs::path> uploadZips(const std::string& outputDir) {
    std::vector<fs::path> zips;
    std::error_code ec;
    for (fs::directory_iterator it(fs::path(outputDir) / "uploads", ec), end; !ec && it != end; it.increment(ec))
        if (it->path().extension() == ".zip") zips.push_back(it->path());
    std::sort(zips.begin(), zips.end());
    return zips;
}

Upload decodeUpload(const fs::path& zip) {
    Upload up;
    std::vector<decoders::ZipEntry> entries;
    auto error = decoders::readZip(zip.string(), entries);
    EXPECT_FALSE(error) << zip << ": " << error.describe();
    for (const auto& entry : entries) {
        up.entries.push_back(entry.name);
        if (entry.name == "rawlogs") {
            auto e = decoders::decodeRecords(entry.data, decoders::rawLogSchema().format, up.rawLogs);
            EXPECT_FALSE(e) << e.describe();
        } else if (entry.name == "aggregate") {
            decoders::RowFormat used;
            auto e = decoders::decodeRows(entry.data, decoders::RowFormat::Enclosed, 15, up.aggregate, used);
            EXPECT_FALSE(e) << e.describe();
        }
    }
    return up;
}

// One aggregate line as the test computes it: the grouping columns and the
// five severity counts.
using AggregateKey = std::tuple<std::string, std::string, std::string, std::string, std::string, std::string,
                                std::string, std::string, std::string>;
using AggregateCounts = std::map<AggregateKey, std::vector<long>>;

AggregateCounts expectedAggregate(const std::vector<FedEvent>& events) {
    AggregateCounts out;
    for (const FedEvent& e : events) {
        if (e.filtered) continue;
        const std::time_t t = static_cast<std::time_t>(e.epoch());
        std::tm tm{};
        gmtime_r(&t, &tm);
        char bucket[32];
        std::strftime(bucket, sizeof bucket, "%Y-%m-%d %H:00:00", &tm);
        AggregateKey key{std::to_string(tm.tm_hour), bucket, std::to_string(e.hostId), e.provider, e.channel,
                         std::to_string(e.eventId), e.user(), e.domain(), e.client()};
        auto& counts = out[key];
        counts.resize(5);
        ++counts[static_cast<std::size_t>(e.severity() - 1)];
    }
    return out;
}

AggregateCounts receivedAggregate(const std::vector<decoders::Row>& rows) {
    AggregateCounts out;
    for (const auto& row : rows) {
        EXPECT_EQ(row.values.size(), 15u);
        if (row.values.size() != 15) continue;
        EXPECT_FALSE(row.values[0].has_value());  // the first column is always NULL
        auto v = [&](std::size_t i) { return row.values[i].value_or("NULL"); };
        AggregateKey key{v(1), v(2), v(3), v(4), v(5), v(6), v(7), v(8), v(9)};
        auto& counts = out[key];
        counts.resize(5);
        for (std::size_t i = 0; i < 5; ++i) counts[i] += std::stol(v(10 + i));
    }
    return out;
}

// Compares the raw-log records of one host with the kept events fed to it.
void expectRecordsMatch(const std::vector<const decoders::PackedRecord*>& records, const std::vector<FedEvent>& fed,
                        const std::string& hostName) {
    std::vector<FedEvent> kept;
    for (const auto& e : fed)
        if (!e.filtered) kept.push_back(e);
    ASSERT_EQ(records.size(), kept.size()) << hostName;
    for (std::size_t i = 0; i < kept.size(); ++i) {
        const auto& f = records[i]->fields;
        const FedEvent& e = kept[i];
        ASSERT_EQ(f.size(), 23u);
        SCOPED_TRACE(hostName + " record " + std::to_string(i) + " event " + std::to_string(e.eventId));
        EXPECT_EQ(f[0].text, "Windows");
        EXPECT_EQ(f[1].number, e.hostId);
        EXPECT_EQ(f[2].text, hostName);
        EXPECT_EQ(f[3].number, e.epoch());
        EXPECT_EQ(f[4].number, std::stoi(e.time.substr(8, 2)));
        EXPECT_EQ(f[5].number, e.eventId);
        EXPECT_EQ(f[6].number, e.severity() - 1);
        EXPECT_EQ(f[7].text, e.channel);
        EXPECT_EQ(f[8].text, e.provider);
        EXPECT_EQ(f[9].text, e.user());
        EXPECT_EQ(f[10].text, e.domain());
        EXPECT_EQ(f[11].text, e.client());
        if (e.logonEvent()) {
            EXPECT_EQ(f[12].text, e.remoteHost());
        }
        EXPECT_EQ(f[21].text, e.notified);
        EXPECT_EQ(f[22].text, e.expectedMessage());
    }
}

// True when the text is one JSON value and nothing else (white space aside).
bool parsesAsJson(const std::string& text) {
    std::size_t i = 0;
    auto skip = [&] { while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i; };
    std::function<bool()> value = [&]() -> bool {
        skip();
        if (i >= text.size()) return false;
        const char c = text[i];
        if (c == '{' || c == '[') {
            const char close = c == '{' ? '}' : ']';
            ++i;
            skip();
            if (i < text.size() && text[i] == close) return ++i, true;
            for (;;) {
                if (c == '{') {
                    skip();
                    if (i >= text.size() || text[i] != '"' || !value()) return false;
                    skip();
                    if (i >= text.size() || text[i++] != ':') return false;
                }
                if (!value()) return false;
                skip();
                if (i < text.size() && text[i] == ',') { ++i; continue; }
                return i < text.size() && text[i++] == close;
            }
        }
        if (c == '"') {
            for (++i; i < text.size() && text[i] != '"'; ++i)
                if (text[i] == '\\') ++i;
            return i++ < text.size();
        }
        for (const char* word : {"true", "false", "null"})
            if (text.compare(i, std::strlen(word), word) == 0) return i += std::strlen(word), true;
        const std::size_t begin = i;
        while (i < text.size() && (std::isdigit(static_cast<unsigned char>(text[i])) || std::strchr("+-.eE", text[i]))) ++i;
        return i > begin;
    };
    if (!value()) return false;
    skip();
    return i == text.size();
}

// ------------------------------------------------------------------ the test

class EventCollectionEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        // The default scenario with this test's hosts and rules, and no FIM
        // location: this run is about the events.
        const agent_install::Layout layout = agent_install::makeLayout("ambrik-e2e", agent_install::monitorRequests(""));
        ASSERT_FALSE(layout.dir.empty());
        dir = layout.dir;
        inst = layout.inst;
        scenario = layout.scenario;
        // The install directory's wmi-hosts/, named by WmiHostsDir as well.
        hostsDir = inst / "wmi-hosts";
        writeFile(scenario / "hostdetails.xml", hostDetailsXml());
        writeFile(scenario / "filters.xml", kFiltersXml);
        writeFile(scenario / "notifications.xml", kNotificationsXml);

        for (const Host& h : kHosts)
            writeFile(hostsDir / h.name / "host.xml",
                      "<host version=\"10.0.17763\" currentTimeZone=\"0\">"
                      "<account user=\"CORP\\admin\" password=\"secret\"/></host>\n");
    }
    void TearDown() override {
        stopAgent();
        agent_install::removeUnlessFailed(dir, HasFailure());
    }

    void writeLogs(const std::map<std::int64_t, std::map<std::string, std::vector<FedEvent>>>& logs) {
        for (const auto& [hostId, files] : logs)
            for (const auto& [file, events] : files) {
                std::string xml = "<Events>\n";
                for (const auto& e : events) xml += e.xml(++recordId);
                writeFile(hostsDir / hostName(hostId) / file, xml + "</Events>\n");
            }
    }
    static std::string hostName(std::int64_t id) {
        for (const Host& h : kHosts)
            if (h.id == id) return h.name;
        return "";
    }

    void startAgent(int port, int clockScale = 60) {
        std::string registry = agent_install::registryText(port, agent_install::Layout{dir, inst, scenario});
        registry.insert(registry.find("\"AgentVersion\""), extraAgentValues);
        writeFile(dir / "registry.reg", registry);
        agent = agent_process::spawnAgent(AMBRIK_EXE, dir / "registry.reg", dir / "agent.out", {clockScale, true, false});
        ASSERT_GT(agent, 0);
    }
    void stopAgent() {
        if (agent > 0) exitStatus = agent_process::stopAgent(agent);
    }
    std::string agentLog() const { return readFile(inst / "logs" / "agentlog.out"); }

    // Waits until the uploads hold `count` raw-log records in all.
    bool waitForRecords(const testserver::TestServer& server, std::size_t count, int seconds) {
        const auto deadline = Clock::now() + std::chrono::seconds(seconds);
        while (Clock::now() < deadline) {
            std::size_t n = 0;
            for (const auto& zip : uploadZips(server.outputDir())) n += decodeUpload(zip).rawLogs.size();
            if (n >= count) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        return false;
    }
    // The line of one data set in logs/status.json, once the file shows it
    // with `wanted` in it.
    std::string waitForTransferStatus(const std::string& set, const std::string& wanted, int seconds) const {
        const auto deadline = Clock::now() + std::chrono::seconds(seconds);
        std::string line;
        do {
            const std::string text = readFile(inst / "logs" / "status.json");
            const std::size_t at = text.find("\"" + set + "\": {");
            line = at == std::string::npos ? "" : text.substr(at, text.find('\n', at) - at);
            if (line.find(wanted) != std::string::npos) return line;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        } while (Clock::now() < deadline);
        return line;
    }
    bool serverDataEmpty() const {
        std::error_code ec;
        return fs::is_empty(inst / "bin" / "serverdata", ec);
    }

    // ambrik-inspect --status on the install folder: its exit code, its screen in *screen.
    int inspectStatus(std::string* screen) const {
        const fs::path out = dir / "inspect.out";
        const std::string command = std::string(AMBRIK_INSPECT) + " --status '" + inst.string() + "' >'" +
                                    out.string() + "' 2>&1";
        const int rc = std::system(command.c_str());
        *screen = readFile(out);
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }
    // The line of status.json that begins with `start`, and one number of it.
    std::string statusLine(const std::string& start) const {
        const std::string text = readFile(inst / "logs" / "status.json");
        const std::size_t at = text.find(start);
        return at == std::string::npos ? "" : text.substr(at, text.find('\n', at) - at);
    }
    static long long numberIn(const std::string& line, const std::string& name) {
        const std::size_t at = line.find("\"" + name + "\": ");
        return at == std::string::npos ? -1 : std::atoll(line.c_str() + at + name.size() + 4);
    }

    fs::path dir, inst, hostsDir, scenario;
    std::string extraAgentValues;  // registry lines added to the agent key
    pid_t agent = -1;
    int exitStatus = -1;  // of the agent, once stopped
    long long recordId = 0;
};

TEST_F(EventCollectionEndToEnd, KeptEventsArriveWhole_AndAFailedUploadIsSentWithTheNext) {
    const auto logs = firstPeriod();
    writeLogs(logs);
    std::vector<FedEvent> all;
    std::size_t keptCount = 0;
    for (const auto& [host, files] : logs)
        for (const auto& e : inHostOrder(files)) {
            all.push_back(e);
            keptCount += e.filtered ? 0 : 1;
        }

    testserver::HarnessOptions options;
    options.scenarioDir = scenario.string();
    options.https = false;
    testserver::TestServer server(options);
    ASSERT_TRUE(server.ok()) << server.error();
    startAgent(server.httpPort());

    // Period 1: every host collected and uploaded.
    ASSERT_TRUE(waitForRecords(server, keptCount, 40)) << agentLog().substr(0, 200000);
    ASSERT_TRUE(server.waitForRequests("mode=hoststatus&hostid=203", 1, 10000));

    const auto zips = uploadZips(server.outputDir());
    ASSERT_FALSE(zips.empty());
    const Upload first = decodeUpload(zips.front());
    EXPECT_NE(std::find(first.entries.begin(), first.entries.end(), "rawlogs"), first.entries.end());
    EXPECT_NE(std::find(first.entries.begin(), first.entries.end(), "aggregate"), first.entries.end());

    std::vector<decoders::PackedRecord> records;
    std::vector<decoders::Row> aggregate;
    for (const auto& zip : zips) {
        Upload up = decodeUpload(zip);
        records.insert(records.end(), up.rawLogs.begin(), up.rawLogs.end());
        aggregate.insert(aggregate.end(), up.aggregate.begin(), up.aggregate.end());
    }
    EXPECT_EQ(records.size(), keptCount);
    for (const Host& h : kHosts) {
        std::vector<const decoders::PackedRecord*> mine;
        for (const auto& r : records)
            if (r.fields.size() == 23 && r.fields[1].number == h.id) mine.push_back(&r);
        expectRecordsMatch(mine, inHostOrder(logs.at(h.id)), h.name);
    }
    EXPECT_EQ(receivedAggregate(aggregate), expectedAggregate(all));

    // The conversation around it.
    EXPECT_GE(server.countRequests("mode=register&name="), 1u);
    EXPECT_GE(server.countRequests("mode=agentStatusUpdate&status=ServiceStarted&agentId=1001"), 1u);
    for (const Host& h : kHosts)
        EXPECT_GE(server.countRequests("mode=hoststatus&hostid=" + std::to_string(h.id) + "&status=0&"), 1u)
            << h.id;
    EXPECT_GE(server.countRequests("agentUpload"), 1u);
    EXPECT_TRUE(serverDataEmpty());

    // Period 2: the server refuses uploads; the files stay for later.
    const std::size_t uploadsBefore = zips.size();
    const std::size_t attemptsBefore = server.countRequests("agentUpload");
    ASSERT_TRUE(server.failRequests("agentUpload", 500));
    std::vector<FedEvent> second = {
        failedLogon(202, "2026-12-01T11:00:00", "erin", "10.1.2.50"),
        classic(202, "Application", "Application Error", 1000, 2, "2026-12-01T11:10:00", "Faulting again")};
    std::string laterXml = "<Events>\n";
    for (const auto& e : second) laterXml += e.xml(++recordId);
    writeFile(hostsDir / "two.localhost" / "Z-later.xml", laterXml + "</Events>\n");
    ASSERT_TRUE(server.waitForRequests("agentUpload", attemptsBefore + 1, 30000));
    EXPECT_EQ(uploadZips(server.outputDir()).size(), uploadsBefore);
    // The refused transfer has already added its aggregate lines to the file.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline && !fs::exists(inst / "bin" / "serverdata" / "aggregate"))
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(fs::exists(inst / "bin" / "serverdata" / "rawlogs"));
    EXPECT_TRUE(fs::exists(inst / "bin" / "serverdata" / "aggregate"));
    // The status file shows the refused upload and what waits.
    const std::string failing = waitForTransferStatus("events", "\"lastResult\": 1,", 10);
    EXPECT_NE(failing.find("\"lastResult\": 1,"), std::string::npos) << failing;
    EXPECT_EQ(failing.find("\"consecutiveFailures\": 0,"), std::string::npos) << failing;
    EXPECT_EQ(failing.find("\"pendingBytes\": 0}"), std::string::npos) << failing;

    // Period 3: the server takes uploads again; new events bring a transfer
    // that carries both periods in one zip.
    ASSERT_TRUE(server.clearStatusRules());
    std::vector<FedEvent> third = {classic(203, "System", "disk", 51, 3, "2026-12-01T15:00:00", "Paging error.")};
    writeFile(hostsDir / "three.localhost" / "Z-later.xml", "<Events>\n" + third[0].xml(++recordId) + "</Events>\n");
    ASSERT_TRUE(server.waitForUploads(uploadsBefore + 1, 30000)) << agentLog().substr(0, 100000);
    const auto after = uploadZips(server.outputDir());
    ASSERT_EQ(after.size(), uploadsBefore + 1);
    const Upload both = decodeUpload(after.back());
    std::vector<const decoders::PackedRecord*> two, three;
    for (const auto& r : both.rawLogs) (r.fields[1].number == 202 ? two : three).push_back(&r);
    expectRecordsMatch(two, second, "two.localhost");
    expectRecordsMatch(three, third, "three.localhost");
    std::vector<FedEvent> later = second;
    later.insert(later.end(), third.begin(), third.end());
    EXPECT_EQ(receivedAggregate(both.aggregate), expectedAggregate(later));
    const auto emptyBy = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < emptyBy && !serverDataEmpty()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(serverDataEmpty());

    stopAgent();
    EXPECT_EQ(exitStatus, 0) << readFile(dir / "agent.out").substr(0, 20000);
    EXPECT_GE(server.countRequests("status=ServiceStop"), 1u);
    // Written at the stop too, whole and for the agent's user only.
    const fs::path status = inst / "logs" / "status.json";
    const std::string text = readFile(status);
    EXPECT_TRUE(parsesAsJson(text)) << text;
    EXPECT_NE(text.find("\"agentId\": 1001,"), std::string::npos) << text;
    const std::string sent = waitForTransferStatus("events", "\"lastResult\": 0, \"consecutiveFailures\": 0,", 0);
    EXPECT_NE(sent.find("\"pendingFiles\": 0, \"pendingBytes\": 0}"), std::string::npos) << sent;
    EXPECT_EQ(sent.find("\"lastSuccess\": 0,"), std::string::npos) << sent;
    EXPECT_EQ(fs::status(status).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_FALSE(fs::exists(inst / "logs" / "status.json.new"));
}

// One host with a wrong password, one whose log lost records before the
// agent read them, and a server refusing uploads for a while: the status
// file, the metrics file and the check show each of them (the check is
// critical), then all is well again once the password is mended and uploads
// are taken.
TEST_F(EventCollectionEndToEnd, StatusShowsAFailingHostLostRecordsAndRefusedUploads_ThenTheirRecovery) {
    auto account = [&](const std::string& password) {
        writeFile(hostsDir / "one.localhost" / "host.xml",
                  "<host version=\"10.0.17763\" currentTimeZone=\"0\"><account user=\"CORP\\admin\" password=\"" +
                      password + "\"/></host>\n");
    };
    account("changed");
    // Host 202: records 1 to 3, then 7: 4 to 6 were overwritten unread.
    std::string two = "<Events>\n";
    for (int i = 0; i < 4; ++i)
        two += classic(202, "Application", "App", 100 + i, 4, "2026-12-01T08:0" + std::to_string(i) + ":00", "m")
                   .xml(i < 3 ? i + 1 : 7);
    writeFile(hostsDir / "two.localhost" / "Application.xml", two + "</Events>\n");
    auto threeEvents = [&](int from, int count) {
        std::string xml = "<Events>\n";
        for (int i = from; i < from + count; ++i)
            xml += classic(203, "System", "disk", 51, 3, "2026-12-01T09:" + std::to_string(10 + i) + ":00",
                           "Paging error " + std::to_string(i) + ".")
                       .xml(i + 1);
        return xml + "</Events>\n";
    };
    writeFile(hostsDir / "three.localhost" / "System.xml", threeEvents(0, 2));
    const fs::path metrics = inst / "logs" / "ambrik.prom";
    extraAgentValues = "\"MetricsFile\"=\"" + metrics.string() + "\"\r\n";

    testserver::HarnessOptions options;
    options.scenarioDir = scenario.string();
    options.https = false;
    testserver::TestServer server(options);
    ASSERT_TRUE(server.ok()) << server.error();
    ASSERT_TRUE(server.failRequests("agentUpload", 500));
    // 120 times faster: a collection run every second, an hour in 30 s.
    startAgent(server.httpPort(), 120);

    // Host 201 fails three runs in a row: critical.
    std::string screen;
    ASSERT_TRUE(agent_install::waitUntil([&] { return inspectStatus(&screen) == 2; }, 60)) << screen;
    EXPECT_NE(screen.find("CRITICAL: host one.localhost (201): "), std::string::npos) << screen;
    EXPECT_NE(screen.find(" failed runs in a row (0x80070005)"), std::string::npos) << screen;
    ASSERT_TRUE(agent_install::waitUntil([&] { return numberIn(statusLine("{\"id\": 202,"), "recordGaps") == 3; }, 20))
        << statusLine("{\"id\": 202,");
    ASSERT_TRUE(agent_install::waitUntil(
        [&] { return numberIn(statusLine("\"events\": {"), "consecutiveFailures") > 0; }, 30))
        << statusLine("\"events\": {");
    inspectStatus(&screen);
    EXPECT_NE(screen.find("WARNING: host two.localhost (202): 3 event records lost before they were read"),
              std::string::npos)
        << screen;
    EXPECT_NE(screen.find("failed uploads in a row"), std::string::npos) << screen;
    const std::string failing = statusLine("{\"id\": 201,");
    EXPECT_NE(failing.find("\"lastError\": \"0x80070005\""), std::string::npos) << failing;
    EXPECT_EQ(numberIn(statusLine("{\"id\": 203,"), "eventsCollected"), 2) << statusLine("{\"id\": 203,");

    // While uploads are refused, what waits grows with new events.
    const long long pending = numberIn(statusLine("\"events\": {"), "pendingBytes");
    EXPECT_GT(pending, 0);
    writeFile(hostsDir / "three.localhost" / "System.xml", threeEvents(0, 5));
    ASSERT_TRUE(agent_install::waitUntil(
        [&] { return numberIn(statusLine("\"events\": {"), "pendingBytes") > pending; }, 30))
        << statusLine("\"events\": {");
    const std::string prom = readFile(metrics);
    EXPECT_NE(prom.find("\nambrik_host_record_gaps_total{host=\"two.localhost\",host_id=\"202\"} 3\n"),
              std::string::npos)
        << prom;
    EXPECT_NE(prom.find("\nambrik_transfer_consecutive_failures{data_set=\"events\"} "), std::string::npos);
    EXPECT_FALSE(fs::exists(inst / "logs" / "ambrik.prom.new"));

    // The password mended and uploads taken: all well once the lost records
    // are an hour old.
    account("secret");
    ASSERT_TRUE(server.clearStatusRules());
    ASSERT_TRUE(agent_install::waitUntil([&] { return inspectStatus(&screen) == 0; }, 100)) << screen;
    EXPECT_EQ(numberIn(statusLine("{\"id\": 201,"), "consecutiveFailures"), 0);
    EXPECT_EQ(numberIn(statusLine("{\"id\": 203,"), "eventsCollected"), 5);
    EXPECT_EQ(numberIn(statusLine("\"events\": {"), "pendingBytes"), 0);
    EXPECT_NE(readFile(metrics).find("\nambrik_server_up 1\n"), std::string::npos);
}

}  // namespace
