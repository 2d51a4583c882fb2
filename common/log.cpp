#include "common/log.h"

#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/private_files.h"
#include "platform/process.h"

namespace {

// Messages wait in memory until this much has gathered...
constexpr std::size_t kPendingLimit = 64 * 1024;
// ...or until the oldest of them has waited this long (clock time).
constexpr std::int64_t kFlushDelayMillis = 100;
// A buffer that once held a very long message is not kept at that size.
constexpr std::size_t kPendingKeep = 1024 * 1024;
// Writers at or below this threshold (LogEssential, LogError) reach the file
// before they return.
constexpr unsigned char kImmediateThreshold = 2;

// Log settings; all access goes through g_logLock.
struct LogState {
    bool hasName = false;
    std::string fileName;
    bool hasDirectory = false;
    std::string directory;
    int sizeFigure = 0;
    void* reserved = nullptr;
    unsigned char level = 3;
    std::FILE* stream = nullptr;  // gv_logFilePtr
    std::string pending;          // accepted messages not yet written to the stream
    bool direct = false;          // after the flusher has stopped at exit: no buffering
};

std::recursive_mutex g_logLock;

LogState& state() {
    static LogState s;
    return s;
}

// The thread that writes pending messages out once the oldest has waited
// kFlushDelayMillis. Its own lock is taken after the log lock, never before.
struct Flusher {
    std::mutex lock;
    std::condition_variable wake;
    bool started = false;
    bool due = false;          // messages are pending
    std::int64_t dueAt = 0;    // clock time by which they must be written
    bool stop = false;
    std::thread thread;
    long owner = 0;  // a forked child has no flusher thread to wait for
};

// Never destroyed: a forked child that exits must not wait for or end a
// thread it does not have.
Flusher& flusher() {
    static Flusher* f = new Flusher;
    return *f;
}

// Writes the pending messages to the stream in one piece. Log lock held.
void writePending(LogState& s) {
    if (!s.pending.empty() && s.stream != nullptr) {
        std::fwrite(s.pending.data(), 1, s.pending.size(), s.stream);
        std::fflush(s.stream);
    }
    if (s.pending.capacity() > kPendingKeep) std::string().swap(s.pending);
    s.pending.clear();
    Flusher& f = flusher();
    std::lock_guard<std::mutex> guard(f.lock);
    f.due = false;
}

void flushNow() {
    std::lock_guard<std::recursive_mutex> guard(g_logLock);
    writePending(state());
}

void runFlusher() {
    Flusher& f = flusher();
    std::unique_lock<std::mutex> lock(f.lock);
    for (;;) {
        platform::waitFor(lock, f.wake, -1, [&] { return f.due || f.stop; });
        if (f.stop) return;
        platform::waitUntil(lock, f.wake, f.dueAt, [&] { return f.stop || !f.due; });
        if (f.stop) return;
        if (!f.due) continue;  // a writer wrote everything out meanwhile
        lock.unlock();
        flushNow();
        lock.lock();
    }
}

// At exit: the flusher ends, what is pending is written, and any message
// written later goes straight to the stream.
void stopFlusherAtExit() {
    Flusher& f = flusher();
    {
        std::lock_guard<std::mutex> guard(f.lock);
        f.stop = true;
    }
    f.wake.notify_all();
    const bool ownThread = f.thread.joinable() && f.owner == platform::currentProcessId();
    if (ownThread) f.thread.join();
    std::lock_guard<std::recursive_mutex> guard(g_logLock);
    LogState& s = state();
    writePending(s);
    s.direct = true;
}

// Called by a writer that put the first message into an empty buffer. Log
// lock held.
void armFlusher() {
    Flusher& f = flusher();
    const std::int64_t now = platform::nowMillis();
    std::lock_guard<std::mutex> guard(f.lock);
    if (!f.started) {
        f.started = true;
        f.thread = std::thread(runFlusher);
        f.owner = platform::currentProcessId();
        std::atexit(stopFlusherAtExit);
    }
    if (!f.due) {
        f.due = true;
        f.dueAt = now + kFlushDelayMillis;
        f.wake.notify_one();
    }
}

// Appends the formatted message to `out`; most messages need one formatting.
void appendFormatted(std::string& out, const char* format, va_list args) {
    va_list again;
    va_copy(again, args);
    char small[1024];
    const int n = std::vsnprintf(small, sizeof small, format, args);
    if (n >= 0 && static_cast<std::size_t>(n) < sizeof small) {
        out.append(small, static_cast<std::size_t>(n));
    } else if (n > 0) {
        const std::size_t at = out.size();
        out.resize(at + static_cast<std::size_t>(n) + 1);
        std::vsnprintf(out.data() + at, static_cast<std::size_t>(n) + 1, format, again);
        out.resize(at + static_cast<std::size_t>(n));
    }
    va_end(again);
}

void writeMessage(unsigned char threshold, const char* format, va_list args) {
    std::lock_guard<std::recursive_mutex> guard(g_logLock);
    LogState& s = state();
    if (s.stream == nullptr || s.level == 0 || s.level < threshold) return;
    const bool wasEmpty = s.pending.empty();
    appendFormatted(s.pending, format, args);
    if (threshold <= kImmediateThreshold || s.direct || s.pending.size() >= kPendingLimit) {
        writePending(s);
    } else if (wasEmpty && !s.pending.empty()) {
        armFlusher();
    }
}

bool openWithMode(const char* mode, bool createDirectory) {
    std::lock_guard<std::recursive_mutex> guard(g_logLock);
    LogState& s = state();
    if (s.stream != nullptr) {
        LogTrace("gv_logFilePtr already Set\n");
        return true;
    }
    if (createDirectory) platform::makeDirectory(s.directory);
    std::string path = s.directory + "/" + s.fileName;
    // A log file is its program's alone (0600) from its creation, whichever
    // program makes it, and a link in its place is not followed.
    s.stream = platform::openRegularFile(path, mode);
    // The pending buffer is the only buffer: each write-out is one system
    // call of whole messages.
    if (s.stream != nullptr) std::setvbuf(s.stream, nullptr, _IONBF, 0);
    return s.stream != nullptr;
}

}  // namespace

