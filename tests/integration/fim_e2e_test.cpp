// File integrity monitoring from end to end: the real agent in the console,
// on a clock running 60 times faster than real time, against the test
// server, with drive C mapped to a folder of the test. The test changes
// files in the watched folder and in its excluded sub-folder, and checks
// the decoded change uploads against what it did: every change once,
// nothing from the excluded folder, the removed file in the rename list.
// Then it stops the agent, changes files while it is stopped, starts it
// again and checks that those changes arrive once too.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "testserver/decoders/decoders.h"
#include "testserver/harness.h"
#include "tests/support/agent_process.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

using agent_process::readFile;
using agent_process::writeFile;

// What the change uploads held, in upload order.
struct ChangeUploads {
    std::vector<std::string> changes;  // "TYPE path"
    std::vector<std::string> removed;  // "id path"
};

ChangeUploads decodeChangeUploads(const std::string& outputDir) {
    ChangeUploads out;
    std::vector<fs::path> zips;
    std::error_code ec;
    for (fs::directory_iterator it(fs::path(outputDir) / "uploads", ec), end; !ec && it != end; it.increment(ec))
        if (it->path().extension() == ".zip" && it->path().filename().string().find("changedata_") != std::string::npos)
            zips.push_back(it->path());
    std::sort(zips.begin(), zips.end());
    for (const auto& zip : zips) {
        std::vector<decoders::ZipEntry> entries;
        if (decoders::readZip(zip.string(), entries)) continue;
        for (const auto& e : entries) {
            if (e.name == "changeindex") {
                std::vector<decoders::PackedRecord> records;
                decoders::decodeRecords(e.data, "sslsszzll", records);
                for (const auto& r : records) out.changes.push_back(r.fields[3].text + " " + r.fields[1].text);
            } else if (e.name == "renameconfig") {
                std::vector<decoders::RenameEntry> renames;
                decoders::decodeRenameConfig(e.data, renames);
                for (const auto& r : renames) out.removed.push_back(std::to_string(r.locationId) + " " + r.path);
            }
        }
    }
    return out;
}

std::size_t countOf(const std::vector<std::string>& list, const std::string& item) {
    return static_cast<std::size_t>(std::count(list.begin(), list.end(), item));
}

class FimEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ambrik-fim-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        inst = dir / "inst";
        volume = dir / "volume";
        fs::create_directories(inst / "bin" / "data");
        fs::create_directories(inst / "logs");
        fs::create_directories(volume / "watched" / "scratch");
        fs::create_directories(dir / "journal");
        for (const char* f : {"data-dictionary.xml", "EventIdParserRules.xml"})
            fs::copy_file(fs::path(AMBRIK_SOURCE_DIR) / "data" / f, inst / "bin" / "data" / f);
        scenario = dir / "scenario";
        fs::copy(fs::path(AMBRIK_SOURCE_DIR) / "testserver" / "scenarios" / "default", scenario,
                 fs::copy_options::recursive);
        fs::remove_all(scenario / "wmi-hosts");
        writeFile(scenario / "hostdetails.xml", "<?xml version=\"1.0\"?>\n<HostList/>\n");
        writeFile(scenario / "monitorrequests-agent.xml",
                  "<?xml version=\"1.0\"?>\n<MonitorRequests>"
                  "<FIM_AgentRequest INCL_LOC=\"c:\\\\watched\" CHECKSUM=\"\" LOC_ID=\"901\"/>"
                  "<FIM_AgentExclude EXCL_LOC=\"c:\\\\watched\\\\scratch\"/></MonitorRequests>\n");
        writeFile(volume / "watched" / "b.txt", "before\n");
        writeFile(volume / "watched" / "c.txt", "to be renamed\n");
        writeFile(volume / "watched" / "e.txt", "to be deleted\n");
    }
    void TearDown() override {
        stopAgent();
        if (!HasFailure()) {
            std::error_code ec;
            fs::remove_all(dir, ec);
        } else {
            std::fprintf(stderr, "kept %s for inspection\n", dir.c_str());
        }
    }

    void startAgent(int port) {
        writeFile(dir / "registry.reg",
                  "Windows Registry Editor Version 5.00\r\n\r\n"
                  "[HKEY_LOCAL_MACHINE\\Software\\Vardo Corp\\Orbisk\\ServerInfo]\r\n"
                  "\"ServerIPAddress\"=\"127.0.0.1\"\r\n\"ServerPort\"=\"" +
                      std::to_string(port) +
                      "\"\r\n\"ServerProtocol\"=\"http\"\r\n\"ServerDBType\"=\"mysql\"\r\n\r\n"
                      "[HKEY_LOCAL_MACHINE\\Software\\Vardo Corp\\Orbisk\\Ambrik]\r\n"
                      "\"AgentInstallDir\"=\"" +
                      inst.string() + "/\"\r\n\"AgentVersion\"=\"8.0.0\"\r\n\"AWS Instance\"=\"no\"\r\n\r\n"
                      "[HKEY_LOCAL_MACHINE\\Software\\Vardo Corp\\Orbisk\\Ambrik\\Volumes]\r\n"
                      "\"C\"=\"" + volume.string() + "\"\r\n\"JournalDir\"=\"" + (dir / "journal").string() +
                      "/\"\r\n\"Watcher\"=\"inotify\"\r\n");
        agent = agent_process::spawnAgent(AMBRIK_EXE, dir / "registry.reg", dir / "agent.out", {60, false, true});
        ASSERT_GT(agent, 0);
    }
    void stopAgent() { agent_process::stopAgent(agent); }
    std::string agentLog() const { return readFile(inst / "logs" / "agentlog.out"); }

    bool waitFor(const std::function<bool()>& done, int seconds) {
        const auto deadline = Clock::now() + std::chrono::seconds(seconds);
        while (Clock::now() < deadline) {
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        return done();
    }
    bool logCount(const std::string& text, std::size_t count) {
        const std::string log = agentLog();
        std::size_t n = 0;
        for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
        return n >= count;
    }

    fs::path dir, inst, volume, scenario;
    pid_t agent = -1;
};

