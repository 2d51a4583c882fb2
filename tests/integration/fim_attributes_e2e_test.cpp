// File attributes from end to end: the real agent, on a clock running 600
// times faster than real time, against the test server, which says it has no
// base configuration and refuses the first upload. The base data of the
// watched folder must arrive whole and once, with the digests, sizes and
// counts the test computes itself, and a file made later arrives in the new
// data. Then the server refuses every upload while the four data sets fill:
// the stop runs their transfers in order (periodic, new, change, base), and
// after a restart with the server taking uploads again everything kept on
// disk arrives.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>

#include "testserver/decoders/decoders.h"
#include "testserver/harness.h"
#include "tests/support/agent_install.h"
#include "tests/support/agent_process.h"

namespace {

namespace fs = std::filesystem;

using agent_install::occurrences;
using agent_install::waitUntil;
using agent_process::readFile;
using agent_process::writeFile;

std::string digest(const EVP_MD* md, const std::string& data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(data.data(), data.size(), out, &n, md, nullptr);
    std::string hex;
    char two[3];
    for (unsigned int i = 0; i < n; ++i) {
        std::snprintf(two, sizeof two, "%02x", out[i]);
        hex += two;
    }
    return hex;
}

struct Row {
    std::string path, md5, sha1;
    long long locId = 0, size = 0, files = 0, folders = 0, isFile = 0;
};

// Where `what` last occurs in `text` at or after `from`; npos when it does not.
std::size_t lastAfter(const std::string& text, const std::string& what, std::size_t from) {
    const std::size_t at = text.rfind(what);
    return at == std::string::npos || at < from ? std::string::npos : at;
}

class FimAttributesEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        layout = agent_install::makeLayout(
            "ambrik-fime2e", agent_install::monitorRequests(agent_install::includeRow("c:\\\\watched", 77, "MD5")));
        ASSERT_FALSE(layout.dir.empty());
        dir = layout.dir;
        inst = layout.inst;
        volume = dir / "volume";
        watched = volume / "watched";
        fs::create_directories(dir / "journal");
        contents = {{"a.txt", "alpha\n"}, {"it's here.txt", "quoted name"}, {"empty.txt", ""},
                    {"sub/b.bin", std::string(70000, 'b')}, {"sub/deeper/c.txt", "c"}};
        for (const auto& [name, text] : contents) writeFile(watched / name, text);
        // Neither a name Windows cannot hold nor a link to a file outside
        // the folder may spoil a row: the first is left out, the second is
        // a file of its own without the outside file's digests.
        writeFile(watched / "tab\tname.txt", "forged\t0\t1\n");
        writeFile(dir / "outside.txt", kOutside);
        fs::create_symlink(dir / "outside.txt", watched / "sub" / "link.txt");
        std::string conf = readFile(layout.scenario / "scenario.conf");
        const std::size_t at = conf.find("baseconfig = INITIALIZED");
        ASSERT_NE(at, std::string::npos);
        conf.replace(at, std::strlen("baseconfig = INITIALIZED"), "baseconfig = UNINITIALIZED");
        writeFile(layout.scenario / "scenario.conf", conf);
    }
    void TearDown() override {
        stopAgent();
        agent_install::removeUnlessFailed(dir, HasFailure());
    }
    void startAgent(int port, int clockScale = 600) {
        writeFile(dir / "registry.reg", agent_install::registryText(port, layout, {{'C', volume}}, dir / "journal"));
        agent = agent_process::spawnAgent(AMBRIK_EXE, dir / "registry.reg", dir / "agent.out",
                                          {clockScale, false, true});
        ASSERT_GT(agent, 0);
    }
    void stopAgent() { agent_process::stopAgent(agent); }
    std::string agentLog() const { return readFile(inst / "logs" / "agentlog.out"); }

    // The attribute rows of every upload whose name holds `prefix`, in upload order.
    std::vector<Row> rowsOf(const testserver::TestServer& server, const std::string& prefix,
                            const std::string& entryName) {
        std::vector<Row> out;
        for (const auto& zip : agent_install::uploadZips(server.outputDir(), prefix)) {
            std::vector<decoders::ZipEntry> entries;
            const decoders::DecodeError error = decoders::readZip(zip.string(), entries);
            EXPECT_FALSE(error) << zip << ": " << error.describe();
            for (const auto& entry : entries) {
                if (entry.name != entryName) continue;
                std::vector<decoders::Row> rows;
                decoders::RowFormat used{};
                const decoders::DecodeError error = decoders::decodeRows(entry.data, std::nullopt, 0, rows, used);
                EXPECT_FALSE(error) << error.describe();
                for (const auto& r : rows) {
                    EXPECT_EQ(r.values.size(), 24u);
                    if (r.values.size() < 24) continue;
                    auto v = [&](std::size_t c) { return r.values[c].value_or(""); };
                    out.push_back({v(4), v(17), v(18), std::atoll(v(1).c_str()), std::atoll(v(20).c_str()),
                                   std::atoll(v(21).c_str()), std::atoll(v(22).c_str()), std::atoll(v(23).c_str())});
                }
            }
        }
        return out;
    }
    std::size_t zipCount(const testserver::TestServer& server, const std::string& prefix) const {
        return agent_install::uploadZips(server.outputDir(), prefix).size();
    }
    // The rows of one location, by path; each path once.
    static std::map<std::string, Row> rowsByPath(const std::vector<Row>& rows, long long locationId) {
        std::map<std::string, Row> byPath;
        for (const Row& r : rows) {
            if (r.locId != locationId) continue;
            EXPECT_EQ(byPath.count(r.path), 0u) << "twice: " << r.path;
            byPath[r.path] = r;
        }
        return byPath;
    }
    void checkFileRow(const std::map<std::string, Row>& byPath, const fs::path& file, const std::string& text) {
        const auto it = byPath.find(stored(file));
        ASSERT_NE(it, byPath.end()) << file;
        EXPECT_EQ(it->second.md5, digest(EVP_md5(), text)) << file;
        EXPECT_EQ(it->second.sha1, digest(EVP_sha1(), text)) << file;
        EXPECT_EQ(it->second.size, static_cast<long long>(text.size())) << file;
        EXPECT_EQ(it->second.isFile, 1) << file;
    }
    // What a data set must hold for the watched folder: every file of
    // `contents`, the link, the two folders and the location, each once.
    void checkRows(const std::vector<Row>& rows) {
        const std::map<std::string, Row> byPath = rowsByPath(rows, 77);
        long long total = 0;
        for (const auto& [name, text] : contents) {
            checkFileRow(byPath, watched / name, text);
            total += static_cast<long long>(text.size());
        }
        const auto link = byPath.find(stored(watched / "sub") + "\\\\link.txt");  // relative() would follow it
        ASSERT_NE(link, byPath.end());
        EXPECT_NE(link->second.md5, digest(EVP_md5(), kOutside));
        EXPECT_NE(link->second.sha1, digest(EVP_sha1(), kOutside));
        EXPECT_EQ(link->second.size, 0);
        const auto top = byPath.find(stored(watched));
        ASSERT_NE(top, byPath.end());
        EXPECT_EQ(top->second.files, static_cast<long long>(contents.size()) + 1);
        EXPECT_EQ(top->second.folders, 2);
        EXPECT_EQ(top->second.size, total);
        ASSERT_EQ(byPath.count(stored(watched / "sub")), 1u);
        EXPECT_EQ(byPath.at(stored(watched / "sub")).files, 3);
        EXPECT_EQ(byPath.size(), contents.size() + 4);
    }
    static constexpr const char* kOutside = "a secret outside the watched folder\n";
    // The Windows path of a file of volume C as the data sets store it for
    // database flag 0 (backslashes doubled).
    std::string stored(const fs::path& p) const {
        std::string s = "c:";
        for (char c : "/" + fs::relative(p, volume).string()) s += c == '/' ? std::string("\\\\") : std::string(1, c);
        return s;
    }

    agent_install::Layout layout;
    fs::path dir, inst, volume, watched;
    std::map<std::string, std::string> contents;
    pid_t agent = -1;
};

}  // namespace

