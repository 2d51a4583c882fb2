// A fresh folder under /tmp for one test, removed with everything in it;
// and small file helpers for the tests that use it.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/ambrik-test-XXXXXX";
        if (mkdtemp(tmpl)) path_ = tmpl;
        EXPECT_FALSE(path_.empty()) << "no temporary folder";
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

inline std::string slurp(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Writes a shell script (executable unless asked otherwise).
inline void writeScript(const std::filesystem::path& p, const std::string& body, bool executable = true) {
    std::ofstream(p) << "#!/bin/sh\n" << body << "\n";
    namespace fs = std::filesystem;
    fs::permissions(p, executable ? fs::perms::owner_all : fs::perms::owner_read | fs::perms::owner_write);
}
