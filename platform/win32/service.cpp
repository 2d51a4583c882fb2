// Service control through the Service Control Manager, and the console's
// Ctrl handler for a run in the console.
#include "platform/service.h"

#include "platform/win32/win32_util.h"

#include <atomic>
#include <mutex>
#include <thread>

namespace platform {

namespace {

// A pending state reported without a wait hint gets this one, so that the
// service manager (and "sc stop") waits out a shutdown of up to 20 s.
constexpr DWORD kPendingWaitHintMillis = 25000;

std::mutex g_lock;
std::function<void()> g_serviceMain;
std::function<void(std::uint32_t)> g_handler;
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
ServiceStatus g_lastStatus;
std::function<void()> g_consoleStop;
std::atomic<bool> g_consoleStopping{false};

void WINAPI serviceMainEntry(DWORD /*argc*/, LPWSTR* /*argv*/) {
    std::function<void()> serviceMain;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        serviceMain = g_serviceMain;
    }
    if (serviceMain) serviceMain();
}

// Runs on the dispatcher thread, which must answer the service manager at
// once: the registered handler (which may run the whole shutdown) gets a
// thread of its own, as on POSIX.
DWORD WINAPI controlHandlerEx(DWORD control, DWORD /*eventType*/, LPVOID /*eventData*/, LPVOID /*context*/) {
    if (control == SERVICE_CONTROL_INTERROGATE) return NO_ERROR;
    std::function<void(std::uint32_t)> handler;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        handler = g_handler;
    }
    if (handler) std::thread([handler, control] { handler(control); }).detach();
    return NO_ERROR;
}

BOOL WINAPI consoleHandler(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            break;
        default:
            return FALSE;
    }
    if (!g_consoleStopping.exchange(true)) {
        std::function<void()> onStop;
        {
            std::lock_guard<std::mutex> guard(g_lock);
            onStop = g_consoleStop;
        }
        if (onStop) std::thread(onStop).detach();
    }
    // For a closing console the process ends when this returns: the stop
    // (which ends the process itself) is given the time the system allows.
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) Sleep(INFINITE);
    return TRUE;
}

}  // namespace

// Windows has no stop signals; the service manager and the console deliver
// stops through the handlers below.
void blockStopSignals() {}

long startServiceCtrlDispatcher(const std::string& serviceName, const std::function<void()>& serviceMain) {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_serviceMain = serviceMain;
    }
    std::wstring name = win32::widen(serviceName);
    SERVICE_TABLE_ENTRYW table[] = {{name.data(), serviceMainEntry}, {nullptr, nullptr}};
    // Returns once every service of the process has reported stopped.
    if (!StartServiceCtrlDispatcherW(table)) return static_cast<long>(GetLastError());
    return 0;
}

long registerServiceCtrlHandler(const std::string& serviceName, std::function<void(std::uint32_t)> handler) {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_handler = std::move(handler);
    }
    SERVICE_STATUS_HANDLE h =
        RegisterServiceCtrlHandlerExW(win32::widen(serviceName).c_str(), controlHandlerEx, nullptr);
    if (h == nullptr) return static_cast<long>(GetLastError());
    std::lock_guard<std::mutex> guard(g_lock);
    g_statusHandle = h;
    g_lastStatus = ServiceStatus{};  // a new run reports afresh
    return 0;
}

bool setServiceStatus(const ServiceStatus& status) {
    // One report at a time, and none after "stopped": a handler that reports
    // late must not turn a stopped service back into a pending one, which the
    // manager would then wait on for ever.
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_lastStatus.currentState == kServiceStopped && g_statusHandle != nullptr) return true;
    g_lastStatus = status;
    const SERVICE_STATUS_HANDLE handle = g_statusHandle;
    SERVICE_STATUS s{};
    s.dwServiceType = status.serviceType;
    s.dwCurrentState = status.currentState;
    s.dwControlsAccepted = status.controlsAccepted;
    s.dwWin32ExitCode = status.win32ExitCode;
    s.dwServiceSpecificExitCode = status.serviceSpecificExitCode;
    s.dwCheckPoint = status.checkPoint;
    s.dwWaitHint = status.waitHint;
    const bool pending = status.currentState == kServiceStartPending || status.currentState == kServiceStopPending;
    if (pending && s.dwWaitHint == 0) s.dwWaitHint = kPendingWaitHintMillis;
    if (handle == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return SetServiceStatus(handle, &s) != 0;
}

void watchConsoleStop(std::function<void()> onStop) {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_consoleStop = std::move(onStop);
    }
    SetConsoleCtrlHandler(consoleHandler, TRUE);
}

ServiceStatus lastServiceStatus() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_lastStatus;
}

}  // namespace platform
