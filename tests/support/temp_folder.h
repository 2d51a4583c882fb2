// A fresh folder under the system's temporary folder for one test, removed
// with everything in it, and small file helpers; the same on every system.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <system_error>

#include "platform/process.h"

class TempFolder {
public:
    TempFolder() {
        static std::atomic<unsigned> counter{0};
        std::error_code ec;
        const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
        std::random_device random;
        for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
            const std::string name = "ambrik-test-" + std::to_string(platform::currentProcessId()) + "-" +
                                     std::to_string(counter++) + "-" + std::to_string(random() % 1000000);
            // create_directory is false when the name is taken: try another.
            if (std::filesystem::create_directory(base / name, ec)) path_ = base / name;
        }
        EXPECT_FALSE(path_.empty()) << "no temporary folder under " << base;
    }
    ~TempFolder() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// A path as UTF-8 text, and back: the platform layer's paths are UTF-8.
inline std::string utf8Path(const std::filesystem::path& p) {
    const std::u8string text = p.u8string();
    return std::string(text.begin(), text.end());
}
inline std::filesystem::path pathFromUtf8(const std::string& text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

inline std::string readWholeFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void writeWholeFile(const std::filesystem::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
}
