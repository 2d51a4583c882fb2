// Contract tests run on every system, so the programs they start are the
// test program itself in a child role (tests/support/contract_main.cpp):
//   exit N                      ends with exit code N (all 32 bits of it,
//                               also on POSIX)
//   block [FILE]                writes "up" to FILE when given, then runs
//                               until it is terminated
//   report FILE N NAME ARGS...  writes its current directory, the variable
//                               NAME ("<unset>" when it is not set) and its
//                               ARGS joined by "|" to FILE, one per line,
//                               then ends with exit code N
//   service FILE                runs as a service (the platform's
//                               dispatcher) until it is stopped, writing
//                               what happens to FILE
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/process.h"

// The running test program.
std::filesystem::path selfProgram();

// A command line that starts `program` (the test program when empty) in the
// child role with these words, each quoted as the platform splits them.
std::string childCommandLine(const std::vector<std::string>& words, const std::string& program = "");

// Starts the command line and waits for its end: 0 and *code, or the error
// of the start or the wait.
inline long runToEnd(const std::string& line, const std::string& workDir, std::uint32_t* code) {
    platform::Process p(nullptr, nullptr);
    const long rc = platform::startProcess(line, workDir, false, &p);
    return rc != 0 ? rc : platform::waitProcess(p, -1, code);
}

// waitProcess while a thread keeps moving the manual clock on, a second at
// a time, so that the time limit is what ends the wait.
inline long waitAsTheClockRuns(const platform::Process& p, std::int64_t timeoutMillis, std::uint32_t* code) {
    std::atomic<bool> done{false};
    std::thread ticker([&] {
        while (!done) {
            platform::advanceClock(1000);
            std::this_thread::yield();
        }
    });
    const long rc = platform::waitProcess(p, timeoutMillis, code);
    done = true;
    ticker.join();
    return rc;
}

// A copy of the test program under `folder` with the file name `name`
// (".exe" is added on Windows); its path.
std::filesystem::path copySelfProgram(const std::filesystem::path& folder, const std::string& name);
