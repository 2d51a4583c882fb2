// Store benchmarks, each measured side by side with its reference in one run:
//  - storeEvents of 300-record buffers against a bare SQLite insert of the
//    same rows into a database with the same pragmas (counter bare_ratio:
//    store rate / bare rate);
//  - appendRawLogs in records and bytes per second;
//  - zipDirectory of a 50 MB serverdata folder against `zip -9 -j -X` of the
//    same files (counter time_ratio: our time / zip's time).

#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "agent/collection/event_record.h"
#include "agent/store/data_files.h"
#include "agent/store/event_store.h"
#include "agent/store/zip_directory.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::vector<EventRecord> makeEvents(std::size_t count, unsigned seed) {
    static const char* sources[] = {"Security", "Service Control Manager", "Kerberos", "DNS Client"};
    static const char* users[] = {"admin", "bob", "svc_backup", "SYSTEM", "alice"};
    std::mt19937 random(seed);
    std::vector<EventRecord> events(count);
    for (std::size_t i = 0; i < count; ++i) {
        EventRecord& r = events[i];
        r.hostId = 1 + random() % 25;
        r.eventTime = 1'700'000'000 + static_cast<std::int32_t>(random() % 86400);
        r.hour = static_cast<int>(random() % 24);
        r.day = 14;
        r.hourBucket = "2023-11-14 " + std::to_string(10 + r.hour % 10) + ":00:00";
        r.eventId = static_cast<int>(4624 + random() % 20);
        r.severity = 1 + static_cast<int>(random() % 5);
        r.logFile = "Security";
        r.source = sources[random() % 4];
        r.user = users[random() % 5];
        r.domain = "CORP";
        r.accessOrLogonType = std::to_string(2 + random() % 9);
        r.remoteHost = "10.1." + std::to_string(random() % 255) + "." + std::to_string(random() % 255);
        r.objectName = "C:\\Users\\" + r.user + "\\Documents\\file" + std::to_string(random() % 5000) + ".docx";
        r.processName = "C:\\Windows\\System32\\svchost.exe";
        r.message = "An account was successfully logged on. Subject: Security ID: S-1-5-18 Account Name: " +
                    r.user + " Logon ID: 0x" + std::to_string(random()) +
                    " Logon Type: " + r.accessOrLogonType +
                    " New Logon: Security ID: S-1-5-21-" + std::to_string(random()) +
                    " Process Information: Process ID: 0x" + std::to_string(random() % 65536) +
                    " Network Information: Workstation Name: WS" + std::to_string(random() % 300);
    }
    return events;
}

struct TempDir {
    std::filesystem::path path;
    std::filesystem::path previous = std::filesystem::current_path();
    explicit TempDir(const char* name) {
        path = std::filesystem::temp_directory_path() / (std::string(name) + "-" + std::to_string(::getpid()));
        std::filesystem::remove_all(path);
        std::filesystem::create_directories(path / "serverdata");
        std::filesystem::current_path(path);
    }
    ~TempDir() {
        std::filesystem::current_path(previous);
        std::filesystem::remove_all(path);
    }
};

