// Where the public Windows sample logs are read from. They live outside the
// repository (the folder evtx/ of ../shared/data beside a checkout, or the
// folder named by AMBRIK_SAMPLE_LOGS), so a clone without them skips the
// tests that need them instead of failing.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

// The sample folder with a trailing slash, or "" when it is not there.
inline std::string sampleLogsDir() {
    const char* env = std::getenv("AMBRIK_SAMPLE_LOGS");
    std::string dir = env && *env ? env : std::string(AMBRIK_SHARED_DATA_DIR) + "/evtx";
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec)) return "";
    return dir + "/";
}

// Skips the running test when the sample logs are absent.
#define SKIP_WITHOUT_SAMPLE_LOGS()                                                                  \
    do {                                                                                            \
        if (sampleLogsDir().empty())                                                                \
            GTEST_SKIP() << "the public sample logs are not here (../shared/data/evtx beside the "  \
                            "checkout, or AMBRIK_SAMPLE_LOGS); see README";                          \
    } while (0)
