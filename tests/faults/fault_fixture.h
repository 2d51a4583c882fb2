// The agent program in the console, on a clock 60 times faster than real
// time, against the test server with three simulated Windows hosts. A test
// feeds events into the hosts' logs, makes something fail, and counts what
// the uploads carry: every event fed must arrive, and none twice.
#pragma once

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "testserver/decoders/decoders.h"
#include "testserver/harness.h"
#include "tests/platform/wmi/wmi_test_util.h"
#include "tests/support/agent_install.h"
#include "tests/support/agent_process.h"

namespace faults {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

using agent_process::readFile;
using agent_process::writeFile;

struct Host {
    std::int64_t id;
    std::string name;
};
inline const std::vector<Host> kHosts = {{301, "alpha.localhost"}, {302, "beta.localhost"}, {303, "gamma.localhost"}};

inline std::string hostListXml(const std::vector<Host>& hosts) {
    std::string xml = "<?xml version=\"1.0\"?>\n<HostList>\n";
    for (const Host& h : hosts) {
        const std::string id = std::to_string(h.id);
        xml += "  <Hosts HOST_ID=\"" + id + "\" HOST_NAME=\"Host " + id + "\" DNS_NAME=\"" + h.name +
               "\" HOST_IPADDRESS=\"127.0.4." + std::to_string(h.id % 100) + "\"/>\n";
        xml += "  <HostDetails HOST_ID=\"" + id +
               "\" DOMAIN_NAME=\"CORP\" TYPE=\"Windows\" USERNAME=\"CORP\\admin\" PASSWORD=\"bnh+b3hp\" "
               "LAST_MSG_TIME=\"0\" MON_INTERVAL=\"2\" LOG_COLLECTION_STATUS=\"1\" STATUS=\"0\"/>\n";
    }
    return xml + "</HostList>\n";
}

// What the uploads carried: how often each (host, message) arrived.
struct Tally {
    std::size_t fed = 0;
    std::size_t received = 0;
    std::size_t lost = 0;
    std::size_t doubled = 0;
    std::string describe() const {
        return "fed " + std::to_string(fed) + ", received " + std::to_string(received) + ", lost " +
               std::to_string(lost) + ", doubled " + std::to_string(doubled);
    }
};

class FaultRun : public ::testing::Test {
protected:
    void SetUp() override {
        const agent_install::Layout layout =
            agent_install::makeLayout("ambrik-faults", agent_install::monitorRequests(""));
        ASSERT_FALSE(layout.dir.empty());
        dir = layout.dir;
        inst = layout.inst;
        scenario = layout.scenario;
        fs::create_directories(inst / "bin" / "serverdata");
        hostsDir = inst / "wmi-hosts";
        writeFile(scenario / "hostdetails.xml", hostListXml(kHosts));
        writeFile(scenario / "filters.xml", "<?xml version=\"1.0\"?>\n<FilterList/>\n");
        writeFile(scenario / "notifications.xml", "<?xml version=\"1.0\"?>\n<NotificationList/>\n");
        for (const Host& h : kHosts)
            writeFile(hostsDir / h.name / "host.xml",
                      "<host version=\"10.0.17763\" currentTimeZone=\"60\">"
                      "<account user=\"CORP\\admin\" password=\"secret\"/></host>\n");
    }
    void TearDown() override {
        stopAgent();
        if (server) server.reset();
        agent_install::removeUnlessFailed(dir, HasFailure());
    }

    void startServer() {
        testserver::HarnessOptions options;
        options.scenarioDir = scenario.string();
        options.https = false;
        // Inside the test's folder: kept with it when the test fails.
        options.outputDir = (dir / "server").string();
        server = std::make_unique<testserver::TestServer>(options);
        ASSERT_TRUE(server->ok()) << server->error();
    }

    // `count` more events for every host, each in a second of its own, in a
    // new log file; their messages name the host and the event.
    void feed(int count) {
        for (const Host& h : kHosts) {
            std::string xml = "<Events>\n";
            for (int i = 0; i < count; ++i) {
                const long long n = nextEvent_[h.id]++;
                wmitest::EventXml e;
                e.eventId = 1000 + static_cast<int>(n % 50);
                // A day before the run: the agent asks for at most three days back.
                const std::time_t when = static_cast<std::time_t>(firstEventTime_ + n);
                std::tm utc{};
                gmtime_r(&when, &utc);
                char t[48];
                std::strftime(t, sizeof t, "%Y-%m-%dT%H:%M:%S.000000000Z", &utc);
                e.systemTime = t;
                e.recordId = n + 1;
                e.computer = h.name;
                e.hasMessage = true;
                e.message = h.name + " event " + std::to_string(n);
                xml += wmitest::eventXml(e);
                ++fed_;
            }
            char file[32];
            std::snprintf(file, sizeof file, "Application-%03d.xml", feeds_);
            writeFile(hostsDir / h.name / file, xml + "</Events>\n");
        }
        ++feeds_;
    }

