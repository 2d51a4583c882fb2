// Runs the test program in its service role (contract_child.h) and stops it
// as the system's service manager does. POSIX: a child process, stopped with
// SIGTERM. Windows: a service created for the run in the Service Control
// Manager, started, sent SERVICE_CONTROL_STOP and deleted afterwards.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <signal.h>
#endif

#include "platform/process.h"
#include "tests/support/contract_child.h"
#include "tests/support/temp_folder.h"

class ServiceRun {
public:
    explicit ServiceRun(const std::string& statusFile) {
#if defined(_WIN32)
        manager_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        if (!manager_) {
            error_ = static_cast<long>(GetLastError());
            return;
        }
        removeLeftover();
        const std::wstring path = wide(childCommandLine({"service", statusFile}));
        service_ = CreateServiceW(manager_, kName, kName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                  SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, path.c_str(), nullptr, nullptr,
                                  nullptr, nullptr, nullptr);
        if (!service_) {
            error_ = static_cast<long>(GetLastError());
            return;
        }
        // The manager refuses starts while it still starts the system's own
        // services (a fresh prefix): that refusal passes, so it is retried.
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!StartServiceW(service_, 0, nullptr)) {
            error_ = static_cast<long>(GetLastError());
            if (error_ != ERROR_SERVICE_DATABASE_LOCKED || std::chrono::steady_clock::now() > end) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        error_ = 0;
#else
        error_ = platform::startProcess(childCommandLine({"service", statusFile}), "", false, &process_);
#endif
    }
    ~ServiceRun() {
#if defined(_WIN32)
        if (service_) {
            SERVICE_STATUS status{};
            ControlService(service_, SERVICE_CONTROL_STOP, &status);
            DeleteService(service_);
            CloseServiceHandle(service_);
        }
        if (manager_) CloseServiceHandle(manager_);
#else
        if (process_) platform::terminateProcess(process_, 1);
#endif
    }
    ServiceRun(const ServiceRun&) = delete;
    ServiceRun& operator=(const ServiceRun&) = delete;

    // 0 when the service was started, else the system's error.
    long started() const { return error_; }

    // Sends the stop control; 0 or the system's error.
    long stop() {
#if defined(_WIN32)
        SERVICE_STATUS status{};
        return ControlService(service_, SERVICE_CONTROL_STOP, &status) ? 0 : static_cast<long>(GetLastError());
#else
        return ::kill(static_cast<pid_t>(platform::processId(process_)), SIGTERM) == 0 ? 0 : 1;
#endif
    }

    // Waits, at most the given real time, until the service has stopped; its
    // exit code (Windows: the Win32 exit code it reported).
    bool waitStopped(std::chrono::seconds limit, std::uint32_t* exitCode) {
#if defined(_WIN32)
        const auto end = std::chrono::steady_clock::now() + limit;
        SERVICE_STATUS status{};
        while (QueryServiceStatus(service_, &status) && status.dwCurrentState != SERVICE_STOPPED) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (exitCode) *exitCode = status.dwWin32ExitCode;
        return status.dwCurrentState == SERVICE_STOPPED;
#else
        std::uint32_t code = 0;
        // The system clock: the test does not install a manual one.
        if (platform::waitProcess(process_, std::chrono::milliseconds(limit).count(), &code) != 0) return false;
        if (exitCode) *exitCode = code;
        return true;
#endif
    }

private:
#if defined(_WIN32)
    static constexpr const wchar_t* kName = L"AmbrikContractService";
    static std::wstring wide(const std::string& text) {
        const std::u8string u8(text.begin(), text.end());
        return std::filesystem::path(u8).wstring();
    }
    void removeLeftover() {
        if (SC_HANDLE old = OpenServiceW(manager_, kName, SERVICE_ALL_ACCESS)) {
            DeleteService(old);
            CloseServiceHandle(old);
        }
    }
    SC_HANDLE manager_ = nullptr;
    SC_HANDLE service_ = nullptr;
#else
    platform::Process process_{nullptr, nullptr};
#endif
    long error_ = 0;
};

// Waits, at most the given real time, until the file holds the text.
inline bool waitForFileText(const std::filesystem::path& file, const std::string& text, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (readWholeFile(file).find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}
