// buildBaseDataSet over 100000 small files, checksums on: items per second and the peak
// resident memory of the whole build (collection, batched insertion, export
// to the data files). The server is down, so nothing is uploaded; the files
// stay in the scratch folder's data/basedata/. Then the update poll's
// lateness while a base build hashes a 4 GiB file, on the poll's thread and
// on the file worker.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <mutex>

#include "agent/fim/attribute_sets.h"
#include "agent/fim/file_attributes.h"
#include "agent/fim/file_worker.h"
#include "agent/fim/fim_datasets.h"
#include "agent/fim/fim_locks.h"
#include "agent/fim/monitor_config.h"
#include "agent/server/http_client.h"
#include "agent/settings/settings.h"
#include "agent/store/event_store.h"
#include "bench/fim/bench_support.h"
#include "common/log.h"
#include "platform/clock.h"
#include "platform/wmi.h"

namespace {

using namespace fimbench;

// The agent's state for a base build of `tree` in the scratch folder `root`:
// its working directory, the event store, checksums on, the server down (the
// data set stays in data/basedata/), the log to /dev/null; undone and the
// folder removed at the end.
class BaseBuildScene {
public:
    BaseBuildScene(const fs::path& root, const fs::path& tree) : root_(root), previous_(fs::current_path()) {
        fs::create_directories(root / "data/basedata");
        fs::current_path(root);
        platform::wmi::setHostsRoot((root / "wmi-hosts").string());
        SetLogInfo("bench.log", ".", 10000, nullptr, 1);  // errors only
        SetLogFilePtr(sink_);
        openEventStore();
        createEventTables();
        SetAgentId(1);
        SetServerStatus(2);
        setChecksumSwitch();
        std::lock_guard<std::recursive_mutex> lock(rulesLock());
        monitorRules().monitorDirs.insert(windowsPathOf(tree));
        monitorRules().locations.emplace(windowsPathOf(tree), LocationIds{1, 0});
    }
    ~BaseBuildScene() {
        closeEventStore();
        ReplaceLogStream(nullptr);
        std::fclose(sink_);
        fs::current_path(previous_);
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    BaseBuildScene(const BaseBuildScene&) = delete;
    BaseBuildScene& operator=(const BaseBuildScene&) = delete;

private:
    fs::path root_, previous_;
    std::FILE* sink_ = std::fopen("/dev/null", "w");
};

long peakResidentKiB() {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void BM_BuildBaseDataSet(benchmark::State& state) {
    const int files = static_cast<int>(state.range(0));
    const fs::path root = scratchFolder("fim-bench-base");
    const fs::path tree = root / "tree";
    for (int d = 0; d < files / 100; ++d) {
        const fs::path folder = tree / ("d" + std::to_string(d));
        fs::create_directories(folder);
        for (int f = 0; f < 100; ++f) std::ofstream(folder / ("f" + std::to_string(f) + ".txt")) << "small " << f;
    }
    BaseBuildScene scene(root, tree);
    const long before = peakResidentKiB();
    for (auto _ : state) buildBaseDataSet();
    state.SetItemsProcessed(state.iterations() * (files + files / 100 + 1));
    state.counters["peak_rss_MiB"] = static_cast<double>(peakResidentKiB()) / 1024.0;
    state.counters["rss_before_MiB"] = static_cast<double>(before) / 1024.0;
}
BENCHMARK(BM_BuildBaseDataSet)->Arg(100000)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// The update poll's lateness while the start-up base build hashes a 4 GiB
// sparse file (checksums on). The poll thread plays RunAgent: it asks for the
// base build, then polls every `period` (taking rulesLock, as the update
// handling does) until the build has ended. A poll is due one period after
// the one before (the first one after the request); the figure is the worst
// lateness of a poll.
// Baseline: the thread runs the build itself before its first poll, as
// start-up did; then the build handed to the file worker, in the same run.
std::int64_t worstPollLateness(bool handOver, std::int64_t periodMillis) {
    std::atomic<bool> built{false};
    const std::int64_t start = platform::nowMillis();
    if (handOver) {
        startFileWorker();
        handOverFileJob(FileJob::Base, [&] {
            buildBaseDataSet();
            built = true;
        });
    } else {
        buildBaseDataSet();
        built = true;
    }
    // RunAgent's loop: a period's wait, then the poll.
    std::int64_t worst = 0;
    std::int64_t last = start;
    do {
        platform::sleepMillis(periodMillis);
        { std::lock_guard<std::recursive_mutex> lock(rulesLock()); }
        const std::int64_t now = platform::nowMillis();
        worst = std::max(worst, now - last - periodMillis);
        last = now;
    } while (!built);
    if (handOver) {
        stopFileWorker(-1);
        resetFileWorkerForTests();
    }
    return worst;
}

void BM_UpdatePollWhileHashing(benchmark::State& state) {
    const std::int64_t periodMillis = state.range(0);
    const fs::path root = scratchFolder("fim-bench-poll");
    const fs::path tree = root / "tree";
    fs::create_directories(tree);
    std::ofstream(tree / "huge.bin").close();
    if (truncate((tree / "huge.bin").c_str(), 4LL << 30) != 0) {
        state.SkipWithError("the file system refuses a 4 GiB sparse file");
        return;
    }
    BaseBuildScene scene(root, tree);
    std::int64_t before = 0, after = 0;
    for (auto _ : state) {
        before = worstPollLateness(false, periodMillis);
        after = worstPollLateness(true, periodMillis);
    }
    state.counters["late_inline_ms"] = static_cast<double>(before);
    state.counters["late_worker_ms"] = static_cast<double>(after);
    state.counters["ratio"] = static_cast<double>(before) / static_cast<double>(std::max<std::int64_t>(after, 1));
}
// A period of one second: the one-minute poll on a clock sixty times faster.
BENCHMARK(BM_UpdatePollWhileHashing)->Arg(1000)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
