// ambrik-inspect as a program: kinds, exit codes and its JSON lines.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "tests/testserver/bytes.h"
#include "tests/testserver/test_zip.h"

namespace fs = std::filesystem;

namespace {

struct Outcome {
    int status = -1;
    std::vector<std::string> lines;
};

Outcome inspect(const std::string& args) {
    Outcome run;
    std::FILE* pipe = popen((std::string(INSPECT_EXECUTABLE) + " " + args + " 2>/dev/null").c_str(), "r");
    if (!pipe) return run;
    std::string out;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::size_t pos = 0, end;
    while ((end = out.find('\n', pos)) != std::string::npos) {
        run.lines.push_back(out.substr(pos, end - pos));
        pos = end + 1;
    }
    return run;
}

class Inspect : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("ambrik-inspect-" + std::to_string(getpid()));
        fs::create_directories(dir / "serverdata");
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string write(const std::string& name, const std::string& bytes) {
        const fs::path p = dir / name;
        std::ofstream(p, std::ios::binary) << bytes;
        return p.string();
    }
    fs::path dir;
};

}  // namespace

TEST_F(Inspect, PrintsOneLinePerRecordAndTakesTheKindFromTheName) {
    const std::string raw = write("serverdata/rawlogs", testbytes::rawLogRecord() + testbytes::rawLogRecord("two"));
    Outcome run = inspect(raw);
    EXPECT_EQ(run.status, 0);
    ASSERT_EQ(run.lines.size(), 2u);
    EXPECT_EQ(run.lines[0].rfind("{\"offset\":0,", 0), 0u) << run.lines[0];
    EXPECT_NE(run.lines[1].find("\"message\":\"two\"}"), std::string::npos) << run.lines[1];

    // A copy without the telling name is recognised by its content, and
    // --kind overrides both.
    const std::string copy = write("copy.bin", testbytes::changeIndexRecord("c:\\a", "RENAMED"));
    run = inspect(copy);
    EXPECT_EQ(run.status, 0);
    ASSERT_EQ(run.lines.size(), 1u);
    EXPECT_NE(run.lines[0].find("\"changeType\":\"RENAMED\""), std::string::npos);
    run = inspect("--kind rawlogs " + copy);
    EXPECT_EQ(run.status, 1);

    // Several files, each announced.
    run = inspect(raw + " " + copy);
    EXPECT_EQ(run.status, 0);
    ASSERT_EQ(run.lines.size(), 5u);
    EXPECT_NE(run.lines[3].find("\"kind\":\"changeindex\""), std::string::npos);
}

TEST_F(Inspect, CorruptFilesEndWithTheErrorAndExitOne) {
    const std::string record = testbytes::rawLogRecord();
    const std::string raw = write("serverdata/rawlogs", record + record.substr(0, 20));
    Outcome run = inspect(raw);
    EXPECT_EQ(run.status, 1);
    ASSERT_EQ(run.lines.size(), 2u);
    EXPECT_EQ(run.lines[1].rfind("{\"error\":", 0), 0u);
    EXPECT_NE(run.lines[1].find("\"offset\":" + std::to_string(record.size()) + "}"), std::string::npos)
        << run.lines[1];
}

TEST_F(Inspect, ZipsAreListedWithTheirDecodedEntries) {
    const std::string path = (dir / "logdata_1001.zip").string();
    const std::string raw = testbytes::rawLogRecord();
    ASSERT_TRUE(testbytes::writeZip(path, {{"rawlogs", raw}}));
    Outcome run = inspect(path);
    EXPECT_EQ(run.status, 0);
    ASSERT_EQ(run.lines.size(), 2u);
    EXPECT_EQ(run.lines[0], "{\"entry\":\"rawlogs\",\"kind\":\"rawlogs\",\"size\":" + std::to_string(raw.size()) + "}");
}

TEST_F(Inspect, RowFormatCanBeForced) {
    const std::string agg = write("serverdata/aggregate", "14\t2026-12-07 14:00:00\t101\tA\tB\t1\tu\td\tc\t1\t0\t0\t0\t0\n");
    Outcome run = inspect(agg);
    EXPECT_EQ(run.status, 0);
    ASSERT_EQ(run.lines.size(), 1u);
    EXPECT_NE(run.lines[0].find("\"format\":\"tab\",\"NULL\":\"\",\"HOUROFDAY\":\"14\""), std::string::npos)
        << run.lines[0];
    EXPECT_EQ(inspect("--format plain " + agg).status, 1);
}