TEST_F(FimAttributesEndToEnd, EveryDataSetArrivesAndTheStopSendsThemInOrder) {
    testserver::HarnessOptions options;
    options.scenarioDir = layout.scenario.string();
    options.https = false;
    testserver::TestServer server(options);
    ASSERT_TRUE(server.ok()) << server.error();
    ASSERT_TRUE(server.failRequests("agentUpload", 500, 1));  // the first upload fails; its files stay
    startAgent(server.httpPort());

    ASSERT_TRUE(waitUntil([&] { return zipCount(server, "basedata_") > 0; }, 90)) << agentLog();
    checkRows(rowsOf(server, "basedata_", "baseconfig"));

    // A file made after the base data arrives in the new data, with its own digests.
    writeFile(watched / "later.txt", "made after the base data\n");
    contents["later.txt"] = "made after the base data\n";
    ASSERT_TRUE(waitUntil([&] { return rowsByPath(rowsOf(server, "newdata_", "newconfig"), 77).count(stored(watched / "later.txt")) > 0; }, 60))
        << agentLog();
    checkFileRow(rowsByPath(rowsOf(server, "newdata_", "newconfig"), 77), watched / "later.txt", contents["later.txt"]);
    ASSERT_EQ(zipCount(server, "periodicdata_"), 0u) << "the periodic data came before six hours of agent time";

    // From now on the server refuses every upload, so each data set keeps
    // what it gathers: a change, a new file, the base data of a location the
    // server adds, and the periodic data at six hours of agent time.
    ASSERT_TRUE(server.failRequests("agentUpload", 500));
    const std::size_t refusedFrom = agentLog().size();
    { std::ofstream(watched / "a.txt", std::ios::app) << "more\n"; }
    contents["a.txt"] += "more\n";
    writeFile(watched / "latest.txt", "made while uploads fail\n");
    contents["latest.txt"] = "made while uploads fail\n";
    writeFile(volume / "second" / "s.txt", "second location\n");
    ASSERT_TRUE(server.swapFile(
        "monitorrequests-agent.xml",
        agent_install::monitorRequests(agent_install::includeRow("c:\\\\watched", 77, "MD5") +
                                       agent_install::includeRow("c:\\\\second", 78, "MD5"))));
    auto triedSince = [&](const std::string& zip) {
        return lastAfter(agentLog(), "Zip Name: " + zip, refusedFrom) != std::string::npos;
    };
    ASSERT_TRUE(waitUntil(
        [&] {
            return triedSince("periodicdata_") && triedSince("newdata_") && triedSince("changedata_") &&
                   triedSince("basedata_");
        },
        120))
        << agentLog().substr(refusedFrom);
    const std::size_t uploadsBeforeStop = server.uploads().size();
    stopAgent();
    EXPECT_EQ(server.uploads().size(), uploadsBeforeStop);

    // The stop tried the four transfers after the events' one, in order.
    const std::string log = agentLog();
    const std::size_t stopAt = log.rfind("InvokeShutdown");
    ASSERT_NE(stopAt, std::string::npos);
    const std::size_t periodic = lastAfter(log, "Zip Name: periodicdata_", stopAt);
    const std::size_t fresh = lastAfter(log, "Zip Name: newdata_", stopAt);
    const std::size_t change = lastAfter(log, "Zip Name: changedata_", stopAt);
    const std::size_t base = lastAfter(log, "Zip Name: basedata_", stopAt);
    ASSERT_NE(periodic, std::string::npos) << log.substr(stopAt);
    ASSERT_NE(fresh, std::string::npos) << log.substr(stopAt);
    ASSERT_NE(change, std::string::npos) << log.substr(stopAt);
    ASSERT_NE(base, std::string::npos) << log.substr(stopAt);
    EXPECT_LT(periodic, fresh);
    EXPECT_LT(fresh, change);
    EXPECT_LT(change, base);

    // The server takes uploads again: what the data sets kept arrives after
    // a restart (new, change and base data) and at its stop (periodic data).
    // The server has its base configuration by now, as a real one would say.
    ASSERT_TRUE(server.clearStatusRules());
    ASSERT_TRUE(server.failRequests("mode=baseconfig", 200, -1, "BASECONFIG INITIALIZED\n"));
    const std::size_t changeZips = zipCount(server, "changedata_");
    startAgent(server.httpPort());
    ASSERT_TRUE(waitUntil(
        [&] {
            return rowsByPath(rowsOf(server, "newdata_", "newconfig"), 77).count(stored(watched / "latest.txt")) > 0 &&
                   rowsByPath(rowsOf(server, "basedata_", "baseconfig"), 78).count(stored(volume / "second" / "s.txt")) >
                       0 &&
                   zipCount(server, "changedata_") > changeZips;
        },
        60))
        << agentLog();
    checkFileRow(rowsByPath(rowsOf(server, "newdata_", "newconfig"), 77), watched / "latest.txt",
                 contents["latest.txt"]);
    checkFileRow(rowsByPath(rowsOf(server, "basedata_", "baseconfig"), 78), volume / "second" / "s.txt",
                 "second location\n");
    stopAgent();
    ASSERT_GT(zipCount(server, "periodicdata_"), 0u) << agentLog();
    checkRows(rowsOf(server, "periodicdata_", "periodicconfig"));
}