bool InitLogInfo() {
    std::lock_guard<std::recursive_mutex> guard(g_logLock);
    LogState& s = state();
    if (s.stream == nullptr && !s.hasName) {
        s.fileName = "tamsel.log";
        s.hasName = true;
        s.directory = "../logs";
        s.hasDirectory = true;
        s.sizeFigure = 10000;
        s.reserved = nullptr;
        s.level = 3;
        return true;
    }
    if (s.stream == nullptr) return true;
    s.sizeFigure = 10000;
    s.reserved = nullptr;
    s.level = 3;
    return true;
}

bool SetLogInfo(const char* fileName, const char* directory, int sizeFigure, void* reserved,
                unsigned char level) {
    std::lock_guard<std::recursive_mutex> guard(g_logLock);
    LogState& s = state();
    s.hasName = fileName != nullptr;
    s.fileName = fileName ? fileName : "";
    s.hasDirectory = directory != nullptr;
    s.directory = directory ? directory : "";
    s.sizeFigure = sizeFigure;
    s.reserved = reserved;
    s.level = level;
    return true;
}

bool OpenLogFile() { return openWithMode("w", true); }

bool OpenLogFileAppend() { return openWithMode("a+", false); }

void CloseLogFile() {
    std::lock_guard<std::recursive_mutex> guard(g_logLock);
    LogState& s = state();
    writePending(s);
    if (s.stream != nullptr) {
        if (s.stream != stderr && s.stream != stdout) std::fclose(s.stream);
        s.stream = nullptr;
    }
}

void FreeLogInfo() {
    std::lock_guard<std::recursive_mutex> guard(g_logLock);
    LogState& s = state();
    s.fileName.clear();
    s.hasName = false;
    s.directory.clear();
    s.hasDirectory = false;
}

bool SetLogFilePtr(std::FILE* stream) {
    if (stream == nullptr) return false;
    std::lock_guard<std::recursive_mutex> guard(g_logLock);
    writePending(state());
    state().stream = stream;
    return true;
}

void FlushLog() { flushNow(); }

#define TAMSEL_WRITER(name, threshold)        \
    void name(const char* format, ...) {      \
        va_list args;                         \
        va_start(args, format);               \
        writeMessage(threshold, format, args); \
        va_end(args);                         \
    }

TAMSEL_WRITER(LogEssential, 1)
TAMSEL_WRITER(LogError, 2)
TAMSEL_WRITER(LogInfo, 3)
TAMSEL_WRITER(LogTrace, 4)

std::unique_lock<std::recursive_mutex> LockLogStream() {
    return std::unique_lock<std::recursive_mutex>(g_logLock);
}

bool LogStreamOpen() {
    std::lock_guard<std::recursive_mutex> guard(g_logLock);
    return state().stream != nullptr;
}

unsigned char LogLevel() {
    std::lock_guard<std::recursive_mutex> guard(g_logLock);
    return state().level;
}

std::string LogFileName() {
    std::lock_guard<std::recursive_mutex> guard(g_logLock);
    return state().fileName;
}

std::string LogDirectory() {
    std::lock_guard<std::recursive_mutex> guard(g_logLock);
    return state().directory;
}

void ReplaceLogStream(std::FILE* stream) {
    std::lock_guard<std::recursive_mutex> guard(g_logLock);
    writePending(state());
    state().stream = stream;
}
