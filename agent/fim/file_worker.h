// The file worker: one thread at background priority that runs the
// attribute jobs (the base build, the base data of added locations, the
// periodic and the new-data job) one at a time, in the order they were
// handed over. Reading and hashing a large file then holds up only the data
// set it belongs to: the scheduler thread, the update poll and the volume
// monitors only hand a job over.
//
// The stop sets a flag that the collection checks before every item and
// every read block of a digest; the job under way then ends at once
// (FileWorkStopped), takes back the rows it stored, and jobs still waiting
// are dropped, so no part of a data set is ever sent.
//
// Without a running worker (unit tests, benchmarks) a job runs at once on the
// caller's thread; after the stop jobs are refused.
#pragma once

#include <cstdint>
#include <functional>

enum class FileJob { Base, NewLocations, Periodic, NewData };

// Starts the worker thread (once); false when no thread could be made, and
// jobs then run on the callers' threads.
bool startFileWorker();
// Stops the worker: the job under way ends at its next item or read block,
// waiting jobs are dropped. Waits up to timeoutMillis of clock time; true
// when no job runs any more (a job stuck in a system call may outlast it).
bool stopFileWorker(std::int64_t timeoutMillis);
// Hands a job over. false when it was refused: a periodic or new-data job
// already waits (it reads the rules and the NewItemList when it begins, so it
// takes the newer state too), or the worker was stopped. Base builds carry
// the locations they were asked for and are never merged.
bool handOverFileJob(FileJob kind, std::function<void()> run);

// Tests: after a stop, jobs run at once on the caller's thread again.
void resetFileWorkerForTests();

// Thrown by throwIfFileWorkStopped on the worker's thread once the stop
// began; only the job's runner catches it.
struct FileWorkStopped {};
void throwIfFileWorkStopped();