// A 4 GiB file in the watched folder: its digests are taken beside the rest
// of the agent, so the update poll keeps its one-minute interval (one second
// of real time at x60) and a change goes out with the next change upload
// while the start-up base build hashes it, and a stop
// in the middle ends the hashing at once, sends ServiceStop and no part of
// the base data.
TEST_F(FimAttributesEndToEnd, ALargeFileHoldsUpNeitherTheUpdatePollNorTheStop) {
    writeFile(watched / "huge.bin", "");
    std::error_code ec;
    fs::resize_file(watched / "huge.bin", 4ULL << 30, ec);
    if (ec) GTEST_SKIP() << "the file system refuses a 4 GiB sparse file: " << ec.message();
    testserver::HarnessOptions options;
    options.scenarioDir = layout.scenario.string();
    options.https = false;
    testserver::TestServer server(options);
    ASSERT_TRUE(server.ok()) << server.error();
    startAgent(server.httpPort(), 60);
    ASSERT_TRUE(waitUntil([&] { return agentLog().find("Retrieving File Attributes for : c:\\watched\\huge.bin") !=
                                       std::string::npos; },
                          60))
        << agentLog();
    // A change made now goes out with the change job (every three minutes:
    // three seconds here) while the hashing goes on.
    { std::ofstream(watched / "a.txt", std::ios::app) << "changed while hashing\n"; }
    const auto changed = std::chrono::steady_clock::now();
    // Four polls in a row, each within two periods of the one before.
    std::size_t polls = server.countRequests("mode=update");
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(server.waitForRequests("mode=update", ++polls, 2500)) << "poll " << i << " late\n" << agentLog();
    EXPECT_TRUE(waitUntil([&] { return zipCount(server, "changedata_") > 0; },
                          std::max(1, 8 - static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(
                                                               std::chrono::steady_clock::now() - changed)
                                                               .count()))))
        << "no change upload within two change periods while hashing";
    ASSERT_EQ(zipCount(server, "basedata_"), 0u) << "the digest of 4 GiB took less than the polls";
    const auto stopBegan = std::chrono::steady_clock::now();
    EXPECT_EQ(agent_process::stopAgent(agent, 20), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - stopBegan, std::chrono::seconds(20));
    EXPECT_EQ(server.countRequests("status=ServiceStop"), 1u);
    EXPECT_EQ(zipCount(server, "basedata_"), 0u);
    EXPECT_NE(agentLog().find("Collection for FileAttributes ended by the stop"), std::string::npos) << agentLog();
}
