// A real volume monitor over the POSIX change journal, in this process:
//  - close to ChangeList: a file in a watched folder is written and closed,
//    then the time until its change is in the ChangeList, against the time
//    until the journal itself returns the file's closed record to a reader
//    that waits for records (same files, same run). The monitor polls its
//    journal and sleeps 500 ms before it reads, as designed, so about 0.5 to
//    1.5 s is expected; the ratio shows what those sleeps cost;
//  - the resident memory a monitor adds for a volume of 100000 directories
//    (directory map, journal catalogue and watcher), and its start-up time.
// As root the volume is a tmpfs of its own and the fanotify watcher runs.
//
//   build/bench/fim_changes/fim_monitor_bench
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "bench/support/resident_memory.h"
#include "agent/fim/change_detect.h"
#include "agent/fim/change_store.h"
#include "agent/fim/monitor_config.h"
#include "agent/fim/volume_monitor.h"
#include "agent/server/http_client.h"
#include "agent/settings/settings.h"
#include "agent/store/event_store.h"
#include "common/log.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/volumes.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(p * static_cast<double>(values.size())))];
}

using bench_support::residentKiB;

// The agent's working folder with its data folders and store, drive C
// mapped to a folder of its own (a tmpfs as root), the rules watching
// c:\watched, and the log sent nowhere.
struct AgentScratch {
    fs::path root, volume, previous = fs::current_path();
    bool mounted = false;
    AgentScratch() {
        std::string pattern = "/tmp/ambrik-monitor-bench-XXXXXX";
        if (!mkdtemp(pattern.data())) std::abort();
        root = pattern;
        if (geteuid() == 0 && mount("ambrik-bench", root.c_str(), "tmpfs", 0, "size=2g,mode=0700") == 0) mounted = true;
        volume = root / "vol";
        for (const char* sub : {"data/changedata", "data/basedata", "data/periodicdata", "data/newdata"})
            fs::create_directories(root / "agent" / sub);
        fs::create_directories(volume / "watched");
        fs::current_path(root / "agent");
        static std::FILE* sink = std::fopen("/dev/null", "w");
        SetLogInfo("bench.log", ".", 10000, nullptr, 3);
        SetLogFilePtr(sink);
        setenv("ORBISK_REGISTRY", (root / "registry.reg").c_str(), 1);
        platform::RegistryKey key(nullptr, nullptr);
        bool created = false;
        platform::regCreateKey(platform::RegistryRoot::LocalMachine, platform::kVolumesKey, &key, &created);
        platform::regSetValue(key, "C", platform::kRegSz, volume.string());
        platform::regSetValue(key, "JournalDir", platform::kRegSz, (root / "journal").string() + "/");
        openEventStore();
        createEventTables();
        SetAgentId(42);
        SetServerStatus(kServerDown);  // nothing is sent at the stop
        std::lock_guard lock(rulesLock());
        MonitorRules& rules = monitorRules();
        rules.monitorDirs.insert("c:\\watched");
        rules.locations.emplace("c:\\watched", LocationIds{1, 0});
        rules.drives.insert("C");
    }
    ~AgentScratch() {
        stopAllMonitors();
        resetMonitorRulesForTests();
        resetChangeListsForTests();
        closeEventStore();
        fs::current_path(previous);
        unsetenv("ORBISK_REGISTRY");
        std::error_code ec;
        if (mounted) umount2(root.c_str(), MNT_DETACH);
        fs::remove_all(root, ec);
    }
    // Starts the monitor of drive C and waits until it reads its journal.
    void startMonitor() {
        startDriveMonitor('C');
        for (;;) {
            const auto monitors = runningMonitors();
            if (!monitors.empty() && monitors.front()->ready) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
};

std::string lowered(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool inChangeList(const std::string& path) {
    std::lock_guard lock(changeListLock());
    for (const ChangeRecord& record : changeList())
        if (lowered(record.path) == path) return true;
    return false;
}

// Reads the journal with waits for records and notes when each file's
// closed record was returned.
class JournalReader {
public:
    JournalReader() {
        if (platform::openVolume("\\\\.\\C:", &handle_) != 0) std::abort();
        platform::UsnJournalData data{};
        platform::queryUsnJournal(handle_, &data);
        in_ = {data.NextUsn, 0xFFFFFFFF, 1, 1, 1, data.UsnJournalID};
        thread_ = std::thread([this] { run(); });
    }
    ~JournalReader() {
        stop_ = true;
        thread_.join();
    }
    Clock::time_point closeTimeOf(const std::string& name) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return seen_.count(name) != 0; });
        return seen_[name];
    }

private:
    void run() {
        std::vector<std::uint8_t> buffer(64 * 1024);
        while (!stop_) {
            std::uint32_t got = 0;
            if (platform::readUsnJournal(handle_, in_, buffer.data(), static_cast<std::uint32_t>(buffer.size()), &got) !=
                0)
                return;
            const Clock::time_point now = Clock::now();
            std::span<const std::uint8_t> out(buffer.data(), got);
            std::lock_guard<std::mutex> lock(mutex_);
            for (const auto& r : platform::decodeUsnOutput(out)) seen_.emplace(platform::utf16ToUtf8(r.FileName), now);
            in_.StartUsn = static_cast<std::int64_t>(platform::usnOutputHeader(out));
            changed_.notify_all();
        }
    }

