// File attributes from end to end: the real agent, on a clock running 600
// times faster than real time, against the test server, which says it has no
// base configuration and refuses the first upload. The base data of the
// watched folder must arrive whole and once, with the digests, sizes and
// counts the test computes itself; the periodic data set follows on the
// accelerated clock.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "testserver/decoders/decoders.h"
#include "testserver/harness.h"
#include "tests/support/agent_process.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

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

// Windows path as the data sets store it for database flag 0 (backslashes doubled).
std::string stored(const fs::path& p) {
    std::string s = "c:";
    for (char c : p.string()) s += c == '/' ? std::string("\\\\") : std::string(1, c);
    return s;
}

struct Row {
    std::string path, md5, sha1;
    long long locId = 0, size = 0, files = 0, folders = 0, isFile = 0;
};

class FimAttributesEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        dir = "/tmp/ambrik-fime2e-" + std::to_string(getpid());  // lower case: locations are
        fs::remove_all(dir);
        inst = dir / "inst";
        fs::create_directories(inst / "bin" / "data");
        fs::create_directories(inst / "logs");
        for (const char* f : {"data-dictionary.xml", "EventIdParserRules.xml"})
            fs::copy_file(fs::path(AMBRIK_SOURCE_DIR) / "data" / f, inst / "bin" / "data" / f);
        watched = dir / "watched";
        contents = {{"a.txt", "alpha\n"}, {"it's here.txt", "quoted name"}, {"empty.txt", ""},
                    {"sub/b.bin", std::string(70000, 'b')}, {"sub/deeper/c.txt", "c"}};
        for (const auto& [name, text] : contents) writeFile(watched / name, text);
        scenario = dir / "scenario";
        fs::copy(fs::path(AMBRIK_SOURCE_DIR) / "testserver" / "scenarios" / "default", scenario,
                 fs::copy_options::recursive);
        fs::remove_all(scenario / "wmi-hosts");
        writeFile(scenario / "hostdetails.xml", "<?xml version=\"1.0\"?>\n<HostList/>\n");
        writeFile(scenario / "monitorrequests-agent.xml",
                  "<?xml version=\"1.0\"?>\n<MonitorRequests>\n  <FIM_AgentRequest INCL_LOC=\"" + stored(watched) +
                      "\" CHECKSUM=\"MD5\" LOC_ID=\"77\"/>\n</MonitorRequests>\n");
        std::string conf = readFile(scenario / "scenario.conf");
        const std::size_t at = conf.find("baseconfig = INITIALIZED");
        ASSERT_NE(at, std::string::npos);
        conf.replace(at, std::strlen("baseconfig = INITIALIZED"), "baseconfig = UNINITIALIZED");
        writeFile(scenario / "scenario.conf", conf);
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
                      inst.string() + "/\"\r\n\"AgentVersion\"=\"8.0.0\"\r\n\"AWS Instance\"=\"no\"\r\n" +
                      "\"WmiHostsDir\"=\"" + (inst / "wmi-hosts").string() + "\"\r\n");
        agent = agent_process::spawnAgent(AMBRIK_EXE, dir / "registry.reg", dir / "agent.out", {600, false, false});
        ASSERT_GT(agent, 0);
    }
    void stopAgent() { agent_process::stopAgent(agent); }
    // The attribute rows of every upload whose name holds `prefix`, in upload order.
    std::vector<Row> rowsOf(const testserver::TestServer& server, const std::string& prefix,
                            const std::string& entryName) {
        std::vector<fs::path> zips;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(fs::path(server.outputDir()) / "uploads", ec))
            if (e.path().filename().string().find(prefix) != std::string::npos && e.path().extension() == ".zip")
                zips.push_back(e.path());
        std::sort(zips.begin(), zips.end());
        std::vector<Row> out;
        for (const auto& zip : zips) {
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
    bool waitForZip(const testserver::TestServer& server, const std::string& prefix, int seconds) {
        const auto deadline = Clock::now() + std::chrono::seconds(seconds);
        while (Clock::now() < deadline) {
            std::error_code ec;
            for (const auto& e : fs::directory_iterator(fs::path(server.outputDir()) / "uploads", ec))
                if (e.path().filename().string().find(prefix) != std::string::npos && e.path().extension() == ".zip")
                    return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        return false;
    }
    // What a data set must hold for the watched folder.
    void checkRows(const std::vector<Row>& rows) {
        std::map<std::string, Row> byPath;
        for (const Row& r : rows) {
            EXPECT_EQ(byPath.count(r.path), 0u) << "twice: " << r.path;
            byPath[r.path] = r;
            EXPECT_EQ(r.locId, 77) << r.path;
        }
        long long total = 0;
        for (const auto& [name, text] : contents) {
            const auto it = byPath.find(stored(watched / name));
            ASSERT_NE(it, byPath.end()) << name;
            EXPECT_EQ(it->second.md5, digest(EVP_md5(), text)) << name;
            EXPECT_EQ(it->second.sha1, digest(EVP_sha1(), text)) << name;
            EXPECT_EQ(it->second.size, static_cast<long long>(text.size())) << name;
            EXPECT_EQ(it->second.isFile, 1) << name;
            total += static_cast<long long>(text.size());
        }
        const auto top = byPath.find(stored(watched));
        ASSERT_NE(top, byPath.end());
        EXPECT_EQ(top->second.files, 5);
        EXPECT_EQ(top->second.folders, 2);
        EXPECT_EQ(top->second.size, total);
        EXPECT_EQ(byPath.at(stored(watched / "sub")).files, 2);
        EXPECT_EQ(rows.size(), 8u);  // five files, two folders, the location
    }

    fs::path dir, inst, watched, scenario;
    std::map<std::string, std::string> contents;
    pid_t agent = -1;
};

}  // namespace

TEST_F(FimAttributesEndToEnd, BaseDataArrivesWholeAfterAFailedUploadAndPeriodicDataFollows) {
    testserver::HarnessOptions options;
    options.scenarioDir = scenario.string();
    options.https = false;
    testserver::TestServer server(options);
    ASSERT_TRUE(server.ok()) << server.error();
    ASSERT_TRUE(server.failRequests("agentUpload", 500, 1));  // the first upload fails; its files stay
    startAgent(server.httpPort());

    ASSERT_TRUE(waitForZip(server, "basedata_", 90)) << readFile(inst / "logs" / "agentlog.out");
    checkRows(rowsOf(server, "basedata_", "baseconfig"));

    // Six hours on the agent's clock: 36 s here.
    ASSERT_TRUE(waitForZip(server, "periodicdata_", 120));
    checkRows(rowsOf(server, "periodicdata_", "periodicconfig"));
    stopAgent();
    // The base data still arrived exactly once in all.
    checkRows(rowsOf(server, "basedata_", "baseconfig"));
}
