// Shared pieces of the file-integrity benchmarks: a scratch tree, Windows
// paths and running a command-line tool over a list of files.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace fimbench {

namespace fs = std::filesystem;

inline std::string windowsPathOf(const fs::path& p) {
    std::string s = "c:" + p.string();
    for (char& c : s)
        if (c == '/') c = '\\';
    return s;
}

// A fresh folder under /tmp with a lower-case name.
inline fs::path scratchFolder(const char* name) {
    char pattern[64];
    std::snprintf(pattern, sizeof pattern, "/tmp/ambrik-%s-XXXXXX", name);
    if (!mkdtemp(pattern)) std::abort();
    std::string lower = pattern;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    fs::rename(pattern, lower);
    return lower;
}

// Runs tool with the arguments and the files, output to /dev/null; waits.
inline void runTool(const std::string& tool, const std::vector<std::string>& args,
                    const std::vector<std::string>& files) {
    std::vector<std::string> all = {tool};
    all.insert(all.end(), args.begin(), args.end());
    all.insert(all.end(), files.begin(), files.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    if (posix_spawnp(&pid, tool.c_str(), &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        waitpid(pid, &status, 0);
    }
    posix_spawn_file_actions_destroy(&actions);
}

}  // namespace fimbench
