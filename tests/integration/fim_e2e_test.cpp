// File integrity monitoring from end to end: the real agent in the console,
// on a clock running 60 times faster than real time, against the test
// server, with drive C mapped to a folder of the test. The test changes
// files in the watched folder and in its excluded sub-folder, and checks
// the decoded change uploads against what it did: every change once,
// nothing from the excluded folder, the removed file in the rename list.
// Then it stops the agent, changes files while it is stopped (one rewritten
// with its modification time put back), starts it again and checks that
// those changes arrive once too. A burst of 50,000 creations, with the agent
// killed outright in its middle and started again, and their deletions are
// counted path by path: each arrives once.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "testserver/decoders/decoders.h"
#include "testserver/harness.h"
#include "tests/support/agent_install.h"
#include "tests/support/agent_process.h"

namespace {

namespace fs = std::filesystem;

using agent_install::waitUntil;
using agent_process::readFile;
using agent_process::writeFile;

// What the change uploads held, in upload order.
struct ChangeUploads {
    std::vector<std::string> changes;  // "TYPE path"
    std::vector<std::string> removed;  // "id path"
};

ChangeUploads decodeChangeUploads(const std::string& outputDir) {
    ChangeUploads out;
    for (const auto& zip : agent_install::uploadZips(outputDir, "changedata_")) {
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

// The change uploads decoded as they arrive, each zip once, counted by
// "TYPE path".
struct ChangeCounter {
    std::set<std::string> decoded;
    std::map<std::string, int> counts;

    void update(const std::string& outputDir) {
        for (const auto& zip : agent_install::uploadZips(outputDir, "changedata_")) {
            if (!decoded.insert(zip.filename().string()).second) continue;
            std::vector<decoders::ZipEntry> entries;
            if (decoders::readZip(zip.string(), entries)) continue;
            for (const auto& e : entries) {
                if (e.name != "changeindex") continue;
                std::vector<decoders::PackedRecord> records;
                decoders::decodeRecords(e.data, "sslsszzll", records);
                for (const auto& r : records) ++counts[r.fields[3].text + " " + r.fields[1].text];
            }
        }
    }
    // How many of the paths arrived with the type.
    std::size_t arrived(const std::string& type, const std::vector<std::string>& paths) const {
        std::size_t n = 0;
        for (const auto& path : paths) n += counts.count(type + " " + path);
        return n;
    }
};

std::size_t countOf(const std::vector<std::string>& list, const std::string& item) {
    return static_cast<std::size_t>(std::count(list.begin(), list.end(), item));
}

const std::string kWatchedRows = agent_install::includeRow("c:\\\\watched", 901) +
                                 agent_install::excludeRow("c:\\\\watched\\\\scratch");

class FimEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        layout = agent_install::makeLayout("ambrik-fim-e2e", agent_install::monitorRequests(kWatchedRows));
        ASSERT_FALSE(layout.dir.empty());
        dir = layout.dir;
        inst = layout.inst;
        volume = dir / "volume";
        secondDrive = dir / "second-drive";
        fs::create_directories(volume / "watched" / "scratch");
        fs::create_directories(secondDrive / "docs");
        fs::create_directories(dir / "journal");
        writeFile(volume / "watched" / "b.txt", "before\n");
        writeFile(volume / "watched" / "c.txt", "to be renamed\n");
        writeFile(volume / "watched" / "e.txt", "to be deleted\n");
        writeFile(volume / "watched" / "g.txt", "same size\n");
    }
    void TearDown() override {
        stopAgent();
        agent_install::removeUnlessFailed(dir, HasFailure());
    }

    // The clock runs `scale` times faster; a request's time limit shrinks
    // with it (to no less than 5 real seconds).
    void startAgent(int port, int scale = 60) {
        writeFile(dir / "registry.reg", agent_install::registryText(port, layout, {{'C', volume}, {'E', secondDrive}},
                                                                    dir / "journal"));
        agent = agent_process::spawnAgent(AMBRIK_EXE, dir / "registry.reg", dir / "agent.out", {scale, false, true});
        ASSERT_GT(agent, 0);
    }
    void stopAgent() { agent_process::stopAgent(agent); }
    std::string agentLog() const { return readFile(inst / "logs" / "agentlog.out"); }
    bool logCount(const std::string& text, std::size_t count) {
        return agent_install::occurrences(agentLog(), text) >= count;
    }
    // True once every wanted change is in the change uploads.
    static bool arrived(const testserver::TestServer& server, const std::vector<std::string>& wanted) {
        const ChangeUploads uploads = decodeChangeUploads(server.outputDir());
        for (const auto& w : wanted)
            if (countOf(uploads.changes, w) == 0) return false;
        return true;
    }

    // The test server over http on the test's own scenario.
    testserver::HarnessOptions serverOptions() const {
        testserver::HarnessOptions options;
        options.scenarioDir = layout.scenario.string();
        options.https = false;
        return options;
    }

    agent_install::Layout layout;
    fs::path dir, inst, volume, secondDrive;
    pid_t agent = -1;
};

TEST_F(FimEndToEnd, ChangesArriveOnceAcrossARestart) {
    testserver::TestServer server(serverOptions());
    ASSERT_TRUE(server.ok()) << server.error();
    startAgent(server.httpPort());
    ASSERT_TRUE(waitUntil([&] { return logCount("\n Initiating WAIT", 1); }, 60)) << agentLog();

    const fs::path watched = volume / "watched";
    writeFile(watched / "a.txt", "created\n");
    { std::ofstream(watched / "b.txt", std::ios::app) << "more\n"; }
    fs::rename(watched / "c.txt", watched / "d.txt");
    fs::remove(watched / "e.txt");
    writeFile(watched / "scratch" / "x.txt", "excluded\n");
    const std::vector<std::string> first = {
        "CREATED c:\\watched\\a.txt", "MODIFIED c:\\watched\\b.txt", "RENAMED c:\\watched\\d.txt",
        "DELETED c:\\watched\\e.txt"};
    ASSERT_TRUE(waitUntil([&] { return arrived(server, first); }, 60)) << agentLog();

    stopAgent();
    writeFile(watched / "f.txt", "made while stopped\n");
    { std::ofstream(watched / "a.txt", std::ios::app) << "changed while stopped\n"; }
    // Rewritten with the same size and its modification time put back.
    const auto sameTime = fs::last_write_time(watched / "g.txt");
    writeFile(watched / "g.txt", "SAME SIZE\n");
    fs::last_write_time(watched / "g.txt", sameTime);
    startAgent(server.httpPort());
    const std::vector<std::string> second = {"CREATED c:\\watched\\f.txt", "MODIFIED c:\\watched\\a.txt",
                                             "MODIFIED c:\\watched\\g.txt"};
    ASSERT_TRUE(waitUntil([&] { return arrived(server, second); }, 60)) << agentLog();
    stopAgent();

    const ChangeUploads uploads = decodeChangeUploads(server.outputDir());
    for (const auto& w : first) EXPECT_EQ(countOf(uploads.changes, w), 1u) << w;
    for (const auto& w : second) EXPECT_EQ(countOf(uploads.changes, w), 1u) << w;
    for (const auto& c : uploads.changes) EXPECT_EQ(c.find("scratch"), std::string::npos) << c;
    EXPECT_EQ(countOf(uploads.removed, "901 c:\\watched\\e.txt"), 1u);
    EXPECT_EQ(uploads.changes.size(), first.size() + second.size())
        << ::testing::PrintToString(uploads.changes);
}

TEST_F(FimEndToEnd, ABurstWithAKillInItsMiddleArrivesPathByPathOnce) {
    constexpr int kFiles = 50000;
    constexpr int kFolders = 4;
    // A burst's uploads are large: on a busy machine the test server needs
    // more than the few seconds a 60-fold clock leaves an upload.
    constexpr int kScale = 20;
    testserver::TestServer server(serverOptions());
    ASSERT_TRUE(server.ok()) << server.error();
    startAgent(server.httpPort(), kScale);
    ASSERT_TRUE(waitUntil([&] { return logCount("\n Initiating WAIT", 1); }, 60)) << agentLog();

    const fs::path watched = volume / "watched";
    std::vector<std::string> paths;
    for (int k = 0; k < kFolders; ++k) {
        fs::create_directory(watched / ("burst" + std::to_string(k)));
        paths.push_back("c:\\watched\\burst" + std::to_string(k));
    }
    for (int i = 0; i < kFiles; ++i) {
        const std::string folder = "burst" + std::to_string(i % kFolders);
        const std::string name = "f" + std::to_string(i) + ".txt";
        std::ofstream(watched / folder / name).close();
        paths.push_back("c:\\watched\\" + folder + "\\" + name);
        if (i == kFiles / 2) {
            // Killed outright while it reads the burst; the rest is made
            // while it is down.
            ASSERT_EQ(kill(agent, SIGKILL), 0);
            agent_process::waitForAgent(agent, 10);
        }
    }
    startAgent(server.httpPort(), kScale);
    ChangeCounter counter;
    const auto all = [&](const char* type) {
        counter.update(server.outputDir());
        return counter.arrived(type, paths) == paths.size();
    };
    EXPECT_TRUE(waitUntil([&] { return all("CREATED"); }, 180))
        << counter.arrived("CREATED", paths) << " of " << paths.size() << " created\n" << agentLog();
    for (int k = 0; k < kFolders; ++k) fs::remove_all(watched / ("burst" + std::to_string(k)));
    EXPECT_TRUE(waitUntil([&] { return all("DELETED"); }, 180))
        << counter.arrived("DELETED", paths) << " of " << paths.size() << " deleted";
    stopAgent();
    counter.update(server.outputDir());
    std::size_t twice = 0;
    std::string example;
    for (const auto& [change, count] : counter.counts) {
        if (count == 1) continue;
        if (++twice == 1) example = change;
    }
    EXPECT_EQ(twice, 0u) << "changes that arrived more than once, such as " << example;
    std::size_t burstChanges = 0;
    for (const auto& [change, count] : counter.counts)
        if (change.find("\\burst") != std::string::npos) burstChanges += static_cast<std::size_t>(count);
    EXPECT_EQ(burstChanges, 2 * paths.size());  // nothing but the creations and the deletions
}

TEST_F(FimEndToEnd, ALocationAddedOnASecondDriveGetsItsOwnMonitor) {
    testserver::TestServer server(serverOptions());
    ASSERT_TRUE(server.ok()) << server.error();
    startAgent(server.httpPort());
    ASSERT_TRUE(waitUntil([&] { return logCount("\n Initiating WAIT", 1); }, 60)) << agentLog();
    EXPECT_FALSE(fs::exists(dir / "journal" / "E.journal"));

    // The server adds a location on drive E; the update poll picks it up.
    writeFile(secondDrive / "docs" / "old.txt", "there before\n");
    ASSERT_TRUE(server.swapFile("monitorrequests-agent.xml",
                                agent_install::monitorRequests(kWatchedRows +
                                                               agent_install::includeRow("e:\\\\docs", 903))));
    ASSERT_TRUE(waitUntil([&] { return logCount("\n Initiating WAIT", 2); }, 60)) << agentLog();
    EXPECT_TRUE(logCount("\n Initialize monitoring for Drive : E", 1));
    EXPECT_TRUE(fs::exists(dir / "journal" / "E.journal"));
    EXPECT_TRUE(fs::exists(inst / "bin" / "data" / "Volume-E.db"));

    writeFile(secondDrive / "docs" / "new.txt", "made on the second drive\n");
    { std::ofstream(secondDrive / "docs" / "old.txt", std::ios::app) << "changed\n"; }
    writeFile(volume / "watched" / "a.txt", "drive C goes on\n");
    const std::vector<std::string> wanted = {"CREATED e:\\docs\\new.txt", "MODIFIED e:\\docs\\old.txt",
                                             "CREATED c:\\watched\\a.txt"};
    ASSERT_TRUE(waitUntil([&] { return arrived(server, wanted); }, 60)) << agentLog();
    stopAgent();
    const ChangeUploads uploads = decodeChangeUploads(server.outputDir());
    for (const auto& w : wanted) EXPECT_EQ(countOf(uploads.changes, w), 1u) << w;
    EXPECT_EQ(uploads.changes.size(), wanted.size()) << ::testing::PrintToString(uploads.changes);
    // The last status shows both drives, their journals read, none lost.
    const std::string status = readFile(inst / "logs" / "status.json");
    for (const char* letter : {"C", "E"}) {
        const std::size_t at = status.find(std::string("{\"letter\": \"") + letter + "\"");
        ASSERT_NE(at, std::string::npos) << status;
        const std::string line = status.substr(at, status.find('\n', at) - at);
        EXPECT_NE(line.find("\"gaps\": 0, \"lastGapTime\": 0,"), std::string::npos) << line;
        EXPECT_EQ(line.find("\"backlogBytes\": -"), std::string::npos) << line;
        EXPECT_EQ(line.find("\"readUsn\": 0,"), std::string::npos) << line;
        EXPECT_NE(line.find("\"unwatchedFolders\": 0, \"itemsWatched\": "), std::string::npos) << line;
        EXPECT_EQ(line.find("\"itemsWatched\": 0,"), std::string::npos) << line;
    }
}

}  // namespace
