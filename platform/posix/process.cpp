// Processes on POSIX: posix_spawn with the child's own working directory
// (the parent's never changes), Windows-like program search and result codes.
#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/registry.h"

extern char** environ;

namespace platform {

struct ProcessHandle {
    pid_t pid = -1;
    int pidfd = -1;  // becomes readable when the child ends; -1 when the kernel has none
    int codePipe = -1;     // read end of the child's exit-code channel
    std::string codeText;  // the last bytes the child wrote to it
    bool reaped = false;
    std::uint32_t exitCode = 0;
};

namespace {

constexpr int kExitCodeFd = 3;

long spawnErrorToCode(int err) {
    switch (err) {
        case ENOENT:
            return kErrorFileNotFound;
        case EACCES:
        case EPERM:
            return kErrorAccessDenied;
        case ENOEXEC:
            return kErrorBadExeFormat;
        case ENOTDIR:
            return kErrorDirectory;
        case ENOMEM:
        case EAGAIN:
            return kErrorNotEnoughMemory;
        default:
            return kErrorGenFailure;
    }
}

// The caller's current directory ("." when it cannot be read).
std::string callerDirectory() {
    std::string dir;
    return platform::currentDirectory(&dir) == kErrorSuccess ? dir : ".";
}

std::string join(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

// 0 when path is an executable regular file, 5 when it exists but may not
// be run, 2 otherwise.
long checkProgram(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return kErrorFileNotFound;
    return ::access(path.c_str(), X_OK) == 0 ? kErrorSuccess : kErrorAccessDenied;
}

// Finds the program as CreateProcess would, relative to the child's
// (absolute) working directory.
long findProgram(const std::string& name, const std::string& workDir, std::string* found) {
    std::vector<std::string> candidates;
    if (!name.empty() && name[0] == '/') {
        candidates.push_back(name);
    } else if (name.find('/') != std::string::npos) {
        candidates.push_back(join(workDir, name));
        candidates.push_back(join(callerDirectory(), name));
    } else {
        candidates.push_back(join(workDir, name));
        const char* path = std::getenv("PATH");
        std::string list = path ? path : "/usr/local/bin:/usr/bin:/bin";
        std::size_t start = 0;
        while (start <= list.size()) {
            std::size_t colon = list.find(':', start);
            std::string dir = list.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
            candidates.push_back(join(dir.empty() ? workDir : (dir[0] == '/' ? dir : join(workDir, dir)), name));
            if (colon == std::string::npos) break;
            start = colon + 1;
        }
    }
    long result = kErrorFileNotFound;
    for (const auto& candidate : candidates) {
        long rc = checkProgram(candidate);
        if (rc == kErrorSuccess) {
            *found = candidate;
            return kErrorSuccess;
        }
        if (rc == kErrorAccessDenied) result = rc;
    }
    return result;
}

std::uint32_t exitCodeOf(int status) {
    if (WIFEXITED(status)) return static_cast<std::uint32_t>(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return 128u + static_cast<std::uint32_t>(WTERMSIG(status));
    return kErrorGenFailure;
}

// Reads what the child wrote to its exit-code channel, keeping only the
// tail so a chatty child can neither block nor fill memory.
void drainCodePipe(ProcessHandle& p) {
    if (p.codePipe < 0) return;
    char buffer[512];
    while (true) {
        ssize_t n = ::read(p.codePipe, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        p.codeText.append(buffer, static_cast<std::size_t>(n));
        if (p.codeText.size() > 64) p.codeText.erase(0, p.codeText.size() - 64);
    }
}

// A POSIX exit status has 8 bits, a Windows exit code 32. A program that
// needs to report a full code (3010, "reboot needed") writes it in decimal
// to the descriptor named by ORBISK_EXIT_CODE_FD; it is taken when its low
// 8 bits agree with the status the program exited with.
std::uint32_t fullExitCode(ProcessHandle& p, std::uint32_t status) {
    drainCodePipe(p);
    std::size_t end = p.codeText.find_last_not_of(" \t\r\n");
    if (end == std::string::npos) return status;
    std::size_t start = p.codeText.find_last_of(" \t\r\n", end);
    start = start == std::string::npos ? 0 : start + 1;
    std::string digits = p.codeText.substr(start, end - start + 1);
    if (digits.empty() || digits.size() > 10 || digits.find_first_not_of("0123456789") != std::string::npos)
        return status;
    unsigned long long full = std::strtoull(digits.c_str(), nullptr, 10);
    if (full > 0xFFFFFFFFull || (full & 0xFF) != status) return status;
    return static_cast<std::uint32_t>(full);
}

// Reaps the child if it has ended. true when it has.
bool tryReap(ProcessHandle& p, long* error) {
    if (p.reaped) return true;
    int status = 0;
    while (true) {
        pid_t r = ::waitpid(p.pid, &status, WNOHANG);
        if (r == p.pid) {
            p.reaped = true;
            p.exitCode = exitCodeOf(status);
            if (WIFEXITED(status)) p.exitCode = fullExitCode(p, p.exitCode);
            return true;
        }
        if (r == 0) return false;
        if (errno == EINTR) continue;
        // ECHILD: the child is no longer ours to wait for (SIGCHLD ignored).
        *error = kErrorInvalidHandle;
        return false;
    }
}

// One small real-time step of waiting for the child: wakes early when it
// ends (pidfd), otherwise after a few milliseconds so the clock deadline,
// which may be a manual or scaled clock, is looked at again.
void waitStep(ProcessHandle& p) {
    constexpr int kStepMillis = 20;
    struct pollfd fds[2];
    nfds_t count = 0;
    if (p.pidfd >= 0) fds[count++] = {p.pidfd, POLLIN, 0};
    if (p.codePipe >= 0) fds[count++] = {p.codePipe, POLLIN, 0};
    ::poll(count ? fds : nullptr, count, kStepMillis);
    drainCodePipe(p);
}

void releaseProcess(ProcessHandle* p) {
    if (!p) return;
    if (p->pidfd >= 0) ::close(p->pidfd);
    if (p->codePipe >= 0) ::close(p->codePipe);
    if (!p->reaped && p->pid > 0) {
        // The caller does not wait for this child; reap it when it ends so
        // it does not stay behind as a zombie.
        pid_t pid = p->pid;
        try {
            std::thread([pid] {
                int status = 0;
                while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
                }
            }).detach();
        } catch (...) {
            // No thread: the child is reaped when the process ends.
        }
    }
    delete p;
}

struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

}  // namespace

long startProcess(const std::string& commandLine, const std::string& workingDirectory,
                  bool /*showWindow*/, Process* process) {
    if (!process) return kErrorInvalidParameter;
    std::vector<std::string> words = splitCommandLine(commandLine);
    if (words.empty() || words[0].empty()) return kErrorInvalidParameter;

    std::string workDir = callerDirectory();
    if (!workingDirectory.empty()) {
        struct stat st {};
        if (::stat(workingDirectory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return kErrorDirectory;
        workDir = workingDirectory[0] == '/' ? workingDirectory : join(workDir, workingDirectory);
    }
    std::string program;
    long rc = findProgram(words[0], workDir, &program);
    if (rc != kErrorSuccess) return rc;

    SpawnSetup setup;
    if (!workingDirectory.empty() &&
        posix_spawn_file_actions_addchdir_np(&setup.actions, workDir.c_str()) != 0)
        return kErrorNotEnoughMemory;
    // Handles are not inherited: only standard input, output and error, and
    // the exit-code channel as descriptor 3.
    int codePipe[2] = {-1, -1};
    bool haveChannel = ::pipe2(codePipe, O_CLOEXEC | O_NONBLOCK) == 0;
    if (haveChannel) {
        ::fcntl(codePipe[1], F_SETFL, 0);  // the child's end blocks as usual
        posix_spawn_file_actions_adddup2(&setup.actions, codePipe[1], kExitCodeFd);
        posix_spawn_file_actions_addclosefrom_np(&setup.actions, kExitCodeFd + 1);
    } else {
        posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3);
    }
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&setup.attr, &all);
    posix_spawnattr_setsigmask(&setup.attr, &none);
    posix_spawnattr_setpgroup(&setup.attr, 0);
    posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment;
    for (char** e = environ; e && *e; ++e)
        if (std::strncmp(*e, "ORBISK_EXIT_CODE_FD=", 20) != 0) environment.emplace_back(*e);
    if (haveChannel) environment.push_back("ORBISK_EXIT_CODE_FD=" + std::to_string(kExitCodeFd));
    std::vector<char*> envp;
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_t pid = -1;
    int err = posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attr, argv.data(), envp.data());
    if (haveChannel) ::close(codePipe[1]);
    if (err != 0) {
        if (haveChannel) ::close(codePipe[0]);
        return spawnErrorToCode(err);
    }

    auto* handle = new ProcessHandle;
    handle->pid = pid;
    handle->codePipe = haveChannel ? codePipe[0] : -1;
#ifdef SYS_pidfd_open
    handle->pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (handle->pidfd >= 0) ::fcntl(handle->pidfd, F_SETFD, FD_CLOEXEC);
#endif
    *process = Process(handle, &releaseProcess);
    return kErrorSuccess;
}

long waitProcess(const Process& process, std::int64_t timeoutMillis, std::uint32_t* exitCode) {
    if (!process) return kErrorInvalidHandle;
    const std::int64_t deadline = nowMillis() + (timeoutMillis < 0 ? 0 : timeoutMillis);
    while (true) {
        long error = kErrorSuccess;
        if (tryReap(*process, &error)) {
            if (exitCode) *exitCode = process->exitCode;
            return kErrorSuccess;
        }
        if (error != kErrorSuccess) return error;
        if (timeoutMillis >= 0 && nowMillis() >= deadline) return kWaitTimeout;
        waitStep(*process);
    }
}

long terminateProcess(const Process& process, std::uint32_t exitCode) {
    if (!process) return kErrorInvalidHandle;
    long error = kErrorSuccess;
    if (tryReap(*process, &error)) return kErrorSuccess;  // already ended: keep its own code
    ::kill(-process->pid, SIGKILL);
    ::kill(process->pid, SIGKILL);
    int status = 0;
    while (::waitpid(process->pid, &status, 0) < 0) {
        if (errno != EINTR) return kErrorInvalidHandle;
    }
    process->reaped = true;
    process->exitCode = exitCode;
    return kErrorSuccess;
}

long processId(const Process& process) { return process ? static_cast<long>(process->pid) : -1; }

long currentProcessId() { return static_cast<long>(::getpid()); }

long currentProcessUsage(ProcessUsage* usage) {
    *usage = ProcessUsage{};
    rusage ru{};
    if (::getrusage(RUSAGE_SELF, &ru) != 0) return kErrorGenFailure;
    usage->cpuSeconds = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                        static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    // /proc/self/status: "VmRSS:  1234 kB" and "Threads:  7".
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return kErrorFileNotFound;
    char line[256];
    bool rss = false, threads = false;
    while (std::fgets(line, sizeof line, f)) {
        unsigned long long value = 0;
        if (std::sscanf(line, "VmRSS: %llu kB", &value) == 1) {
            usage->residentBytes = value * 1024;
            rss = true;
        } else if (std::sscanf(line, "Threads: %llu", &value) == 1) {
            usage->threads = static_cast<std::uint32_t>(value);
            threads = true;
        }
    }
    std::fclose(f);
    return rss && threads ? kErrorSuccess : kErrorGenFailure;
}

void releaseFreeMemory() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

}  // namespace platform
