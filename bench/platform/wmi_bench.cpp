// Reading EVTX logs through the simulated WMI hosts, against evtxexport.
//
// The sample logs are dropped into one host folder twice over (more than
// 10000 allocated records), read as Win32_NTLogEvent objects with every
// property taken through Get, and exported by evtxexport one file after the
// other, in the same run. evtxexport pays a process start per file; its cost
// is measured by itself (evtxexport -V) so the ratio can be given both ways.
// The poll the agent repeats, events newer than one second before the newest,
// is measured beside the full read: with nothing new it reads only the
// records of that second.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/wmi.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace platform::wmi;

const char* kProperties[] = {"Category",  "CategoryString", "ComputerName", "Data",         "EventCode",
                             "EventIdentifier", "EventType", "InsertionStrings", "Logfile",  "Message",
                             "RecordNumber", "SourceName", "TimeGenerated", "TimeWritten", "Type", "User"};

struct Fixture {
    fs::path root;
    std::vector<std::string> files;  // the host folder's logs, in name order
    Fixture() {
        char pattern[] = "/tmp/ambrik-wmi-bench-XXXXXX";
        if (!mkdtemp(pattern)) std::abort();
        root = pattern;
        fs::create_directories(root / "bench");
        std::vector<fs::path> samples;
        for (const auto& entry : fs::recursive_directory_iterator(std::string(AMBRIK_SHARED_DATA_DIR) + "/evtx"))
            if (entry.path().extension() == ".evtx") samples.push_back(entry.path());
        std::sort(samples.begin(), samples.end());
        int n = 0;
        for (int copy = 0; copy < 2; ++copy) {
            for (const auto& sample : samples) {
                char name[32];
                std::snprintf(name, sizeof name, "log%03d.evtx", n++);
                fs::create_symlink(sample, root / "bench" / name);
                files.push_back((root / "bench" / name).string());
            }
        }
        setHostsRoot(root.string());
        setDiagnosticSink(nullptr);  // the damaged samples are reported once per read
        initializeCom();
    }
    ~Fixture() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

// Reads every object of the query, taking each property; the object count.
std::int64_t readAll(const std::string& wql) {
    LocatorPtr locator;
    createLocator(locator);
    ServicesPtr services;
    if (locator->connectServer("//bench/root/cimv2", "", "", "", 0, services) != 0) return -1;
    EnumeratorPtr enumerator;
    services->execQuery("WQL", wql, 48, enumerator);
    ObjectPtr object;
    std::int64_t count = 0;
    while (enumerator->next(500, object) == WBEM_S_NO_ERROR) {
        for (const char* p : kProperties) {
            Variant v;
            object->get(p, v);
            benchmark::DoNotOptimize(v);
        }
        ++count;
    }
    return count;
}

// The query for events newer than one second before the newest of the host.
std::string pollQuery() {
    LocatorPtr locator;
    createLocator(locator);
    ServicesPtr services;
    locator->connectServer("//bench/root/cimv2", "", "", "", 0, services);
    EnumeratorPtr enumerator;
    services->execQuery("WQL", "Select * from Win32_NTLogEvent", 48, enumerator);
    std::string newest;
    ObjectPtr object;
    while (enumerator && enumerator->next(500, object) == WBEM_S_NO_ERROR) {
        Variant v;
        object->get("TimeGenerated", v);
        if (v.text.size() >= 25 && v.text > newest) newest = v.text;
    }
    if (newest.empty()) return "";
    std::tm t{};
    if (!strptime(newest.substr(0, 14).c_str(), "%Y%m%d%H%M%S", &t)) return "";
    const time_t before = timegm(&t) - 1;
    gmtime_r(&before, &t);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &t);
    return "Select * from Win32_NTLogEvent where TimeGenerated > '" + std::string(text) + newest.substr(14) + "'";
}

void BM_SimulatedHostEvtxPoll(benchmark::State& state) {
    fixture();
    static const std::string wql = pollQuery();
    if (wql.empty()) {
        state.SkipWithError("no newest event");
        return;
    }
    readAll(wql);  // the first read of each file leaves what the next ones use
    std::int64_t objects = 0;
    for (auto _ : state) objects = readAll(wql);
    state.counters["records"] = static_cast<double>(objects);
}

