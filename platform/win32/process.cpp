// Processes through CreateProcess; waits are measured on the clock module.
#include "platform/process.h"

#include "platform/clock.h"
#include "platform/win32/win32_util.h"

// After windows.h (win32_util.h), which they need.
#include <psapi.h>
#include <tlhelp32.h>

namespace platform {

struct ProcessHandle {
    HANDLE process = nullptr;
    DWORD pid = 0;
};

namespace {

void releaseProcess(ProcessHandle* p) {
    if (p && p->process) CloseHandle(p->process);
    delete p;
}

bool isAbsolute(const std::string& path) {
    return (path.size() >= 2 && path[1] == ':') || (!path.empty() && (path[0] == '\\' || path[0] == '/'));
}

bool isFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// CreateProcess looks for a program given without a full path in the
// caller's directory, not the child's; the child's working directory is
// looked at first here (the name as it is, then with ".exe"), as on POSIX.
// Empty when it is not there, and CreateProcess searches as it does.
std::wstring programInWorkingDirectory(const std::string& commandLine, const std::string& workingDirectory) {
    if (workingDirectory.empty()) return std::wstring();
    const std::vector<std::string> words = splitCommandLine(commandLine);
    if (words.empty() || words[0].empty() || isAbsolute(words[0])) return std::wstring();
    std::string path = workingDirectory;
    if (path.back() != '\\' && path.back() != '/') path += '\\';
    path += words[0];
    std::wstring candidate = win32::widen(path);
    if (isFile(candidate)) return candidate;
    const std::size_t lastPart = path.find_last_of("\\/");
    if (path.find('.', lastPart == std::string::npos ? 0 : lastPart) != std::string::npos) return std::wstring();
    candidate += L".exe";
    return isFile(candidate) ? candidate : std::wstring();
}

}  // namespace

long startProcess(const std::string& commandLine, const std::string& workingDirectory, bool showWindow,
                  Process* process) {
    if (!process) return kErrorInvalidParameter;
    if (splitCommandLine(commandLine).empty()) return kErrorInvalidParameter;
    std::wstring line = win32::widen(commandLine);  // CreateProcessW may write into it
    const std::wstring dir = win32::widen(workingDirectory);
    // A working directory that is no folder is the error, whether or not the
    // program would be found elsewhere.
    if (!dir.empty()) {
        const DWORD attributes = GetFileAttributesW(dir.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            return kErrorDirectory;
    }
    const std::wstring program = programInWorkingDirectory(commandLine, workingDirectory);

    STARTUPINFOW si{};
    si.cb = sizeof si;
    if (showWindow) {
        si.dwFlags = STARTF_USESHOWWINDOW;
        si.wShowWindow = SW_SHOWNORMAL;
    }
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(program.empty() ? nullptr : program.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_DEFAULT_ERROR_MODE | CREATE_NO_WINDOW,
                        nullptr, dir.empty() ? nullptr : dir.c_str(), &si, &pi))
        return static_cast<long>(GetLastError());
    CloseHandle(pi.hThread);
    *process = Process(new ProcessHandle{pi.hProcess, pi.dwProcessId}, &releaseProcess);
    return kErrorSuccess;
}

long waitProcess(const Process& process, std::int64_t timeoutMillis, std::uint32_t* exitCode) {
    if (!process) return kErrorInvalidHandle;
    const std::int64_t deadline = nowMillis() + (timeoutMillis < 0 ? 0 : timeoutMillis);
    // Small real steps, so a manual or scaled clock decides the time-out.
    while (WaitForSingleObject(process->process, 20) == WAIT_TIMEOUT) {
        if (timeoutMillis >= 0 && nowMillis() >= deadline) return kWaitTimeout;
    }
    DWORD code = 0;
    if (!GetExitCodeProcess(process->process, &code)) return static_cast<long>(GetLastError());
    if (exitCode) *exitCode = code;
    return kErrorSuccess;
}

long terminateProcess(const Process& process, std::uint32_t exitCode) {
    if (!process) return kErrorInvalidHandle;
    if (!TerminateProcess(process->process, exitCode)) return static_cast<long>(GetLastError());
    WaitForSingleObject(process->process, 5000);
    return kErrorSuccess;
}

long processId(const Process& process) { return process ? static_cast<long>(process->pid) : -1; }

long currentProcessId() { return static_cast<long>(GetCurrentProcessId()); }

long currentProcessUsage(ProcessUsage* usage) {
    *usage = ProcessUsage{};
    HANDLE self = GetCurrentProcess();
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    if (!K32GetProcessMemoryInfo(self, &memory, sizeof memory)) return static_cast<long>(GetLastError());
    usage->residentBytes = memory.WorkingSetSize;
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(self, &created, &exited, &kernel, &user)) return static_cast<long>(GetLastError());
    auto ticks = [](const FILETIME& t) {
        return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    usage->cpuSeconds = static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;  // 100 ns units
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return static_cast<long>(GetLastError());
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    const DWORD pid = GetCurrentProcessId();
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == pid) ++usage->threads;
    CloseHandle(snapshot);
    return 0;
}

void releaseFreeMemory() { HeapCompact(GetProcessHeap(), 0); }

}  // namespace platform