    platform::VolumeHandle handle_;
    platform::ReadUsnJournalData in_{};
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, Clock::time_point> seen_;
};

void BM_CloseToChangeList(benchmark::State& state) {
    constexpr int kFiles = 40;
    AgentScratch scratch;
    scratch.startMonitor();
    JournalReader journal;
    std::vector<double> monitorMs, journalMs;
    for (auto _ : state) {
        std::mt19937 random(11);
        for (int i = 0; i < kFiles; ++i) {
            // A random pause, so the changes fall anywhere in the monitor's
            // poll period rather than just after its last read.
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 500));
            const std::string name = "l" + std::to_string(i);
            const int fd = ::open((scratch.volume / "watched" / name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || ::write(fd, "0123456789", 10) != 10) std::abort();
            const Clock::time_point closed = Clock::now();
            ::close(fd);
            const std::string path = "c:\\watched\\" + name;
            while (!inChangeList(path)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            monitorMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - closed).count());
            journalMs.push_back(std::chrono::duration<double, std::milli>(journal.closeTimeOf(name) - closed).count());
        }
    }
    state.counters["changelist_p50_ms"] = percentile(monitorMs, 0.5);
    state.counters["changelist_p99_ms"] = percentile(monitorMs, 0.99);
    state.counters["journal_p50_ms"] = percentile(journalMs, 0.5);
    state.counters["journal_p99_ms"] = percentile(journalMs, 0.99);
    state.counters["p50_ratio_to_journal"] = percentile(monitorMs, 0.5) / std::max(1e-6, percentile(journalMs, 0.5));
}
BENCHMARK(BM_CloseToChangeList)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MonitorOf100000Directories(benchmark::State& state) {
    AgentScratch scratch;
    for (int d = 0; d < 100; ++d)
        for (int e = 0; e < 999; ++e)
            fs::create_directories(scratch.volume / "watched" / ("d" + std::to_string(d)) / ("e" + std::to_string(e)));
    for (auto _ : state) {
        malloc_trim(0);
        const long before = residentKiB();
        const Clock::time_point start = Clock::now();
        scratch.startMonitor();
        state.counters["start_ms"] = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        state.counters["resident_mib_added"] = static_cast<double>(residentKiB() - before) / 1024;
    }
    std::error_code ec;
    state.counters["backup_mib"] = static_cast<double>(fs::file_size(backupFilePath('C'), ec)) / (1 << 20);
    state.counters["catalogue_mib"] = static_cast<double>(fs::file_size(scratch.root / "journal" / "C.items", ec)) / (1 << 20);
}
BENCHMARK(BM_MonitorOf100000Directories)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
