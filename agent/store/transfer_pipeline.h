// How data leaves the agent: one transfer worker for the five data sets
// (events, change, base, periodic, new).
//
// A job that has data for the server stages it under its own lock and hands
// a batch to the worker; zipping and uploading run on the worker's thread, in
// the order the batches were handed over, one upload at a time. The
// scheduler thread only hands over, so host timers, the change job, the
// update poll and the log rotation keep their times while an upload waits.
//
// A folder data set (data/changedata/, data/basedata/, ...) is staged by
// moving its files into "<folder>sending/": after the staged files of an
// upload that failed (or of a run that ended during one), so the next zip
// holds both in their order. Only the files that went into a successful
// upload are deleted. While a batch of a data set is under way nothing more
// of it is staged; its new files wait in the folder.
//
// Without a running worker (unit tests, tools) a batch runs at once on the
// caller's thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

enum class DataSet { Events, Change, Base, Periodic, New };
inline constexpr std::size_t kDataSetCount = 5;

// What the worker knows about one data set; read as a whole with
// transferStates().
struct DataSetTransferState {
    std::int64_t lastAttempt = 0;   // clock seconds when its last upload began; 0: none yet
    std::int64_t lastSuccess = 0;   // clock seconds when its last upload succeeded; 0: none yet
    int lastResult = -1;            // 0 uploaded, 1 failed, -1 none yet
    int consecutiveFailures = 0;
    std::size_t pendingFiles = 0;   // staged files not yet uploaded
    std::uint64_t pendingBytes = 0;
    bool waiting = false;           // a batch is handed over and not yet begun
    bool running = false;           // its batch is being zipped or uploaded
};
std::array<DataSetTransferState, kDataSetCount> transferStates();
// Counts the files waiting in a data set's staging folder into its record.
void recordStagedFiles(DataSet set, const std::string& dir);

// What a batch did: nothing to send, uploaded, or failed.
enum class BatchResult { Nothing, Uploaded, Failed };

// Starts the worker thread (once); false when no thread could be made, and
// batches then run on the callers' threads.
bool startTransferWorker();
// Tests: ends the worker after its current batch; later batches run at once.
void stopTransferWorker();

// Hands a batch of a data set to the worker. Refused (false) when a batch of
// the same data set waits at the end of the queue (it takes the newer data
// too) or two of them wait already.
bool handOverBatch(DataSet set, std::function<BatchResult()> send);

// Waits until every batch handed over has ended, at most timeoutMillis of
// clock time; true when none is left.
bool waitForTransfers(std::int64_t timeoutMillis);

// A data set kept as files in a folder of its own.
struct FolderDataSet {
    DataSet set;
    const char* folder;          // "data/changedata/"
    const char* zipPrefix;       // "changedata": the zip is "<prefix>_<agent id>.zip"
    const char* successMessage;  // logged after a successful upload
    const char* failureMessage;  // logged after a failed one
    // Files the writer rewrites whole (a snapshot): the newer replaces a
    // staged one instead of going after it.
    std::vector<const char*> snapshotFiles;
};

// Stages the folder's files and hands their upload to the worker. The caller
// holds the lock its writers take, so no file is written while it moves.
// While a batch of the data set is under way nothing moves (the worker reads
// the staging folder): the batch handed over then sends what a failed upload
// left, and the new files wait in the folder. false when the batch was
// coalesced with one that waits (which then takes the staged files).
bool handOverFolder(const FolderDataSet& set);

// Appends the bytes of `from` to `to`; false when not all could be written.
bool appendFileTo(const std::string& from, const std::string& to);
