// A registry of one's own for a test: on POSIX a fresh registry file
// (ORBISK_REGISTRY) in a temporary folder; on Windows a key of its own under
// HKEY_LOCAL_MACHINE\Software\Ambrik Tests, deleted with everything below it
// afterwards. Tests put their keys under root().
#pragma once

#include <atomic>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "platform/process.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/temp_folder.h"

class TestRegistry {
public:
    TestRegistry()
        : file_(utf8Path(folder_.path() / "registry.reg")),
          environment_("ORBISK_REGISTRY", file_),
          root_(std::string(kBase) + "\\" + std::to_string(platform::currentProcessId()) + "-" +
                std::to_string(counter()++)) {}
    ~TestRegistry() {
#if defined(_WIN32)
        const std::string path = "Software\\Ambrik Tests";
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, root_.c_str());
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());  // only when no other test's key is left
#endif
    }
    TestRegistry(const TestRegistry&) = delete;
    TestRegistry& operator=(const TestRegistry&) = delete;

    // The key under which the test works ("Software\\Ambrik Tests\\<id>").
    const std::string& root() const { return root_; }
    // The registry file on POSIX (unused on Windows).
    const std::string& file() const { return file_; }

private:
    static constexpr const char* kBase = "Software\\Ambrik Tests";
    static std::atomic<unsigned>& counter() {
        static std::atomic<unsigned> c{0};
        return c;
    }
    TempFolder folder_;
    std::string file_;
    ScopedEnvironment environment_;
    std::string root_;
};
