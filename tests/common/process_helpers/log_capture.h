// Captures what Tamsel's log writers write, at a chosen level.
#pragma once

#include <cstdio>
#include <string>

#include "common/log.h"

class LogCapture {
public:
    explicit LogCapture(unsigned char level = 4) {
        SetLogInfo("capture.log", "/tmp", 10000, nullptr, level);
        stream_ = std::tmpfile();
        SetLogFilePtr(stream_);
    }
    ~LogCapture() {
        CloseLogFile();
        FreeLogInfo();
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() {
        auto lock = LockLogStream();
        std::fflush(stream_);
        long end = std::ftell(stream_);
        std::string out(static_cast<std::size_t>(end > 0 ? end : 0), '\0');
        std::rewind(stream_);
        std::size_t n = std::fread(out.data(), 1, out.size(), stream_);
        out.resize(n);
        std::fseek(stream_, 0, SEEK_END);
        return out;
    }
    bool has(const std::string& piece) { return text().find(piece) != std::string::npos; }

private:
    std::FILE* stream_ = nullptr;
};
