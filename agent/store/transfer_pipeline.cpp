#include "agent/store/transfer_pipeline.h"

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

#include "agent/server/http_client.h"
#include "agent/server/protocol.h"
#include "agent/settings/settings.h"
#include "agent/store/zip_directory.h"
#include "common/log.h"
#include "common/threads.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/private_files.h"

namespace {

struct Batch {
    DataSet set;
    std::function<BatchResult()> send;
};

struct Pipeline {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Batch> queue;
    std::array<DataSetTransferState, kDataSetCount> states;
    std::array<int, kDataSetCount> waitingBatches{};
    // Held by a folder data set's batch while it runs and by its staging, so
    // no file is moved while the worker zips and deletes.
    std::array<std::mutex, kDataSetCount> stagingLocks;
    bool workerRunning = false;
    bool stopping = false;
    ThreadHandle thread;
};

Pipeline& pipeline() {
    static Pipeline* p = new Pipeline;  // lives until the process ends, as the worker does
    return *p;
}

DataSetTransferState& stateOf(Pipeline& p, DataSet set) { return p.states[static_cast<std::size_t>(set)]; }

bool anyRunning(const Pipeline& p) {
    for (const DataSetTransferState& s : p.states)
        if (s.running) return true;
    return false;
}

void runBatch(Batch& batch) {
    Pipeline& p = pipeline();
    {
        std::lock_guard lock(p.mutex);
        DataSetTransferState& s = stateOf(p, batch.set);
        int& waiting = p.waitingBatches[static_cast<std::size_t>(batch.set)];
        waiting = waiting > 0 ? waiting - 1 : 0;
        s.waiting = waiting > 0;
        s.running = true;
        s.lastAttempt = platform::nowSeconds();
    }
    const BatchResult result = batch.send();
    std::lock_guard lock(p.mutex);
    DataSetTransferState& s = stateOf(p, batch.set);
    s.running = false;
    if (result == BatchResult::Uploaded) {
        s.lastResult = 0;
        s.lastSuccess = platform::nowSeconds();
        s.consecutiveFailures = 0;
    } else if (result == BatchResult::Failed) {
        s.lastResult = 1;
        ++s.consecutiveFailures;
    }
    p.changed.notify_all();
}

void workerLoop() {
    Pipeline& p = pipeline();
    for (;;) {
        Batch batch;
        {
            std::unique_lock lock(p.mutex);
            platform::waitFor(lock, p.changed, -1, [&] { return p.stopping || !p.queue.empty(); });
            if (p.stopping) break;
            batch = std::move(p.queue.front());
            p.queue.pop_front();
        }
        runBatch(batch);
    }
    std::lock_guard lock(p.mutex);
    p.workerRunning = false;
    p.changed.notify_all();
}

// Whether a new batch of the data set would only repeat one that waits at
// the end of the queue (it takes the newer data too), or two wait already.
// The caller holds the pipeline's mutex.
bool coalesced(const Pipeline& p, DataSet set) {
    if (p.waitingBatches[static_cast<std::size_t>(set)] >= 2) return true;
    if (!p.workerRunning || p.stopping) return false;
    return !p.queue.empty() && p.queue.back().set == set;
}

// Queues a batch, or runs it here when no worker runs; false when it was
// coalesced with one that waits.
bool queueBatch(Batch batch) {
    Pipeline& p = pipeline();
    {
        std::lock_guard lock(p.mutex);
        if (coalesced(p, batch.set)) return false;
        ++p.waitingBatches[static_cast<std::size_t>(batch.set)];
        stateOf(p, batch.set).waiting = true;
        if (p.workerRunning && !p.stopping) {
            p.queue.push_back(std::move(batch));
            p.changed.notify_all();
            return true;
        }
    }
    runBatch(batch);
    return true;
}

std::string stagingDir(const FolderDataSet& set) { return std::string(set.folder) + "sending/"; }

bool isSnapshot(const FolderDataSet& set, const std::string& name) {
    for (const char* s : set.snapshotFiles)
        if (name == s) return true;
    return false;
}

// Removing a folder that still holds files fails and leaves it.
void removeDirIfEmpty(const std::string& dir) { platform::removeDirectory(dir); }

// Moves the folder's files into its staging folder, each after (or, for a
// snapshot, over) a staged file of the same name.
void stageFolder(const FolderDataSet& set) {
    const std::string staging = stagingDir(set);
    const long made = platform::makeDirectories(staging);
    if (made != 0) {
        LogError("\n Could not create %s: error %ld", staging.c_str(), made);
        return;
    }
    std::vector<platform::DirectoryEntry> entries;
    platform::listDirectory(set.folder, &entries);
    for (const platform::DirectoryEntry& entry : entries) {
        if (!entry.regular) continue;
        const std::string& name = entry.name;
        const std::string from = platform::joinFolderPath(set.folder, name);
        const std::string to = staging + name;
        if (platform::fileStatus(to, nullptr) == 0 && !isSnapshot(set, name)) {
            if (!appendFileTo(from, to)) {
                LogError("\n Could not join %s to %s: %s; both are kept", from.c_str(), to.c_str(),
                         std::strerror(errno));
                continue;
            }
            platform::removeFile(from);
            continue;
        }
        const long moved = platform::renameFile(from, to);
        if (moved != 0) LogError("\n Could not move %s to %s: error %ld", from.c_str(), to.c_str(), moved);
    }
    recordStagedFiles(set.set, staging);
    removeDirIfEmpty(staging);
}

// The worker's part: zips the staging folder, uploads it and deletes exactly
// the files that went into a successful upload.
BatchResult sendStagedFolder(const FolderDataSet& set) {
    std::lock_guard stagingLock(pipeline().stagingLocks[static_cast<std::size_t>(set.set)]);
    const std::string staging = stagingDir(set);
    std::vector<platform::DirectoryEntry> waiting;
    if (platform::listDirectory(staging, &waiting) != 0 || waiting.empty()) return BatchResult::Nothing;
    const std::string zipName = std::string(set.zipPrefix) + "_" +
                                std::to_string(static_cast<long long>(AgentId())) + ".zip";
    LogInfo("\n Zip Name: %s", zipName.c_str());
    std::vector<std::string> zipped;
    if (zipDirectory(staging, zipName, &zipped) != 1) {
        LogError("\n Could not zip %s completely; its files stay for the next transfer", staging.c_str());
        platform::removeFile(zipName);
        return BatchResult::Failed;
    }
    const bool uploaded = HttpUploadFile(RequestUrl<Request::Upload>(), zipName) == 0;
    if (uploaded) {
        LogInfo("%s", set.successMessage);
        for (const std::string& path : zipped) platform::removeFile(path);
        removeDirIfEmpty(staging);
    } else {
        LogInfo("%s", set.failureMessage);
    }
    platform::removeFile(zipName);
    recordStagedFiles(set.set, stagingDir(set));
    return uploaded ? BatchResult::Uploaded : BatchResult::Failed;
}

}  // namespace