TEST_F(Inspect, BadUsageExitsTwo) {
    EXPECT_EQ(inspect("").status, 2);
    EXPECT_EQ(inspect("--bogus x").status, 2);
    EXPECT_EQ(inspect("--kind nope x").status, 2);
    EXPECT_EQ(inspect((dir / "missing").string()).status, 2);
    EXPECT_EQ(inspect(dir.string()).status, 2);
    // Content of no known kind is an error, not an empty success.
    EXPECT_EQ(inspect(write("notes.txt", "hello\n")).status, 1);
    EXPECT_EQ(inspect("--help").status, 0);
}

// --summary over a test-server output folder: requests by kind, raw events
// per host and hour with notifications, and the tab-format aggregate rows
// (which carry no separator after their leading NULL column).
TEST_F(Inspect, SummaryCountsRequestsEventsAndAggregateRows) {
    fs::create_directories(dir / "out" / "uploads");
    write("out/requests.log",
          "2026-12-07T10:00:00.000Z GET /event/agentHandler?mode=register&name=a&ip=b&aws=no\n"
          "2026-12-07T10:00:01.000Z GET /event/agentHandler?mode=update&slid=1\n"
          "2026-12-07T10:01:01.000Z GET /event/agentHandler?mode=update&slid=1\n"
          "2026-12-07T10:02:00.000Z POST /event/agentUpload\n");
    const std::string aggregate =
        "9\t2023-11-14 22:00:00\t101\tsrc\tSecurity\t4625\tu\td\t3\t0\t0\t0\t0\t2\n"
        "9\t2023-11-14 22:00:00\t101\tsrc\tSystem\t7036\t\t-\t-\t0\t0\t1\t0\t0\n";
    ASSERT_TRUE(testbytes::writeZip((dir / "out" / "uploads" / "0001-logdata_1.zip").string(),
                                  {{"rawlogs", testbytes::rawLogRecord() + testbytes::rawLogRecord("b")},
                                   {"aggregate", aggregate}}));
    Outcome run = inspect("--summary " + (dir / "out").string());
    ASSERT_EQ(run.status, 0);
    std::string all;
    for (const auto& line : run.lines) all += line + "\n";
    EXPECT_NE(all.find("1 x agentHandler mode=register\n"), std::string::npos) << all;
    EXPECT_NE(all.find("2 x agentHandler mode=update\n"), std::string::npos) << all;
    EXPECT_NE(all.find("1 x agentUpload\n"), std::string::npos) << all;
    EXPECT_NE(all.find("Uploads: 1 zip(s)\n"), std::string::npos) << all;
    EXPECT_NE(all.find("alpha.localhost (id 101)  2023-11-14 22:00 UTC: 2 event(s)"), std::string::npos) << all;
    EXPECT_NE(all.find("host 101, hour 2023-11-14 22:00:00: 3\n"), std::string::npos) << all;
    EXPECT_EQ(inspect("--summary " + (dir / "missing").string()).status, 2);
}

// --summary over attribute data sets: items with their checksums per data set,
// rows in the enclosed and tab formats, and periodic data against the base.
TEST_F(Inspect, SummaryListsTheFileIntegrityDataSets) {
    fs::create_directories(dir / "out" / "uploads");
    write("out/requests.log", "2026-12-07T10:02:00.000Z POST /event/agentUpload\n");
    const std::string md5a(32, 'a'), sha1a(40, 'a'), md5b(32, 'b'), sha1b(40, 'b');
    auto tabRow = [](const std::string& path, const std::string& md5, const std::string& sha1, const char* size,
                     const char* files, const char* folders, const char* isFile) {
        // The tab format has no separator after the leading NULL column.
        return std::string("7\t0\t1\t") + path + "\t-\t-\t2026\t2026\t2026\tFalse\tFalse\tFalse\tFalse\tOK\t" +
               "H\\\\root\tACLINFO: \t" + md5 + "\t" + sha1 + "\t\t" + size + "\t" + files + "\t" + folders + "\t" +
               isFile + "\n";
    };
    ASSERT_TRUE(testbytes::writeZip(
        (dir / "out" / "uploads" / "0001-basedata_1.zip").string(),
        {{"baseconfig", tabRow("c:\\\\w\\\\a.txt", md5a, sha1a, "5", "0", "0", "1") +
                            tabRow("c:\\\\w\\\\gone.txt", md5a, sha1a, "5", "0", "0", "1") +
                            tabRow("c:\\\\w", "", "", "10", "2", "0", "0")},
         {"treeviewconfig", "7\t0\t1\tc:\\\\w\\\\a.txt\t1\t0\tc:\\\\w\n"}}));
    ASSERT_TRUE(testbytes::writeZip((dir / "out" / "uploads" / "0002-periodicdata_1.zip").string(),
                                    {{"periodicconfig", tabRow("c:\\\\w\\\\a.txt", md5b, sha1b, "6", "0", "0", "1") +
                                                            tabRow("c:\\\\w\\\\n.txt", md5a, sha1a, "5", "0", "0", "1")}}));
    ASSERT_TRUE(testbytes::writeZip(
        (dir / "out" / "uploads" / "0003-newdata_1.zip").string(),
        {{"newconfig", tabRow("c:\\\\w\\\\n.txt", "Cannot read file \"c:\\\\w\\\\n.txt\".",
                              "Cannot read file \"c:\\\\w\\\\n.txt\".", "5", "0", "0", "1")}}));
    Outcome run = inspect("--summary " + (dir / "out").string());
    ASSERT_EQ(run.status, 0);
    std::string all;
    for (const auto& line : run.lines) all += line + "\n";
    EXPECT_NE(all.find("  base: 1 upload(s), 3 item(s) (2 file(s), 1 folder(s)), 2 with checksums, "
                       "1 tree-view entry\n"),
              std::string::npos)
        << all;
    EXPECT_NE(all.find("    c:\\\\w\\\\a.txt  5 bytes  md5 " + md5a + "  sha1 " + sha1a + "\n"), std::string::npos)
        << all;
    EXPECT_NE(all.find("    c:\\\\w  folder: 2 file(s), 0 folder(s), 10 bytes\n"), std::string::npos) << all;
    EXPECT_NE(all.find("  new: 1 upload(s), 1 item(s) (1 file(s), 0 folder(s)), 0 with checksums"),
              std::string::npos)
        << all;
    EXPECT_NE(all.find("md5: Cannot read file"), std::string::npos) << all;
    EXPECT_NE(all.find("  periodic against base: 1 changed, 1 new, 2 gone\n"), std::string::npos) << all;
    EXPECT_NE(all.find("    changed since the base: c:\\\\w\\\\a.txt\n"), std::string::npos) << all;
}

