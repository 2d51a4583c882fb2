// A log file of the test's own, attached as Tamsel's log stream, on the
// manual clock.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "common/log.h"
#include "platform/clock.h"
#include "platform/process.h"

namespace fs = std::filesystem;

class LogFile : public ::testing::Test {
protected:
    fs::path path;
    std::FILE* stream = nullptr;

    void SetUp() override {
        path = fs::temp_directory_path() /
               ("ambrik-log-" + std::to_string(platform::currentProcessId()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        FlushLog();  // nothing of an earlier test waits in memory
        platform::useManualClock(1'700'000'000'000);
        stream = std::fopen(path.string().c_str(), "wb");
        ASSERT_NE(stream, nullptr);
        SetLogInfo("test.log", ".", 10000, nullptr, 3);
        ASSERT_TRUE(SetLogFilePtr(stream));
    }
    void TearDown() override {
        ReplaceLogStream(nullptr);
        std::fclose(stream);
        platform::useSystemClock();
        fs::remove(path);
    }
    std::string onDisk() const {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // Waits, without a time limit of its own, until the flusher has written
    // the expected text.
    void waitForDisk(const std::string& expected) const {
        while (onDisk() != expected) std::this_thread::yield();
    }
};

