// The POSIX change journal against the bare kernel watcher it is built on,
// measured side by side in one run, once with inotify and (as root) once
// with fanotify:
//  - close to record: a file is written and closed, then the time until its
//    closed record can be read, against the time until a bare watcher on
//    the same folder has read the file's close event (same files, same run);
//  - sustained rate: 20000 files created, written and closed, then deleted;
//    closed changes per second into the journal (every one counted) against
//    the events per second a bare watcher reads from the same burst;
//  - reopen after downtime: a tree of 100000 items with 1000 files changed
//    while no handle was open; the open that walks it and appends the
//    changes, against `find DIR -printf '%i %s %T@\n' > /dev/null`; with the
//    journal's disk size and the resident memory the open volume adds.
//
//   build/bench/platform/platform_journal_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/fanotify.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/journal.h"
#include "platform/posix/journal_volume.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/volumes.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double secondsBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t at = std::min(values.size() - 1, static_cast<std::size_t>(p * static_cast<double>(values.size())));
    return values[at];
}

void writeSmallFile(const std::string& path, const char* text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) std::abort();
    if (::write(fd, text, std::strlen(text)) < 0) std::abort();
    ::close(fd);
}

long residentKiB() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

// Drive C mapped to a scratch folder, the journals beside it, through a
// registry file of the benchmark's own; `watcher` picks the kernel watcher.
struct Scratch {
    fs::path root, volume, journals;
    bool mounted = false;
    Scratch(const char* name, const std::string& watcher) {
        std::string pattern = std::string("/tmp/ambrik-") + name + "-XXXXXX";
        if (!mkdtemp(pattern.data())) std::abort();
        root = pattern;
        // As root the volume is a tmpfs of its own: the other work of the
        // machine stays out of the figures (and out of a file-system mark).
        if (geteuid() == 0 && mount("ambrik-bench", root.c_str(), "tmpfs", 0, "size=4g,mode=0700") == 0) mounted = true;
        volume = root / "vol";
        journals = root / "journal";
        fs::create_directories(volume);
        setenv("ORBISK_REGISTRY", (root / "registry.reg").c_str(), 1);
        if (watcher == "inotify") setenv("AMBRIK_JOURNAL_WATCHER", "inotify", 1);
        else unsetenv("AMBRIK_JOURNAL_WATCHER");
        platform::RegistryKey key(nullptr, nullptr);
        bool created = false;
        platform::regCreateKey(platform::RegistryRoot::LocalMachine, platform::kVolumesKey, &key, &created);
        platform::regSetValue(key, "C", platform::kRegSz, volume.string());
        platform::regSetValue(key, "JournalDir", platform::kRegSz, journals.string() + "/");
    }
    ~Scratch() {
        std::error_code ec;
        if (mounted) umount2(root.c_str(), MNT_DETACH);
        fs::remove_all(root, ec);
        unsetenv("ORBISK_REGISTRY");
        unsetenv("AMBRIK_JOURNAL_WATCHER");
    }
    platform::VolumeHandle open(std::uint64_t maximumSize = 64ull << 20) const {
        platform::VolumeHandle h;
        if (platform::openVolume("\\\\.\\C:", &h) != 0) std::abort();
        platform::UsnJournalData data{};
        if (platform::queryUsnJournal(h, &data) != 0 && platform::createUsnJournal(h, {maximumSize, 8ull << 20}) != 0)
            std::abort();
        return h;
    }
};

std::uint64_t journalId(const platform::VolumeHandle& h) {
    platform::UsnJournalData data{};
    platform::queryUsnJournal(h, &data);
    return data.UsnJournalID;
}

std::int64_t nextUsn(const platform::VolumeHandle& h) {
    platform::UsnJournalData data{};
    platform::queryUsnJournal(h, &data);
    return data.NextUsn;
}

