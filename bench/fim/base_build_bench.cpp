// buildBaseDataSet over 100000 small files, checksums on: items per second and the peak
// resident memory of the whole build (collection, batched insertion, export
// to the data files). The server is down, so nothing is uploaded; the files
// stay in the scratch folder's data/basedata/.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <mutex>

#include "agent/fim/attribute_sets.h"
#include "agent/fim/file_attributes.h"
#include "agent/fim/fim_datasets.h"
#include "agent/fim/fim_locks.h"
#include "agent/fim/monitor_config.h"
#include "agent/server/http_client.h"
#include "agent/settings/settings.h"
#include "agent/store/event_store.h"
#include "bench/fim/bench_support.h"
#include "common/log.h"
#include "platform/wmi.h"

namespace {

using namespace fimbench;

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
    fs::create_directories(root / "data/basedata");
    const fs::path previous = fs::current_path();
    fs::current_path(root);
    platform::wmi::setHostsRoot((root / "wmi-hosts").string());
    std::FILE* sink = std::fopen("/dev/null", "w");
    SetLogInfo("bench.log", ".", 10000, nullptr, 1);  // errors only
    SetLogFilePtr(sink);
    openEventStore();
    createEventTables();
    SetAgentId(1);
    SetServerStatus(2);
    setChecksumSwitch();
    {
        std::lock_guard<std::recursive_mutex> lock(rulesLock());
        monitorRules().monitorDirs.insert(windowsPathOf(tree));
        monitorRules().locations.emplace(windowsPathOf(tree), LocationIds{1, 0});
    }
    const long before = peakResidentKiB();
    for (auto _ : state) buildBaseDataSet();
    state.SetItemsProcessed(state.iterations() * (files + files / 100 + 1));
    state.counters["peak_rss_MiB"] = static_cast<double>(peakResidentKiB()) / 1024.0;
    state.counters["rss_before_MiB"] = static_cast<double>(before) / 1024.0;
    closeEventStore();
    ReplaceLogStream(nullptr);
    std::fclose(sink);
    fs::current_path(previous);
    std::error_code ec;
    fs::remove_all(root, ec);
}
BENCHMARK(BM_BuildBaseDataSet)->Arg(100000)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
