// Processes through CreateProcess: the platform splits and searches the
// command line itself; waits are measured on the clock module.
#include "platform/process.h"

#include <windows.h>

#include "platform/clock.h"
#include "platform/text.h"

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

}  // namespace

long startProcess(const std::string& commandLine, const std::string& workingDirectory, bool showWindow,
                  Process* process) {
    if (!process) return kErrorInvalidParameter;
    if (splitCommandLine(commandLine).empty()) return kErrorInvalidParameter;
    std::u16string line16 = utf8ToUtf16(commandLine);
    std::wstring line(line16.begin(), line16.end());  // CreateProcessW may write into it
    std::u16string dir16 = utf8ToUtf16(workingDirectory);
    std::wstring dir(dir16.begin(), dir16.end());

    STARTUPINFOW si{};
    si.cb = sizeof si;
    if (showWindow) {
        si.dwFlags = STARTF_USESHOWWINDOW;
        si.wShowWindow = SW_SHOWNORMAL;
    }
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_DEFAULT_ERROR_MODE | CREATE_NO_WINDOW,
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

}  // namespace platform
