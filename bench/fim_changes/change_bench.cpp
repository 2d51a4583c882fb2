// Change detection throughput with 1000 monitored folders and 1000 ignored
// ones. The rule check looks the path's prefixes up in the ordered sets;
// the baseline is the plain walk over every entry with a substring test,
// measured side by side on the same rules and paths.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench/support/resident_memory.h"
#include "agent/fim/change_detect.h"
#include "agent/fim/change_store.h"
#include "agent/fim/monitor_config.h"
#include "agent/fim/path_map.h"
#include "agent/server/http_client.h"
#include "agent/settings/settings.h"
#include "agent/store/event_store.h"
#include "common/log.h"

namespace {

constexpr int kLocations = 1000;
constexpr std::int64_t kFileTime = (1700000000LL * 10000000LL) + 116444736000000000LL;

std::string location(int i) {
    char text[64];
    std::snprintf(text, sizeof text, "c:\\data\\site%04d\\content", i);
    return text;
}

void setUpRules() {
    static bool done = false;
    if (done) return;
    done = true;
    std::lock_guard lock(rulesLock());
    MonitorRules& rules = monitorRules();
    for (int i = 0; i < kLocations; ++i) {
        rules.monitorDirs.insert(location(i));
        rules.locations.emplace(location(i), LocationIds{i + 1, 0});
        rules.ignoreDirs.insert(location(i) + "\\cache");
    }
}

std::vector<std::string> samplePaths(std::size_t count) {
    std::mt19937 random(7);
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < count; ++i) {
        const int site = static_cast<int>(random() % kLocations);
        const int kind = static_cast<int>(random() % 10);
        std::string path = location(site);
        if (kind == 0) path += "\\cache\\tmp.bin";       // ignored
        else if (kind == 1) path = "c:\\windows\\temp\\x.log";  // outside every location
        else path += "\\pages\\page" + std::to_string(i % 97) + ".html";
        paths.push_back(path);
    }
    return paths;
}

// The walk over every entry, with the substring test, as the baseline.
bool coveredLinear(const std::set<std::string>& entries, const std::string& path) {
    const std::string haystack = path + "\\";
    for (const std::string& entry : entries)
        if (entry == path || haystack.find(entry + "\\") != std::string::npos) return true;
    return false;
}
bool checkRulesLinear(const std::string& path) {
    std::lock_guard lock(rulesLock());
    const MonitorRules& rules = monitorRules();
    if (rules.ignoreFiles.count(path)) return false;
    if (coveredLinear(rules.ignoreDirs, path)) return false;
    if (rules.monitorFiles.count(path)) return true;
    return coveredLinear(rules.monitorDirs, path);
}

void quietLog() {
    static std::FILE* sink = std::fopen("/dev/null", "w");
    SetLogInfo("bench.log", ".", 10000, nullptr, 3);
    SetLogFilePtr(sink);
}

void BM_RuleCheck_PrefixLookup(benchmark::State& state) {
    quietLog();
    setUpRules();
    const auto paths = samplePaths(4096);
    std::size_t i = 0, accepted = 0;
    for (auto _ : state) {
        std::int64_t id = 0;
        accepted += checkRules(paths[i++ & 4095], &id);
    }
    benchmark::DoNotOptimize(accepted);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RuleCheck_PrefixLookup);

void BM_RuleCheck_LinearWalkBaseline(benchmark::State& state) {
    quietLog();
    setUpRules();
    const auto paths = samplePaths(4096);
    std::size_t i = 0, accepted = 0;
    for (auto _ : state) accepted += checkRulesLinear(paths[i++ & 4095]);
    benchmark::DoNotOptimize(accepted);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RuleCheck_LinearWalkBaseline);

// processChange for a batch of changes, then one change job that writes the
// index, stores the rows and exports the trend (server down: no upload).
void BM_ProcessChangeAndChangeJob(benchmark::State& state) {
    quietLog();
    setUpRules();
    const auto dir = std::filesystem::temp_directory_path() / ("ambrik-fim-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir / "data/changedata");
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    openEventStore();
    createEventTables();
    SetAgentId(42);
    SetServerStatus(kServerDown);
    const std::size_t batch = static_cast<std::size_t>(state.range(0));
    const auto paths = samplePaths(batch);
    for (auto _ : state) {
        for (const std::string& path : paths)
            processChange({path, "c:\\data", 0x80000002u, 0, kFileTime, true});
        changeJob({});
        state.PauseTiming();
        std::filesystem::remove(kChangeIndexPath);
        std::filesystem::remove(kTrendFilePath);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(batch));
    closeEventStore();
    std::filesystem::current_path(previous);
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_ProcessChangeAndChangeJob)->Arg(1000)->Unit(benchmark::kMillisecond);

using bench_support::residentKiB;

// The directory map of a volume with 100000 directories: resident memory
// it adds (counter kib_per_volume), beside the size of its back-up file.
void BM_DirectoryMapOf100000Directories(benchmark::State& state) {
    for (auto _ : state) {
        const long before = residentKiB();
        auto map = std::make_unique<DirectoryPathMap>();
        map->Add(5, u"C:", 0);
        for (std::uint64_t i = 0; i < 100000; ++i)
            map->Add(100 + i, u"directory-" + std::u16string(10, u'a' + (i % 26)), 5 + (i % 1000 ? 100 + i / 1000 : 0));
        const long after = residentKiB();
        state.counters["kib_per_volume"] = static_cast<double>(after - before);
        state.counters["backup_kib"] = static_cast<double>(encodeBackup({u'C', 1, 1}, *map).size() / 1024);
        benchmark::DoNotOptimize(map);
    }
}
BENCHMARK(BM_DirectoryMapOf100000Directories)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
