// Process service: start a program from a Windows-style command line with
// its own working directory, wait for it with a time limit measured on the
// system clock module, terminate it, read its exit code. Results are Windows
// codes (0 success, 2 program not found, 258 time-out ...).
//
// Both backends look for a program given without a full path in the
// working directory first. Windows backend: then where CreateProcess looks
// (the caller's folder and directory, the system folders, PATH); ".exe" is
// added to a name without an extension. POSIX backend: the command line is
// split into words by the Windows rules (splitCommandLine); a name with a
// slash is looked for in the working directory, then in the current
// directory; one without a slash in the working directory (the current
// directory when none is given) and then along PATH. The child gets the
// working directory; the parent's own directory never changes. On POSIX the
// child runs in a process group of its own, so terminating it also ends the
// programs it started, and the show-window flag has no meaning.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"  // the shared Windows result codes

namespace platform {

constexpr long kErrorNotEnoughMemory = 8;
constexpr long kErrorGenFailure = 31;
constexpr long kErrorBadExeFormat = 193;
constexpr long kErrorDirectory = 267;  // the working directory is not a usable folder
constexpr long kWaitTimeout = 258;

// The words of a command line as CommandLineToArgvW gives them: the first
// word ends at the first blank (or is the text between its quotes); in the
// others, 2n backslashes before a quote give n backslashes and the quote
// opens or closes a quoted part, 2n+1 give n backslashes and a literal quote,
// and backslashes before anything else are literal.
std::vector<std::string> splitCommandLine(std::string_view commandLine);
// The text as one argument word that splitCommandLine gives back unchanged:
// as it is when it is not empty and has no blank, tab, line end or quote;
// otherwise quoted, with the backslashes before a quote and at the end doubled.
std::string quoteCommandWord(std::string_view text);

struct ProcessHandle;
// A started child. Dropping it without waiting leaves the child running; it
// is reaped in the background when it ends.
using Process = std::unique_ptr<ProcessHandle, void (*)(ProcessHandle*)>;

// Starts the command line. workingDirectory "" means the caller's own.
// 0 and *process on success; 2 when the program is not found, 5 when it may
// not be run, 193 when it is not a program, 267 when the working directory
// is not a folder, 87 for an empty command line.
long startProcess(const std::string& commandLine, const std::string& workingDirectory,
                  bool showWindow, Process* process);
// Waits until the child ends or timeoutMillis of clock time have passed (a
// negative time-out waits for ever). 0 with *exitCode when it ended, 258 when
// it is still running.
long waitProcess(const Process& process, std::int64_t timeoutMillis, std::uint32_t* exitCode);
// Ends the child (and, on POSIX, its process group) and reaps it; its exit
// code becomes exitCode.
long terminateProcess(const Process& process, std::uint32_t exitCode);
// The operating system's id of the child.
long processId(const Process& process);
// The id of the calling process.
long currentProcessId();

// What the calling process uses: resident memory, processor time (user and
// kernel) and threads. POSIX: /proc/self and getrusage; Windows: the process
// memory counters, GetProcessTimes and a thread snapshot.
struct ProcessUsage {
    std::uint64_t residentBytes = 0;
    double cpuSeconds = 0;
    std::uint32_t threads = 0;
};
// 0 and *usage, else the Windows code of what could not be read.
long currentProcessUsage(ProcessUsage* usage);

// Hands the heap's free memory back to the system (after a burst's lists
// were released). POSIX: malloc_trim where the C library has it; Windows:
// HeapCompact on the process heap.
void releaseFreeMemory();

}  // namespace platform