// --status grades the agent's status file for a monitoring check: problems
// first, critical over warning, unknown when the agent is not writing it.
TEST_F(Inspect, StatusGradesTheAgentsStatusFile) {
    const std::string install = dir.string();
    Outcome run = inspect("--status " + install);
    EXPECT_EQ(run.status, 3);
    fs::create_directories(dir / "logs");
    const long long now = static_cast<long long>(std::time(nullptr));
    auto status = [&](long long written, const std::string& events, long long gaps) {
        std::string set = "{\"lastAttempt\": 0, \"lastSuccess\": 0, \"lastResult\": -1, \"consecutiveFailures\": 0, "
                          "\"pendingFiles\": 0, \"pendingBytes\": 0}";
        write("logs/status.json",
              "{\n  \"version\": \"9.9\",\n  \"written\": " + std::to_string(written) +
                  ",\n  \"startedAt\": " + std::to_string(now - 7200) + ",\n  \"agentId\": 1001,\n"
                  "  \"transfers\": {\"events\": " + events + ", \"change\": " + set + ", \"base\": " + set +
                  ", \"periodic\": " + set + ", \"new\": " + set + "},\n  \"fim\": {\"gaps\": " +
                  std::to_string(gaps) + "},\n  \"process\": {\"logLevel\": 3}\n}\n");
    };
    auto events = [&](long long lastSuccess, int failures) {
        return "{\"lastAttempt\": " + std::to_string(now) + ", \"lastSuccess\": " + std::to_string(lastSuccess) +
               ", \"lastResult\": " + (failures ? "1" : "0") + ", \"consecutiveFailures\": " +
               std::to_string(failures) + ", \"pendingFiles\": 2, \"pendingBytes\": 300}";
    };
    status(now, events(now - 5, 0), 0);
    run = inspect("--status " + install);
    EXPECT_EQ(run.status, 0);
    ASSERT_GE(run.lines.size(), 3u);
    EXPECT_EQ(run.lines[0].rfind("ambrik 9.9, agent id 1001,", 0), 0u) << run.lines[0];
    EXPECT_EQ(run.lines[1], "OK: no problem");
    EXPECT_EQ(run.lines[2].rfind("events    sent, last sent ", 0), 0u) << run.lines[2];
    EXPECT_NE(run.lines[2].find(", 2 files (300 bytes) waiting"), std::string::npos) << run.lines[2];

    status(now, events(now - 600, 3), 1);  // failing for minutes, a journal gap: warnings
    run = inspect("--status " + install);
    EXPECT_EQ(run.status, 1);
    ASSERT_GE(run.lines.size(), 3u);
    EXPECT_EQ(run.lines[1].rfind("WARNING: data set events: 3 failed uploads in a row", 0), 0u) << run.lines[1];
    EXPECT_EQ(run.lines[2].rfind("WARNING: 1 change journal gaps", 0), 0u) << run.lines[2];

    status(now, events(0, 2), 0);  // never sent since a start two hours ago
    run = inspect("--status --json " + install);
    EXPECT_EQ(run.status, 2);
    ASSERT_FALSE(run.lines.empty());
    EXPECT_EQ(run.lines[0], "{");  // as it is
    run = inspect("--status " + install);
    ASSERT_GE(run.lines.size(), 2u);
    EXPECT_EQ(run.lines[1].rfind("CRITICAL: data set events: 2 failed uploads in a row, last sent never", 0), 0u);

    status(now - 61, events(now - 5, 0), 0);  // the agent stopped writing it
    EXPECT_EQ(inspect("--status " + install).status, 3);
    write("logs/status.json", "{\"written\": ");  // cut short
    EXPECT_EQ(inspect("--status " + install).status, 3);
    EXPECT_EQ(inspect("--status --bogus " + install).status, 3);
}

