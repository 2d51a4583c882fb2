// Captures what Tamsel's log writers write while a test runs, at a chosen
// level, in a temporary file that is detached before it is closed.
#pragma once

#include <cstdio>
#include <string>

#include "common/log.h"

class LogCapture {
public:
    explicit LogCapture(unsigned char level = 3) : file_(std::tmpfile()) {
        SetLogInfo("capture.log", ".", 10000, nullptr, level);
        SetLogFilePtr(file_);
    }
    ~LogCapture() {
        ReplaceLogStream(nullptr);  // writers must never see a closed stream
        std::fclose(file_);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Everything written so far; writing goes on at the end.
    std::string text() {
        auto lock = LockLogStream();
        FlushLog();
        std::fflush(file_);
        std::rewind(file_);
        std::string out;
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) out.append(buffer, n);
        std::fseek(file_, 0, SEEK_END);
        return out;
    }
    bool contains(const std::string& piece) { return text().find(piece) != std::string::npos; }
    bool has(const std::string& piece) { return contains(piece); }

private:
    std::FILE* file_;
};