// The bare kernel watcher on one folder, read by a thread of its own: the
// time each file's close event was read, and how many creations, closes and
// deletions it has read.
class BareWatcher {
public:
    // With `paused`, nothing is read before go(): the events wait in the kernel.
    BareWatcher(const std::string& kind, const fs::path& folder, bool paused = false)
        : fanotify_(kind == "fanotify"), paused_(paused) {
        if (fanotify_) {
            fd_ = fanotify_init(FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_NONBLOCK | FAN_REPORT_DFID_NAME |
                                    FAN_UNLIMITED_QUEUE,
                                O_RDONLY | O_LARGEFILE | O_CLOEXEC);
            if (fd_ < 0 || fanotify_mark(fd_, FAN_MARK_ADD | FAN_MARK_FILESYSTEM,
                                         FAN_CREATE | FAN_DELETE | FAN_RENAME | FAN_MODIFY | FAN_ATTRIB |
                                             FAN_CLOSE_WRITE | FAN_ONDIR,
                                         AT_FDCWD, folder.c_str()) != 0)
                std::abort();
            // The folder's handle: events of other folders are left out.
            std::vector<char> space(sizeof(file_handle) + MAX_HANDLE_SZ);
            auto* handle = reinterpret_cast<file_handle*>(space.data());
            handle->handle_bytes = MAX_HANDLE_SZ;
            int mount = 0;
            if (name_to_handle_at(AT_FDCWD, folder.c_str(), handle, &mount, 0) != 0) std::abort();
            folderHandle_.assign(reinterpret_cast<const char*>(handle->f_handle), handle->handle_bytes);
        } else {
            fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
            if (fd_ < 0 || inotify_add_watch(fd_, folder.c_str(),
                                             IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY |
                                                 IN_ATTRIB | IN_CLOSE_WRITE | IN_EXCL_UNLINK | IN_ONLYDIR) < 0)
                std::abort();
        }
        wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        thread_ = std::thread([this] { run(); });
    }
    ~BareWatcher() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
            changed_.notify_all();
        }
        const std::uint64_t one = 1;
        if (::write(wake_, &one, sizeof one) < 0) std::abort();
        thread_.join();
        ::close(fd_);
        ::close(wake_);
    }
    // Waits until the close of `name` has been read; its time.
    Clock::time_point closeTimeOf(const std::string& name) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return closes_.count(name) != 0; });
        return closes_[name];
    }
    // Waits until `closes` closes and `deletes` deletions have been read; when the last came.
    Clock::time_point waitForCounts(std::size_t closes, std::size_t deletes) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return closeCount_ >= closes && deleteCount_ >= deletes; });
        return last_;
    }
    void go() {
        std::lock_guard<std::mutex> lock(mutex_);
        paused_ = false;
        changed_.notify_all();
    }
    void reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        closes_.clear();
        closeCount_ = deleteCount_ = 0;
    }
    std::size_t events() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }

private:
    void run() {
        alignas(8) char buffer[256 * 1024];
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] { return !paused_ || stop_; });
        }
        while (!stop_) {
            pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) continue;
            for (;;) {
                const ssize_t n = ::read(fd_, buffer, sizeof buffer);
                if (n <= 0) break;
                const Clock::time_point now = Clock::now();
                std::lock_guard<std::mutex> lock(mutex_);
                if (fanotify_) parseFanotify(buffer, static_cast<std::size_t>(n), now);
                else parseInotify(buffer, static_cast<std::size_t>(n), now);
                last_ = now;
                changed_.notify_all();
            }
        }
    }
    void count(std::uint64_t closeBit, std::uint64_t deleteBit, std::uint64_t mask, const std::string& name,
               Clock::time_point now) {
        ++events_;
        if (mask & closeBit) {
            ++closeCount_;
            closes_.emplace(name, now);
        }
        if (mask & deleteBit) ++deleteCount_;
    }
    void parseInotify(const char* buffer, std::size_t size, Clock::time_point now) {
        for (std::size_t at = 0; at + sizeof(inotify_event) <= size;) {
            inotify_event ev;
            std::memcpy(&ev, buffer + at, sizeof ev);
            const char* name = buffer + at + sizeof(inotify_event);
            count(IN_CLOSE_WRITE, IN_DELETE, ev.mask, ev.len ? std::string(name, strnlen(name, ev.len)) : "", now);
            at += sizeof(inotify_event) + ev.len;
        }
    }
    void parseFanotify(const char* buffer, std::size_t size, Clock::time_point now) {
        for (std::size_t at = 0; at + sizeof(fanotify_event_metadata) <= size;) {
            fanotify_event_metadata meta;
            std::memcpy(&meta, buffer + at, sizeof meta);
            if (meta.event_len < sizeof meta || at + meta.event_len > size) break;
            if (meta.fd >= 0) ::close(meta.fd);
            std::string name;
            bool ours = false;
            for (std::size_t info = at + meta.metadata_len; info + sizeof(fanotify_event_info_fid) <= at + meta.event_len;) {
                fanotify_event_info_fid fid;
                std::memcpy(&fid, buffer + info, sizeof fid);
                if (fid.hdr.len < sizeof fid) break;
                if (fid.hdr.info_type == FAN_EVENT_INFO_TYPE_DFID_NAME) {
                    file_handle handle;
                    std::memcpy(&handle, buffer + info + sizeof fid, sizeof handle);
                    const char* bytes = buffer + info + sizeof fid + sizeof handle;
                    ours = std::string(bytes, handle.handle_bytes) == folderHandle_;
                    const char* text = bytes + handle.handle_bytes;
                    name.assign(text, strnlen(text, buffer + info + fid.hdr.len - text));
                }
                info += fid.hdr.len;
            }
            if (ours) count(FAN_CLOSE_WRITE, FAN_DELETE, meta.mask, name, now);
            at += meta.event_len;
        }
    }

    bool fanotify_;
    bool paused_;
    int fd_ = -1;
    int wake_ = -1;
    std::string folderHandle_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, Clock::time_point> closes_;
    std::size_t closeCount_ = 0, deleteCount_ = 0, events_ = 0;
    Clock::time_point last_;
};