void BM_SimulatedHostEvtx(benchmark::State& state) {
    fixture();
    std::int64_t objects = 0;
    for (auto _ : state) {
        objects = readAll("Select * from Win32_NTLogEvent");
        if (objects < 0) {
            state.SkipWithError("connect failed");
            return;
        }
    }
    state.counters["records"] = static_cast<double>(objects);
    state.SetItemsProcessed(state.iterations() * objects);
}

int run(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    int status = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) waitpid(pid, &status, 0);
    posix_spawn_file_actions_destroy(&actions);
    return status;
}

double childCpuMillis() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

void BM_EvtxExport(benchmark::State& state) {
    Fixture& f = fixture();
    const bool startOnly = state.range(0) == 1;
    const double before = childCpuMillis();
    for (auto _ : state) {
        for (const auto& file : f.files) {
            if (startOnly)
                run({"evtxexport", "-V"});
            else
                run({"evtxexport", file});
        }
    }
    // The children's processor time: on a shared machine it says more than
    // the wall clock.
    state.counters["child_cpu_ms"] =
        benchmark::Counter(childCpuMillis() - before, benchmark::Counter::kAvgIterations);
}

BENCHMARK(BM_SimulatedHostEvtx)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);
BENCHMARK(BM_SimulatedHostEvtxPoll)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1);
BENCHMARK(BM_EvtxExport)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);
BENCHMARK(BM_EvtxExport)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

// Keeps each benchmark's real time per iteration to report the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.run_type != Run::RT_Iteration) continue;
            const std::string name = r.benchmark_name();
            times[name] = r.GetAdjustedRealTime();
            cpu[name] = r.GetAdjustedCPUTime();
            const auto child = r.counters.find("child_cpu_ms");
            if (child != r.counters.end()) cpu[name] = child->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;  // wall, ms per iteration
    std::map<std::string, double> cpu;    // processor time, ms per iteration (children for evtxexport)
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto find = [](const std::map<std::string, double>& m, const char* prefix) {
        for (const auto& [name, t] : m)
            if (name.rfind(prefix, 0) == 0) return t;
        return 0.0;
    };
    const double ours = find(reporter.times, "BM_SimulatedHostEvtx/");
    const double exportTime = find(reporter.times, "BM_EvtxExport/0");
    const double starts = find(reporter.times, "BM_EvtxExport/1");
    const double oursCpu = find(reporter.cpu, "BM_SimulatedHostEvtx/");
    const double pollCpu = find(reporter.cpu, "BM_SimulatedHostEvtxPoll");
    const double exportCpu = find(reporter.cpu, "BM_EvtxExport/0");
    const double startsCpu = find(reporter.cpu, "BM_EvtxExport/1");
    if (ours > 0 && exportTime > 0) {
        std::printf("\n%zu EVTX files. Wall: simulated host %.1f ms, evtxexport %.1f ms (process starts "
                    "%.1f ms)\n",
                    fixture().files.size(), ours, exportTime, starts);
        std::printf("Processor: simulated host %.1f ms, evtxexport %.1f ms (process starts %.1f ms)\n",
                    oursCpu, exportCpu, startsCpu);
        std::printf("ratio ours / evtxexport, wall: %.2f, processor: %.2f\n", ours / exportTime,
                    exportCpu > 0 ? oursCpu / exportCpu : 0.0);
        if (pollCpu > 0)
            std::printf("poll for events newer than one second before the newest, processor: %.3f ms, "
                        "%.4f of a full read\n",
                        pollCpu, oursCpu > 0 ? pollCpu / oursCpu : 0.0);
        if (exportTime > starts && exportCpu > startsCpu)
            std::printf("the same without evtxexport's process starts, wall: %.2f, processor: %.2f\n",
                        ours / (exportTime - starts), oursCpu / (exportCpu - startsCpu));
    }
    benchmark::Shutdown();
    return 0;
}
