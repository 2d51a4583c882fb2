// Starting and stopping the real agent in whole-program tests: the agent runs
// in the console against a registry file of the test's own, on an accelerated
// clock, with its standard output and error in one file.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace agent_process {

inline void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << text;
}

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Options {
    int clockScale = 60;
    bool utc = false;           // run the agent with TZ=UTC
    bool appendOutput = false;  // keep what an earlier run wrote to the output file
};

// Starts `exe console` with ORBISK_REGISTRY pointing at `registry`; the
// process id, or -1 when it could not be started.
inline pid_t spawnAgent(const std::string& exe, const std::filesystem::path& registry,
                        const std::filesystem::path& outputFile, const Options& options = {}) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, "AMBRIK_CLOCK_SCALE=", 19) == 0) continue;
        if (options.utc && std::strncmp(*e, "TZ=", 3) == 0) continue;
        env.emplace_back(*e);
    }
    env.push_back("ORBISK_REGISTRY=" + registry.string());
    env.push_back("AMBRIK_CLOCK_SCALE=" + std::to_string(options.clockScale));
    if (options.utc) env.push_back("TZ=UTC");
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string program = exe, arg = "console";
    std::vector<char*> argv{program.data(), arg.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string out = outputFile.string();
    const int firstFlags = O_WRONLY | O_CREAT | (options.appendOutput ? O_APPEND : O_TRUNC);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), firstFlags, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

// Waits up to `seconds` for the agent's own end, then kills it. Gives the
// exit code (128 + signal for a signal), and -1 when it had to be killed.
inline int waitForAgent(pid_t& agent, int seconds) {
    if (agent <= 0) return -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(agent, &status, WNOHANG) == agent) {
            agent = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(agent, SIGKILL);
    waitpid(agent, nullptr, 0);
    agent = -1;
    return -1;
}

// Ctrl-C, then the wait for the agent's end (its last transfer included).
inline int stopAgent(pid_t& agent, int seconds = 25) {
    if (agent <= 0) return -1;
    kill(agent, SIGINT);
    return waitForAgent(agent, seconds);
}

}  // namespace agent_process