const char* watcherOf(const benchmark::State& state) { return state.range(0) == 0 ? "inotify" : "fanotify"; }

bool skipWithoutRoot(benchmark::State& state) {
    if (state.range(0) == 1 && geteuid() != 0) {
        state.SkipWithError("the fanotify watcher needs root");
        return true;
    }
    return false;
}

void BM_CloseToRecord(benchmark::State& state) {
    if (skipWithoutRoot(state)) return;
    constexpr int kFiles = 300;
    Scratch scratch("journal-latency", watcherOf(state));
    const fs::path folder = scratch.volume / "lat";
    fs::create_directories(folder);
    auto h = scratch.open();
    platform::flushVolumeWatcher(h);
    BareWatcher bare(watcherOf(state), folder);
    std::vector<double> journalMs, bareMs;
    std::vector<std::uint8_t> buffer(64 * 1024);
    int file = 0;
    for (auto _ : state) {
        for (int i = 0; i < kFiles; ++i, ++file) {
            const std::string name = "l" + std::to_string(file);
            std::int64_t start = nextUsn(h);
            const int fd = ::open((folder / name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0 || ::write(fd, "0123456789", 10) != 10) std::abort();
            // Both latencies run from just before the close: the event is
            // queued during close() and a watcher thread may read it at once.
            const Clock::time_point closed = Clock::now();
            ::close(fd);
            // A read that waits for records, as a reader that does not poll would.
            bool found = false;
            while (!found) {
                platform::ReadUsnJournalData in{start, 0xFFFFFFFF, 1, 5, 1, journalId(h)};
                std::uint32_t got = 0;
                if (platform::readUsnJournal(h, in, buffer.data(), static_cast<std::uint32_t>(buffer.size()), &got) !=
                    0)
                    std::abort();
                std::span<const std::uint8_t> out(buffer.data(), got);
                for (const auto& r : platform::decodeUsnOutput(out))
                    if ((r.Reason & platform::kUsnReasonClose) && platform::utf16ToUtf8(r.FileName) == name)
                        found = true;
                start = static_cast<std::int64_t>(platform::usnOutputHeader(out));
            }
            journalMs.push_back(1000 * secondsBetween(closed, Clock::now()));
            bareMs.push_back(1000 * secondsBetween(closed, bare.closeTimeOf(name)));
        }
    }
    state.counters["journal_p50_ms"] = percentile(journalMs, 0.5);
    state.counters["journal_p99_ms"] = percentile(journalMs, 0.99);
    state.counters["bare_p50_ms"] = percentile(bareMs, 0.5);
    state.counters["bare_p99_ms"] = percentile(bareMs, 0.99);
    state.counters["p50_ratio_to_bare"] = percentile(journalMs, 0.5) / std::max(1e-6, percentile(bareMs, 0.5));
    state.counters["p99_ratio_to_bare"] = percentile(journalMs, 0.99) / std::max(1e-6, percentile(bareMs, 0.99));
}
BENCHMARK(BM_CloseToRecord)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Counts the closed records from `mark` on that carry a reason of `reasons`.
std::size_t closedRecordsFrom(const platform::VolumeHandle& h, std::int64_t mark,
                              std::uint32_t reasons = 0xFFFFFFFF) {
    std::vector<std::uint8_t> buffer(1 << 20);
    std::size_t closed = 0;
    for (;;) {
        platform::ReadUsnJournalData in{mark, reasons, 1, 0, 0, journalId(h)};
        std::uint32_t got = 0;
        if (platform::readUsnJournal(h, in, buffer.data(), static_cast<std::uint32_t>(buffer.size()), &got) != 0 ||
            got <= 8)
            break;
        std::span<const std::uint8_t> out(buffer.data(), got);
        closed += platform::decodeUsnOutput(out).size();
        mark = static_cast<std::int64_t>(platform::usnOutputHeader(out));
    }
    return closed;
}

// Creates, writes and closes `files` files in `folder`, then deletes them.
void burst(const fs::path& folder, int files) {
    const std::string prefix = (folder / "f").string();
    for (int i = 0; i < files; ++i) writeSmallFile(prefix + std::to_string(i), "x");
    for (int i = 0; i < files; ++i)
        if (unlink((prefix + std::to_string(i)).c_str()) != 0) std::abort();
}

void BM_SustainedRate(benchmark::State& state) {
    if (skipWithoutRoot(state)) return;
    constexpr int kFiles = 20000;
    Scratch scratch("journal-rate", watcherOf(state));
    const fs::path folder = scratch.volume / "burst";
    fs::create_directories(folder);
    double journalSeconds = 0, bareSeconds = 0;
    std::size_t recorded = 0, bareEvents = 0;
    for (auto _ : state) {
        {
            // The bare watcher alone on the burst.
            BareWatcher bare(watcherOf(state), folder);
            const Clock::time_point start = Clock::now();
            burst(folder, kFiles);
            const Clock::time_point last = bare.waitForCounts(kFiles, kFiles);
            bareSeconds += secondsBetween(start, std::max(last, start));
            bareEvents += bare.events();
        }
        {
            // The journal alone on the same burst; every closed change counted.
            auto h = scratch.open();
            platform::flushVolumeWatcher(h);
            const std::int64_t mark = nextUsn(h);
            const Clock::time_point start = Clock::now();
            burst(folder, kFiles);
            platform::flushVolumeWatcher(h);
            journalSeconds += secondsBetween(start, Clock::now());
            const std::size_t closed = closedRecordsFrom(h, mark);
            recorded += closed;
            if (closed < 2u * kFiles) state.SkipWithError("the journal lost changes");
        }
    }
    const double changes = 2.0 * kFiles * static_cast<double>(state.iterations());
    state.counters["journal_changes_per_s"] = changes / journalSeconds;
    state.counters["bare_changes_per_s"] = changes / bareSeconds;
    state.counters["bare_events_per_s"] = static_cast<double>(bareEvents) / bareSeconds;
    state.counters["rate_ratio_to_bare"] = bareSeconds / journalSeconds;
    state.counters["closed_records"] = static_cast<double>(recorded) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_SustainedRate)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The rate at which queued events become closed records, free of the speed
// of the program making the changes: the burst is made while the journal's
// watcher (or the bare watcher) reads nothing, then the queue is drained.
// inotify's queue holds 16384 events, so its burst is 3500 files (four
// events each); fanotify's has no limit.
void BM_DrainQueuedBurst(benchmark::State& state) {
    if (skipWithoutRoot(state)) return;
    const int files = state.range(0) == 0 ? 3500 : 20000;
    Scratch scratch("journal-drain", watcherOf(state));
    const fs::path folder = scratch.volume / "burst";
    fs::create_directories(folder);
    double journalSeconds = 0, bareSeconds = 0;
    std::size_t recorded = 0;
    for (auto _ : state) {
        {
            BareWatcher bare(watcherOf(state), folder, true);
            burst(folder, files);
            const Clock::time_point start = Clock::now();
            bare.go();
            const Clock::time_point last = bare.waitForCounts(static_cast<std::size_t>(files), static_cast<std::size_t>(files));
            bareSeconds += secondsBetween(start, std::max(last, start));
        }
        {
            auto h = scratch.open();
            platform::flushVolumeWatcher(h);
            const std::int64_t mark = nextUsn(h);
            std::shared_ptr<platform::usnjournal::Volume> volume;
            if (platform::usnjournal::acquireVolume('C', &volume) != 0) std::abort();
            volume->holdWatcher(true, false);
            burst(folder, files);
            const Clock::time_point start = Clock::now();
            volume->holdWatcher(false, false);
            platform::flushVolumeWatcher(h);
            journalSeconds += secondsBetween(start, Clock::now());
            platform::usnjournal::releaseVolume(volume);
            const std::size_t closed = closedRecordsFrom(h, mark);
            recorded += closed;
            if (closed < 2u * static_cast<std::size_t>(files)) state.SkipWithError("the journal lost changes");
        }
    }
    const double changes = 2.0 * files * static_cast<double>(state.iterations());
    state.counters["journal_changes_per_s"] = changes / journalSeconds;
    state.counters["bare_changes_per_s"] = changes / bareSeconds;
    state.counters["rate_ratio_to_bare"] = bareSeconds / journalSeconds;
    state.counters["closed_records"] = static_cast<double>(recorded) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_DrainQueuedBurst)->Arg(0)->Arg(1)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

double runFind(const fs::path& dir) {
    std::string program = "find", path = dir.string(), printf = "-printf", format = "%i %s %T@\\n";
    std::vector<char*> argv{program.data(), path.data(), printf.data(), format.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const Clock::time_point start = Clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, "find", &actions, nullptr, argv.data(), environ) != 0) std::abort();
    int status = 0;
    waitpid(pid, &status, 0);
    posix_spawn_file_actions_destroy(&actions);
    return secondsBetween(start, Clock::now());
}

