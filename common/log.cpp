#include "common/log.h"

#include <cerrno>
#include <cstdarg>
#include <string>
#include <sys/stat.h>

namespace {

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
};

std::recursive_mutex g_logLock;

LogState& state() {
    static LogState s;
    return s;
}

void writeMessage(unsigned char threshold, const char* format, va_list args) {
    std::lock_guard<std::recursive_mutex> guard(g_logLock);
    LogState& s = state();
    if (s.stream == nullptr || s.level == 0 || s.level < threshold) return;
    std::vfprintf(s.stream, format, args);
    std::fflush(s.stream);
}

bool makeDirectory(const std::string& path) {
#if defined(_WIN32)
    return _mkdir(path.c_str()) == 0 || errno == EEXIST;
#else
    return ::mkdir(path.c_str(), 0775) == 0 || errno == EEXIST;
#endif
}

bool openWithMode(const char* mode, bool createDirectory) {
    std::lock_guard<std::recursive_mutex> guard(g_logLock);
    LogState& s = state();
    if (s.stream != nullptr) {
        LogTrace("gv_logFilePtr already Set\n");
        return true;
    }
    if (createDirectory) makeDirectory(s.directory);
    std::string path = s.directory + "/" + s.fileName;
    s.stream = std::fopen(path.c_str(), mode);
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
    state().stream = stream;
    return true;
}

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
    state().stream = stream;
}