bool appendFileTo(const std::string& from, const std::string& to) {
    std::FILE* in = platform::openRegularFile(from, "rb");
    if (!in) return false;
    std::FILE* out = platform::openRegularFile(to, "ab");
    if (!out) {
        std::fclose(in);
        return false;
    }
    char buffer[64 * 1024];
    bool ok = true;
    for (std::size_t n; ok && (n = std::fread(buffer, 1, sizeof buffer, in)) > 0;)
        ok = std::fwrite(buffer, 1, n, out) == n;
    ok = !std::ferror(in) && ok;
    ok = std::fclose(out) == 0 && ok;
    std::fclose(in);
    return ok;
}

void recordStagedFiles(DataSet set, const std::string& dir) {
    std::size_t files = 0;
    std::uint64_t bytes = 0;
    std::vector<platform::DirectoryEntry> entries;
    platform::listDirectory(dir, &entries);
    for (const platform::DirectoryEntry& entry : entries) {
        if (!entry.regular) continue;
        ++files;
        bytes += entry.size;
    }
    Pipeline& p = pipeline();
    std::lock_guard lock(p.mutex);
    stateOf(p, set).pendingFiles = files;
    stateOf(p, set).pendingBytes = bytes;
}

std::array<DataSetTransferState, kDataSetCount> transferStates() {
    Pipeline& p = pipeline();
    std::lock_guard lock(p.mutex);
    return p.states;
}

bool startTransferWorker() {
    Pipeline& p = pipeline();
    {
        std::lock_guard lock(p.mutex);
        if (p.workerRunning) return true;
        p.workerRunning = true;
        p.stopping = false;
    }
    ThreadHandle thread = CreateNewThread(workerLoop);
    std::lock_guard lock(p.mutex);
    if (!thread) {
        p.workerRunning = false;
        return false;
    }
    p.thread = thread;
    return true;
}

void stopTransferWorker() {
    Pipeline& p = pipeline();
    ThreadHandle thread;
    {
        std::lock_guard lock(p.mutex);
        if (!p.workerRunning) return;
        p.stopping = true;
        p.changed.notify_all();
        thread = p.thread;
    }
    WaitForThread(thread, -1);
    // Batches left in the queue run here, so nothing handed over is dropped.
    for (;;) {
        Batch batch;
        {
            std::lock_guard lock(p.mutex);
            if (p.queue.empty()) break;
            batch = std::move(p.queue.front());
            p.queue.pop_front();
        }
        runBatch(batch);
    }
    std::lock_guard lock(p.mutex);
    p.thread.reset();
}

bool handOverBatch(DataSet set, std::function<BatchResult()> send) {
    return queueBatch(Batch{set, std::move(send)});
}

bool waitForTransfers(std::int64_t timeoutMillis) {
    Pipeline& p = pipeline();
    std::unique_lock lock(p.mutex);
    return platform::waitFor(lock, p.changed, timeoutMillis, [&] { return p.queue.empty() && !anyRunning(p); });
}

bool handOverFolder(const FolderDataSet& set) {
    // While a batch of the data set runs, the new files wait in the folder,
    // and the batch handed over now sends what a failed upload left.
    std::unique_lock staging(pipeline().stagingLocks[static_cast<std::size_t>(set.set)], std::try_to_lock);
    if (staging.owns_lock()) {
        stageFolder(set);
        staging.unlock();
    }
    return queueBatch(Batch{set.set, [set] { return sendStagedFolder(set); }});
}