void BM_ReopenWalk(benchmark::State& state) {
    if (skipWithoutRoot(state)) return;
    constexpr int kFolders = 1000, kFilesPerFolder = 99;  // 100000 items with the folders
    constexpr int kChanged = 1000;
    Scratch scratch("journal-walk", watcherOf(state));
    std::vector<std::string> files;
    for (int d = 0; d < kFolders; ++d) {
        const fs::path folder = scratch.volume / ("d" + std::to_string(d));
        fs::create_directories(folder);
        for (int f = 0; f < kFilesPerFolder; ++f) {
            files.push_back((folder / ("f" + std::to_string(f))).string());
            writeSmallFile(files.back(), "content");
        }
    }
    std::int64_t mark = 0;
    {
        auto first = scratch.open();  // the catalogue of every item
        mark = nextUsn(first);
    }
    runFind(scratch.volume);          // a warm cache for both
    double walkSeconds = 0, findSeconds = 0;
    long residentAdded = 0;
    std::size_t appended = 0;
    int round = 0;
    for (auto _ : state) {
        ++round;
        for (int i = 0; i < kChanged; ++i) {
            std::ofstream(files[static_cast<std::size_t>(i) * files.size() / kChanged], std::ios::app) << round;
        }
        findSeconds += runFind(scratch.volume);
        malloc_trim(0);
        const long before = residentKiB();
        const Clock::time_point start = Clock::now();
        platform::VolumeHandle h;
        if (platform::openVolume("\\\\.\\C:", &h) != 0) std::abort();
        walkSeconds += secondsBetween(start, Clock::now());
        residentAdded += residentKiB() - before;
        // What the walk appended: one closed record per changed file.
        const std::size_t extended = closedRecordsFrom(h, mark, platform::kUsnReasonDataExtend);
        appended = extended;
        mark = nextUsn(h);
    }
    const double n = static_cast<double>(state.iterations());
    const double items = kFolders * (kFilesPerFolder + 1.0);
    state.counters["walk_ms"] = 1000 * walkSeconds / n;
    state.counters["find_ms"] = 1000 * findSeconds / n;
    state.counters["ratio_to_find"] = walkSeconds / findSeconds;
    state.counters["extend_records"] = static_cast<double>(appended);
    std::error_code ec;
    state.counters["journal_MiB_per_100k"] =
        static_cast<double>(fs::file_size(scratch.journals / "C.journal", ec)) / (1 << 20) * 100000 / items;
    state.counters["catalogue_MiB_per_100k"] =
        static_cast<double>(fs::file_size(scratch.journals / "C.items", ec)) / (1 << 20) * 100000 / items;
    state.counters["resident_MiB_per_100k"] = static_cast<double>(residentAdded) / n / 1024 * 100000 / items;
}
BENCHMARK(BM_ReopenWalk)->Arg(0)->Arg(1)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
