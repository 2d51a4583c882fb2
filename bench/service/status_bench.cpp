// The cost of the status writes: every 10 s of clock time the agent takes its
// figures and writes logs/status.json and the metrics file. Measured with 25
// hosts (each with a run record over three logs) and two drives, beside the
// bare cost of writing the same bytes to the same two files aside and
// renaming them, in the same run. Counters: core_percent (one write's
// processor time as a share of a core over the 10 s between writes) and
// bare_ratio (our time / the bare write's time).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>

#include "agent/collection/host_run_stats.h"
#include "agent/hosts/host_cache.h"
#include "agent/service/status_file.h"
#include "agent/settings/settings.h"

namespace {

namespace fs = std::filesystem;

// Processor time of the whole process, in seconds.
double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct Install {
    fs::path dir = fs::temp_directory_path() / ("ambrik-status-bench-" + std::to_string(::getpid()));
    StatusSnapshot shown;  // the 25 hosts and two drives the writes show

    Install() {
        fs::remove_all(dir);
        fs::create_directories(dir / "logs");
        ResetAgentSettings();
        PutAgentSetting("AgentInstallDir", dir.string() + "/");
        PutAgentSetting("MetricsFile", (dir / "ambrik.prom").string());
        SetAgentId(1001);
        initHostCache();
        for (int i = 0; i < MAX_HOSTS; ++i) {
            const std::int64_t id = 201 + i;
            withHostSlot(hostSlot(i), [&](HostSlot& h) {
                h.inUse = 1;
                h.hostId = id;
                h.hostName = "host" + std::to_string(i) + ".corp.example";
                h.monInterval = 2;
                h.nextScanTime = 1700000120;
            });
            HostRunReport run;
            run.start = 1700000000;
            run.readToEnd = true;
            run.collected = 250;
            run.filtered = 12;
            run.newestEventTime = 1699999990;
            for (const char* log : {"Security", "System", "Application"})
                for (std::int64_t n = 1; n <= 100; n += (n % 37 ? 1 : 3)) run.recordNumbers[log].push_back(n);
            noteHostRunEnded(i, id, run, 1700000001);
        }
        shown = TakeStatusSnapshot(1700000005);
        for (char letter : {'C', 'D'}) {
            DriveStatus d;
            d.letter = letter;
            d.journalId = 0x01D9A1B2C3D4E5F6ULL;
            d.readUsn = 123456789;
            d.nextUsn = 123460000;
            d.itemsWatched = 250000;
            shown.drives.push_back(d);
        }
    }
    ~Install() {
        initHostCache();
        fs::remove_all(dir);
    }
};

Install& install() {
    static Install i;
    return i;
}

// The files as the agent writes them, without taking the figures.
void bareWrite(const fs::path& path, const std::string& text) {
    const fs::path aside = path.string() + ".new";
    std::FILE* f = std::fopen(aside.c_str(), "wb");
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    fs::rename(aside, path);
}

double g_bareSeconds = 0;

void BM_BareWrite(benchmark::State& state) {
    Install& in = install();
    const std::string status = StatusFileText(in.shown);
    const std::string metrics = MetricsText(in.shown);
    const double begin = cpuSeconds();
    for (auto _ : state) {
        bareWrite(in.dir / "logs" / "status.json", status);
        bareWrite(in.dir / "ambrik.prom", metrics);
    }
    g_bareSeconds = (cpuSeconds() - begin) / static_cast<double>(state.iterations());
    state.counters["bytes"] = static_cast<double>(status.size() + metrics.size());
}

void BM_StatusWrite(benchmark::State& state) {
    Install& in = install();
    const double begin = cpuSeconds();
    for (auto _ : state) benchmark::DoNotOptimize(WriteStatusFile(&in.shown));
    const double seconds = (cpuSeconds() - begin) / static_cast<double>(state.iterations());
    state.counters["core_percent"] = seconds / 10.0 * 100.0;
    if (g_bareSeconds > 0) state.counters["bare_ratio"] = seconds / g_bareSeconds;
}

}  // namespace

BENCHMARK(BM_BareWrite)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StatusWrite)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