    std::string registryText(const std::string& serverValues) const {
        return "Windows Registry Editor Version 5.00\r\n\r\n"
               "[HKEY_LOCAL_MACHINE\\Software\\Vardo Corp\\Orbisk\\ServerInfo]\r\n" +
               serverValues +
               "\"ServerProtocol\"=\"http\"\r\n\"ServerDBType\"=\"mysql\"\r\n\r\n"
               "[HKEY_LOCAL_MACHINE\\Software\\Vardo Corp\\Orbisk\\Ambrik]\r\n"
               "\"AgentInstallDir\"=\"" +
               inst.string() + "/\"\r\n\"AgentVersion\"=\"8.0.0\"\r\n\"AWS Instance\"=\"no\"\r\n" +
               "\"WmiHostsDir\"=\"" + hostsDir.string() + "\"\r\n";
    }
    void writeRegistry() {
        writeFile(dir / "registry.reg", registryText("\"ServerIPAddress\"=\"127.0.0.1\"\r\n\"ServerPort\"=\"" +
                                                     std::to_string(server->httpPort()) + "\"\r\n"));
    }

    void startAgent() {
        if (!fs::exists(dir / "registry.reg")) writeRegistry();
        agent = agent_process::spawnAgent(AMBRIK_EXE, dir / "registry.reg", dir / "agent.out", {60, true, true});
        ASSERT_GT(agent, 0);
    }
    // SIGINT and a wait for the agent's own end (a last transfer included).
    void stopAgent() {
        if (agent <= 0) return;
        kill(agent, SIGINT);
        waitForExit(25);
    }
    void killAgent() {
        if (agent <= 0) return;
        kill(agent, SIGKILL);
        waitpid(agent, nullptr, 0);
        agent = -1;
    }
    // The agent's exit status once it ended by itself within `seconds`, else -1.
    int waitForExit(int seconds) { return agent_process::waitForAgent(agent, seconds); }
    std::string agentLog() const { return readFile(inst / "logs" / "agentlog.out"); }

    // Counts every upload's raw-log records against the events fed.
    Tally tally() const {
        std::map<std::string, int> seen;
        std::size_t received = 0;
        std::error_code ec;
        for (fs::directory_iterator it(fs::path(server->outputDir()) / "uploads", ec), end; !ec && it != end;
             it.increment(ec)) {
            if (it->path().extension() != ".zip") continue;
            std::vector<decoders::ZipEntry> entries;
            if (decoders::readZip(it->path().string(), entries)) continue;
            for (const auto& entry : entries) {
                if (entry.name != "rawlogs") continue;
                std::vector<decoders::PackedRecord> records;
                if (decoders::decodeRecords(entry.data, decoders::rawLogSchema().format, records)) {
                    ADD_FAILURE() << it->path() << ": a raw-log member that cannot be decoded";
                    continue;
                }
                for (const auto& r : records) {
                    ++received;
                    ++seen[std::to_string(r.fields[1].number) + " " + r.fields[22].text];
                }
            }
        }
        Tally t;
        t.fed = fed_;
        t.received = received;
        for (const auto& [key, n] : seen)
            if (n > 1) t.doubled += static_cast<std::size_t>(n - 1);
        t.lost = fed_ > seen.size() ? fed_ - seen.size() : 0;
        return t;
    }
    // Waits until every event fed has arrived (or `seconds` passed).
    Tally waitForAll(int seconds) const {
        const auto deadline = Clock::now() + std::chrono::seconds(seconds);
        Tally t = tally();
        while (t.lost > 0 && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            t = tally();
        }
        return t;
    }
    // Records the figures of a run in the test's output.
    void report(const char* fault, const Tally& t) {
        RecordProperty("figures", t.describe());
        std::printf("[ fault    ] %s: %s\n", fault, t.describe().c_str());
    }

    fs::path dir, inst, hostsDir, scenario;
    std::unique_ptr<testserver::TestServer> server;
    pid_t agent = -1;

private:
    std::map<std::int64_t, long long> nextEvent_;
    const std::int64_t firstEventTime_ = (static_cast<std::int64_t>(std::time(nullptr)) / 3600 - 24) * 3600;
    std::size_t fed_ = 0;
    int feeds_ = 0;
};

}  // namespace faults
