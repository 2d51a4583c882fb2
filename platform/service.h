// Service control: the dispatcher, the control handler and status reports.
//
// Windows: the Service Control Manager. The dispatcher returns 1063 when the
// program was not started by it (a console run). The manager's call of the
// control handler is answered at once and the registered handler runs on a
// thread of its own, as on POSIX, so it may take the whole shutdown time. A
// pending state reported with a wait hint of 0 is handed over with 25 s, so
// that the manager waits out a 20 s shutdown. A console run is stopped by
// Ctrl-C, Ctrl-Break, closing the console, log-off or shutdown.
//
// POSIX: the service runs in the foreground (under systemd or
// start-stop-daemon): SIGTERM is the stop control and SIGINT a stop too;
// status reports go to systemd's notify socket when NOTIFY_SOCKET is set.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace platform {

// Service states and controls, with their Windows values.
constexpr std::uint32_t kServiceStopped = 1;
constexpr std::uint32_t kServiceStartPending = 2;
constexpr std::uint32_t kServiceStopPending = 3;
constexpr std::uint32_t kServiceRunning = 4;
constexpr std::uint32_t kServiceControlStop = 1;
constexpr std::uint32_t kServiceControlShutdown = 5;
constexpr std::uint32_t kServiceWin32OwnProcess = 0x10;
constexpr std::uint32_t kServiceWin32ShareProcess = 0x20;

struct ServiceStatus {
    std::uint32_t serviceType = 0;
    std::uint32_t currentState = 0;
    std::uint32_t controlsAccepted = 0;
    std::uint32_t win32ExitCode = 0;
    std::uint32_t serviceSpecificExitCode = 0;
    std::uint32_t checkPoint = 0;
    std::uint32_t waitHint = 0;
};

// Blocks the stop signals in the calling thread and every thread it starts
// afterwards, so that only the dispatcher or the console watcher receives
// them. Call first in main, before any thread exists. (Nothing to do on
// Windows.)
void blockStopSignals();

// Runs the service: starts serviceMain on its own thread and delivers stop
// controls to the registered handler until serviceMain returns. Returns 0, or
// a Windows error code when the dispatcher cannot start.
long startServiceCtrlDispatcher(const std::string& serviceName,
                                const std::function<void()>& serviceMain);

// Registers the control handler of the service; 0 on success.
long registerServiceCtrlHandler(const std::string& serviceName,
                                std::function<void(std::uint32_t control)> handler);

// Hands a status record to the service manager; true on success. Once a
// registered service has reported stopped, later reports are dropped (and
// count as success).
bool setServiceStatus(const ServiceStatus& status);

// Console run: calls onStop on a thread of its own, once, when Ctrl-C
// (SIGINT) or SIGTERM arrives, or on Windows a console control event.
// Needs blockStopSignals() first.
void watchConsoleStop(std::function<void()> onStop);

// The last status record handed over (for tests and diagnostics).
ServiceStatus lastServiceStatus();

}  // namespace platform