// The reference: the same table and pragmas in a database of its own, the
// same binds, one statement per buffer.
struct BareStore {
    sqlite3* db = nullptr;
    BareStore() {
        sqlite3_open(":memory:", &db);
        sqlite3_exec(db,
                     "PRAGMA synchronous = 0;PRAGMA cache_size = 30000;PRAGMA journal_mode = OFF;"
                     "PRAGMA temp_store=2;",
                     nullptr, nullptr, nullptr);
        recreate();
    }
    ~BareStore() { sqlite3_close(db); }
    void recreate() {
        sqlite3_exec(db,
                     "DROP TABLE IF EXISTS T; CREATE TABLE T (HOST_ID INTEGER, HOUROFDAY INTEGER, HOUR TEXT, "
                     "EVENTID INTEGER, SEVERITY INTEGER, TYPE TEXT, SOURCE TEXT, USER_NAME TEXT, "
                     "DOMAIN TEXT, CLIENT TEXT)",
                     nullptr, nullptr, nullptr);
    }
    void insert(const std::vector<EventRecord>& events) {
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(db, "insert into T values (?,?,?,?,?,?,?,?,?,?)", -1, &stmt, nullptr);
        auto text = [&](int i, const std::string& s) {
            sqlite3_bind_text(stmt, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
        };
        for (const EventRecord& r : events) {
            sqlite3_bind_int64(stmt, 1, r.hostId);
            sqlite3_bind_int(stmt, 2, r.hour);
            text(3, r.hourBucket);
            sqlite3_bind_int(stmt, 4, r.eventId);
            sqlite3_bind_int(stmt, 5, r.severity);
            text(6, r.logFile);
            text(7, r.source);
            text(8, r.user);
            text(9, r.domain);
            text(10, r.accessOrLogonType);
            sqlite3_step(stmt);
            sqlite3_reset(stmt);
        }
        sqlite3_finalize(stmt);
    }
};

void BM_StoreEventsVsBareInsert(benchmark::State& state) {
    TempDir dir("ambrik-bench-store");
    openEventStore();
    createEventTables();
    BareStore bare;
    const auto events = makeEvents(300, 1);
    double storeSeconds = 0, bareSeconds = 0;
    std::size_t buffers = 0;
    for (auto _ : state) {
        auto start = Clock::now();
        storeEvents(events.data(), static_cast<int>(events.size()));
        storeSeconds += secondsSince(start);
        start = Clock::now();
        bare.insert(events);
        bareSeconds += secondsSince(start);
        // Both tables start afresh every 200 buffers (60000 rows), as the
        // snapshot does at each transfer.
        if (++buffers % 200 == 0) {
            state.PauseTiming();
            rotateAndAggregate();
            bare.recreate();
            state.ResumeTiming();
        }
    }
    const double rows = static_cast<double>(buffers) * 300;
    state.counters["store_rows_per_s"] = rows / storeSeconds;
    state.counters["bare_rows_per_s"] = rows / bareSeconds;
    state.counters["bare_ratio"] = bareSeconds / storeSeconds;
    state.SetItemsProcessed(static_cast<std::int64_t>(rows));
    closeEventStore();
}
BENCHMARK(BM_StoreEventsVsBareInsert)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_AppendRawLogs(benchmark::State& state) {
    TempDir dir("ambrik-bench-rawlogs");
    const auto events = makeEvents(300, 2);
    const RawLogHost host{"Windows", 7, "dc01.corp.example"};
    std::size_t buffers = 0;
    std::uintmax_t bytes = 0;
    for (auto _ : state) {
        appendRawLogs(host, events.data(), static_cast<int>(events.size()));
        if (++buffers % 100 == 0) {
            state.PauseTiming();
            bytes += std::filesystem::file_size(kRawLogsFilePath);
            std::filesystem::remove(kRawLogsFilePath);
            state.ResumeTiming();
        }
    }
    std::error_code ec;
    auto rest = std::filesystem::file_size(kRawLogsFilePath, ec);
    if (!ec) bytes += rest;
    state.SetItemsProcessed(static_cast<std::int64_t>(buffers * 300));
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_AppendRawLogs)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// serverdata/ with about 50 MB of raw-log records and aggregate lines.
void fillServerData() {
    const RawLogHost host{"Windows", 7, "dc01.corp.example"};
    unsigned seed = 10;
    auto rawLogBytes = [] {
        std::error_code ec;
        auto size = std::filesystem::file_size(kRawLogsFilePath, ec);
        return ec ? 0 : size;
    };
    while (rawLogBytes() < (42u << 20)) {
        const auto events = makeEvents(300, seed++);
        appendRawLogs(host, events.data(), static_cast<int>(events.size()));
    }
    std::FILE* aggregate = std::fopen(kAggregateFilePath, "w");
    std::mt19937 random(3);
    std::size_t written = 0;
    while (written < (8u << 20)) {
        std::string line = "|**|NULL|**|" + std::to_string(random() % 24) + "|**|2023-11-14 " +
                           std::to_string(random() % 24) + ":00:00|**|" + std::to_string(random() % 25) +
                           "|**|Security|**|Security|**|" + std::to_string(4624 + random() % 40) +
                           "|**|user" + std::to_string(random() % 300) + "|**|CORP|**|" +
                           std::to_string(random() % 11) + "|**|" + std::to_string(random() % 50) +
                           "|**|0|**|" + std::to_string(random() % 9) + "|**|" +
                           std::to_string(random() % 500) + "|**|0|**|**|\n";
        written += std::fwrite(line.data(), 1, line.size(), aggregate);
    }
    std::fclose(aggregate);
}

void BM_ZipDirectoryVsZipTool(benchmark::State& state) {
    TempDir dir("ambrik-bench-zip");
    fillServerData();
    const auto folderBytes = std::filesystem::file_size(kRawLogsFilePath) +
                             std::filesystem::file_size(kAggregateFilePath);
    double oursSeconds = 0, toolSeconds = 0;
    std::size_t runs = 0;
    for (auto _ : state) {
        auto start = Clock::now();
        if (zipDirectory(kServerDataDir, "ours.zip") != 1) state.SkipWithError("zipDirectory failed");
        oursSeconds += secondsSince(start);
        start = Clock::now();
        if (std::system("zip -q -9 -j -X tool.zip serverdata/aggregate serverdata/rawlogs") != 0)
            state.SkipWithError("zip failed");
        toolSeconds += secondsSince(start);
        ++runs;
        state.PauseTiming();
        state.counters["ours_zip_bytes"] = static_cast<double>(std::filesystem::file_size("ours.zip"));
        state.counters["tool_zip_bytes"] = static_cast<double>(std::filesystem::file_size("tool.zip"));
        std::filesystem::remove("ours.zip");
        std::filesystem::remove("tool.zip");
        state.ResumeTiming();
    }
    state.counters["folder_mb"] = static_cast<double>(folderBytes) / (1 << 20);
    state.counters["ours_s"] = oursSeconds / static_cast<double>(runs);
    state.counters["tool_s"] = toolSeconds / static_cast<double>(runs);
    state.counters["time_ratio"] = oursSeconds / toolSeconds;
}
BENCHMARK(BM_ZipDirectoryVsZipTool)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