TEST_F(FimEndToEnd, ChangesArriveOnceAcrossARestart) {
    testserver::HarnessOptions options;
    options.scenarioDir = scenario.string();
    options.https = false;
    testserver::TestServer server(options);
    ASSERT_TRUE(server.ok()) << server.error();
    startAgent(server.httpPort());
    ASSERT_TRUE(waitFor([&] { return logCount("\n Initiating WAIT", 1); }, 60)) << agentLog();

    const fs::path watched = volume / "watched";
    writeFile(watched / "a.txt", "created\n");
    { std::ofstream(watched / "b.txt", std::ios::app) << "more\n"; }
    fs::rename(watched / "c.txt", watched / "d.txt");
    fs::remove(watched / "e.txt");
    writeFile(watched / "scratch" / "x.txt", "excluded\n");
    const std::vector<std::string> first = {
        "CREATED c:\\watched\\a.txt", "MODIFIED c:\\watched\\b.txt", "RENAMED c:\\watched\\d.txt",
        "DELETED c:\\watched\\e.txt"};
    auto arrived = [&](const std::vector<std::string>& wanted) {
        const ChangeUploads uploads = decodeChangeUploads(server.outputDir());
        for (const auto& w : wanted)
            if (countOf(uploads.changes, w) == 0) return false;
        return true;
    };
    ASSERT_TRUE(waitFor([&] { return arrived(first); }, 60)) << agentLog();

    stopAgent();
    writeFile(watched / "f.txt", "made while stopped\n");
    { std::ofstream(watched / "a.txt", std::ios::app) << "changed while stopped\n"; }
    startAgent(server.httpPort());
    const std::vector<std::string> second = {"CREATED c:\\watched\\f.txt", "MODIFIED c:\\watched\\a.txt"};
    ASSERT_TRUE(waitFor([&] { return arrived(second); }, 60)) << agentLog();
    stopAgent();

    const ChangeUploads uploads = decodeChangeUploads(server.outputDir());
    for (const auto& w : first) EXPECT_EQ(countOf(uploads.changes, w), 1u) << w;
    for (const auto& w : second) EXPECT_EQ(countOf(uploads.changes, w), 1u) << w;
    for (const auto& c : uploads.changes) EXPECT_EQ(c.find("scratch"), std::string::npos) << c;
    EXPECT_EQ(countOf(uploads.removed, "901 c:\\watched\\e.txt"), 1u);
    EXPECT_EQ(uploads.changes.size(), first.size() + second.size())
        << ::testing::PrintToString(uploads.changes);
}

}  // namespace
