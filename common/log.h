// Tamsel's process-wide log facility: one stream, four writers with
// thresholds, messages written verbatim (no time stamp, no level tag, no added
// line break), whole and in the order the writers were called.
//
// A message costs a copy into a memory buffer. The buffer goes to the stream
// in one write when it holds 64 KiB, at the latest 100 ms (clock time) after
// its oldest message, at once when LogEssential or LogError writes, before the
// stream is closed or replaced, on FlushLog, and at exit. What a process that
// is killed outright (SIGKILL) loses is the LogInfo and LogTrace messages of
// its last 100 ms; LogEssential and LogError messages are in the file when
// they return.
//
// Every writer and every change of the stream take one lock, so a message is
// never written to a stream that is being closed or replaced, and messages of
// different threads never interleave.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

#if defined(__MINGW32__)
// mingw's printf family is the GNU one (%zu, %lld), not msvcrt's.
#define TAMSEL_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#elif defined(__GNUC__)
#define TAMSEL_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define TAMSEL_PRINTF(fmt, args)
#endif

bool InitLogInfo();
bool SetLogInfo(const char* fileName, const char* directory, int sizeFigure, void* reserved,
                unsigned char level);
bool OpenLogFile();
bool OpenLogFileAppend();
void CloseLogFile();
void FreeLogInfo();
bool SetLogFilePtr(std::FILE* stream);
// Writes the messages still in memory to the stream now.
void FlushLog();

void LogEssential(const char* format, ...) TAMSEL_PRINTF(1, 2);  // threshold 1
void LogError(const char* format, ...) TAMSEL_PRINTF(1, 2);      // threshold 2
void LogInfo(const char* format, ...) TAMSEL_PRINTF(1, 2);       // threshold 3
void LogTrace(const char* format, ...) TAMSEL_PRINTF(1, 2);      // threshold 4

// The lock that the writers take. Holding it keeps every writer waiting, so
// the agent's log rotation holds it while it closes, renames and reopens the
// file: no message is lost or written to a closed stream. It is re-entrant, so
// the holder may call the functions above.
std::unique_lock<std::recursive_mutex> LockLogStream();

// Read under the log lock.
bool LogStreamOpen();
unsigned char LogLevel();
// The configured file name and directory ("" when none).
std::string LogFileName();
std::string LogDirectory();
// Writes what is pending to the current stream, then replaces it without
// closing it (the caller closes the old one afterwards).
void ReplaceLogStream(std::FILE* stream);