// The server, each host and each drive are judged too: critical when the
// server has not answered for over 10 minutes or a host failed three runs in
// a row; a warning for records or journal positions lost within the hour, a
// host behind by more than two intervals, and folders that cannot be watched.
TEST_F(Inspect, StatusJudgesServerHostsAndDrives) {
    fs::create_directories(dir / "logs");
    const long long now = static_cast<long long>(std::time(nullptr));
    const std::string t = std::to_string(now);
    auto status = [&](const std::string& server, const std::string& host, const std::string& drive) {
        write("logs/status.json", "{\"written\": " + t + ", \"startedAt\": " + std::to_string(now - 7200) +
                                      ", \"server\": " + server + ", \"hosts\": [" + host +
                                      "], \"fim\": {\"gaps\": 1, \"drives\": [" + drive + "]}}\n");
    };
    auto host = [&](int failures, long long lag, long long lastGap) {
        return "{\"id\": 201, \"name\": \"one\", \"lastRunEnd\": " + t + ", \"consecutiveFailures\": " +
               std::to_string(failures) + ", \"lastError\": \"" + (failures ? "0x80070005" : "") +
               "\", \"lagSeconds\": " + std::to_string(lag) + ", \"intervalSeconds\": 120, \"recordGaps\": 2, " +
               "\"lastGapTime\": " + std::to_string(lastGap) + "}";
    };
    auto drive = [&](long long lastGap, int unwatched) {
        return "{\"letter\": \"C\", \"gaps\": 1, \"lastGapTime\": " + std::to_string(lastGap) +
               ", \"unwatchedFolders\": " + std::to_string(unwatched) + "}";
    };
    const std::string up = "{\"up\": true, \"lastSuccess\": " + t + ", \"lastError\": \"\"}";
    // Old losses, no lag, the server answering: all well.
    status(up, host(0, 100, now - 4000), drive(now - 4000, 0));
    Outcome run = inspect("--status " + dir.string());
    EXPECT_EQ(run.status, 0);
    ASSERT_GE(run.lines.size(), 4u);
    EXPECT_EQ(run.lines[1], "OK: no problem");
    EXPECT_EQ(run.lines[2].rfind("server    up, last answered ", 0), 0u) << run.lines[2];
    EXPECT_EQ(run.lines[3].rfind("host      one (201): collected, lag 100 s, ", 0), 0u) << run.lines[3];

    status(up, host(0, 300, now - 60), drive(now - 60, 2));  // fresh losses, behind, unwatched folders
    run = inspect("--status " + dir.string());
    EXPECT_EQ(run.status, 1);
    ASSERT_GE(run.lines.size(), 5u);
    EXPECT_EQ(run.lines[1].rfind("WARNING: host one (201): 2 event records lost before they were read", 0), 0u);
    EXPECT_EQ(run.lines[2], "WARNING: host one (201): 5 min behind (collected every 2 min)");
    EXPECT_EQ(run.lines[3].rfind("WARNING: drive C: 1 change journal gaps", 0), 0u) << run.lines[3];
    EXPECT_EQ(run.lines[4].rfind("WARNING: drive C: 2 folders cannot be watched", 0), 0u) << run.lines[4];

    // A host failing three runs, the server refusing for 11 minutes: critical, first.
    status("{\"up\": false, \"lastSuccess\": " + std::to_string(now - 660) + ", \"lastError\": \"HTTP status 500\"}",
           host(3, 300, 0), drive(0, 0));
    run = inspect("--status " + dir.string());
    EXPECT_EQ(run.status, 2);
    ASSERT_GE(run.lines.size(), 3u);
    EXPECT_EQ(run.lines[1], "CRITICAL: server not answering for 11 min (HTTP status 500)");
    EXPECT_EQ(run.lines[2], "CRITICAL: host one (201): 3 failed runs in a row (0x80070005)");
    status("{\"up\": false, \"lastSuccess\": " + std::to_string(now - 60) + ", \"lastError\": \"x\"}",
           host(1, 300, 0), drive(0, 0));
    EXPECT_EQ(inspect("--status " + dir.string()).status, 1);
}
