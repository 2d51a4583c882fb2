// Shared set-up of the host cache, rule, update poll and collector tests:
// the real data dictionary, a generated test-server scenario, the agent's
// settings pointed at the server, the DEFAULT scheduler and a manual clock.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "agent/collection/host_poll_queue.h"
#include "agent/hosts/host_cache.h"
#include "agent/scheduler/scheduler.h"
#include "agent/server/http_client.h"
#include "agent/settings/settings.h"
#include "agent/tablestore/data_dict.h"
#include "agent/tablestore/imds.h"
#include "platform/clock.h"
#include "testserver/harness.h"
#include "tests/agent/tablestore/test_support.h"

namespace hosts_test {

// "secret" in the server's scrambled Base64 form.
inline constexpr const char* kScrambledSecret = "bnh+b3hp";
inline constexpr std::int64_t kAgentId = 1001;
// 2026-03-02 10:00:00 UTC, in milliseconds.
inline constexpr std::int64_t kStartMillis = 1772445600000LL;

struct HostSpec {
    std::int64_t id = 0;
    std::string dnsName;
    std::string type = "Windows";
    std::string ip;
    std::string user = "CORP\\admin";
    int interval = 2;
    int enabled = 1;
};

inline HostSpec windowsHost(std::int64_t id) {
    HostSpec h;
    h.id = id;
    h.dnsName = "host" + std::to_string(id) + ".localhost";
    h.ip = "127.0.1." + std::to_string(id % 250);
    return h;
}

inline std::vector<HostSpec> windowsHosts(int count, std::int64_t firstId = 101) {
    std::vector<HostSpec> hosts;
    for (int i = 0; i < count; ++i) hosts.push_back(windowsHost(firstId + i));
    return hosts;
}

inline std::string hostsXml(const std::vector<HostSpec>& hosts) {
    std::string xml = "<?xml version=\"1.0\"?>\n<HostList>\n";
    for (const auto& h : hosts) {
        const std::string id = std::to_string(h.id);
        xml += "  <Hosts HOST_ID=\"" + id + "\" HOST_NAME=\"Display " + id + "\" DNS_NAME=\"" + h.dnsName +
               "\" HOST_IPADDRESS=\"" + h.ip + "\"/>\n";
        xml += "  <HostDetails HOST_ID=\"" + id + "\" DOMAIN_NAME=\"CORP\" TYPE=\"" + h.type + "\" USERNAME=\"" +
               h.user + "\" PASSWORD=\"" + kScrambledSecret + "\" LAST_MSG_TIME=\"0\" MON_INTERVAL=\"" +
               std::to_string(h.interval) + "\" LOG_COLLECTION_STATUS=\"" + std::to_string(h.enabled) +
               "\" STATUS=\"0\"/>\n";
    }
    return xml + "</HostList>\n";
}

inline void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

// A scenario folder in a temporary directory, removed at the end.
class Scenario {
public:
    Scenario() {
        dir_ = std::filesystem::temp_directory_path() /
               ("ambrik-hosts-" + std::to_string(::getpid()) + "-" + std::to_string(counter()++));
        std::filesystem::create_directories(dir_);
        writeFile(dir_ / "scenario.conf", "slid = 1001\nversion = 8.0.0\n");
        hosts({});
        writeFile(dir_ / "filters.xml", "<?xml version=\"1.0\"?>\n<FilterList/>\n");
        writeFile(dir_ / "notifications.xml", "<?xml version=\"1.0\"?>\n<NotificationList/>\n");
    }
    ~Scenario() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    void hosts(const std::vector<HostSpec>& list) { writeFile(dir_ / "hostdetails.xml", hostsXml(list)); }
    void file(const std::string& name, const std::string& text) { writeFile(dir_ / name, text); }
    std::string path() const { return dir_.string(); }

private:
    static int& counter() {
        static int n = 0;
        return n;
    }
    std::filesystem::path dir_;
};

inline void loadDictionaryOnce() {
    static const bool loaded = LoadDataDictFromXMLFile(AMBRIK_SOURCE_DIR "/data/data-dictionary.xml");
    ASSERT_TRUE(loaded);
}

inline void emptyStagingTables() {
    for (const char* table : {"Hosts", "HostDetails", "SLUPDATE", "HostFilter", "HostGroupFilter", "HostGroupMapping",
                              "SyslogFilter", "Filter2Criteria", "LACriteria", "LACriteria2Expressions",
                              "LAExpression", "NotificationType", "HostNotification", "HostGroupNotification"})
        DeleteAllTableRowObjects(table);
}

// The agent pointed at a server on the given port, a fresh scheduler, empty
// host slots and staging tables, the manual clock.
inline void resetAgentState(int port) {
    loadDictionaryOnce();
    ResetAgentSettings();
    PutAgentSetting("ServerProtocol", "http");
    PutAgentSetting("ServerIPAddress", "127.0.0.1");
    PutAgentSetting("ServerPort", std::to_string(port));
    SetAgentId(kAgentId);
    SetAgentHost("agent.localhost", "127.0.0.200");
    HttpTransferLimits limits;
    limits.verbose = false;
    limits.connectTimeoutSeconds = 5;
    SetHttpTransferLimits(limits);
    SetServerStatus(kServerUp);
    resetSchedulerForTests();
    initScheduler();
    platform::useManualClock(kStartMillis);
    stopCollectionThreads();
    resetHostPollQueue();
    setCollectHostEvents({});
    setHostTimerCallback(scheduleWinEventCollection);
    initHostCache();
    emptyStagingTables();
}

// A test with its own scenario and test server.
class ServerTest : public ::testing::Test {
protected:
    void startServer() {
        testserver::HarnessOptions options;
        options.scenarioDir = scenario.path();
        options.https = false;
        server = std::make_unique<testserver::TestServer>(options);
        ASSERT_TRUE(server->ok()) << server->error();
        resetAgentState(server->httpPort());
    }
    void TearDown() override {
        stopCollectionThreads();
        for (int s = 0; s < MAX_HOSTS; ++s) withHostSlot(hostSlot(s), [](HostSlot& slot) { slot.collectionInProgress = 0; });
        deleteAllHosts();
        resetSchedulerForTests();
        platform::useSystemClock();
    }
    // The logged targets (without "/event/") that contain the text, in order.
    std::vector<std::string> targetsWith(const std::string& text) const {
        std::vector<std::string> out;
        for (const auto& t : server->targets())
            if (t.find(text) != std::string::npos) out.push_back(t.substr(t.find("/event/") + 7));
        return out;
    }
    int slotsInUse() {
        int n = 0;
        for (int s = 0; s < MAX_HOSTS; ++s) withHostSlot(hostSlot(s), [&](HostSlot& slot) { n += slot.inUse; });
        return n;
    }

    Scenario scenario;
    std::unique_ptr<testserver::TestServer> server;
    ::LogCapture log;
};

}  // namespace hosts_test
