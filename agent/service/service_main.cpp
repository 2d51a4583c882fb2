// Program entry and the service layer: dispatcher, control handler, status
// reports and the shutdown thread.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "agent/service/service.h"
#include "agent/settings/settings.h"
#include "common/log.h"
#include "common/process_helpers.h"
#include "common/threads.h"
#include "platform/private_files.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/service.h"
#include "platform/threads.h"

namespace {

constexpr const char* kServiceName = "Quillmark Orbisk 8 - Agent";
constexpr std::int64_t kShutdownLimitMillis = 20000;

platform::Event& serviceStopEvent() {
    static platform::Event e(true);
    return e;
}
platform::Event& agentStopEvent() {
    static platform::Event e(true);
    return e;
}

std::mutex g_statusLock;
platform::ServiceStatus g_status;
std::uint32_t g_checkPoint = 1;

// "Error Code : %d , Error Message : %s \n", or "Message : %s " for 0.
void reportError(long code) { ReportErrorCode(code, MessageLayout::Agent); }

bool ChangeServiceStatus(std::uint32_t state) {
    platform::ServiceStatus status;
    {
        std::lock_guard<std::mutex> guard(g_statusLock);
        g_status.serviceType = platform::kServiceWin32OwnProcess | platform::kServiceWin32ShareProcess;
        g_status.currentState = state;
        g_status.controlsAccepted = 0xC7;
        g_status.win32ExitCode = 0;
        g_status.serviceSpecificExitCode = 0;
        g_status.checkPoint = 0;
        g_status.waitHint = 0;
        status = g_status;
    }
    if (!platform::setServiceStatus(status)) {
        LogInfo("\n ChangeServiceStatus : SetServiceStatus is failed due to following error !!");
        reportError(platform::lastSystemError());
        return false;
    }
    return true;
}

bool ReportSvcStatus(std::uint32_t state, std::uint32_t exitCode, std::uint32_t waitHint) {
    LogInfo("\n Inside ReportSvcStatus");
    platform::ServiceStatus status;
    {
        std::lock_guard<std::mutex> guard(g_statusLock);
        g_status.currentState = state;
        g_status.win32ExitCode = exitCode;
        g_status.waitHint = waitHint;
        g_status.controlsAccepted = state == platform::kServiceStartPending ? 0 : 1;
        if (state == platform::kServiceRunning || state == platform::kServiceStopped)
            g_status.checkPoint = 0;
        else
            g_status.checkPoint = g_checkPoint++;
        status = g_status;
    }
    return platform::setServiceStatus(status);
}

// Runs InvokeShutdown on its own thread and waits for it at most 20 s
// (without a thread to be had, here and without the limit).
void runShutdownWithLimit() {
    const ThreadHandle shutdown = CreateNewThread(InvokeShutdown);
    if (shutdown)
        WaitForThread(shutdown, kShutdownLimitMillis);
    else
        InvokeShutdown();
}

void SvcCtrlHandler(std::uint32_t control) {
    LogInfo("\n Inside SvcCtrlHandler");
    if (control != platform::kServiceControlStop && control != platform::kServiceControlShutdown)
        return;
    ReportSvcStatus(platform::kServiceStopPending, 0, 0);
    runShutdownWithLimit();
    serviceStopEvent().set();
    std::uint32_t current;
    {
        std::lock_guard<std::mutex> guard(g_statusLock);
        current = g_status.currentState;
    }
    ReportSvcStatus(current, 0, 0);
}

void ServiceMain() {
    LogInfo("\n**************************************************************************************************");
    LogInfo("\n Inside ServiceMain() ");
    long rc = platform::registerServiceCtrlHandler(kServiceName, SvcCtrlHandler);
    if (rc != 0) {
        LogInfo("\n ServiceMain : RegisterServiceCtrlHandler failed to register the callback due to following error !! ");
        reportError(rc);
        return;
    }
    LogInfo("\n SeviceMain : RegisterServiceCtrlHandler callback registration is successful ");
    if (!CreateNewThread(RunAgent)) return;
    if (!ChangeServiceStatus(platform::kServiceRunning)) return;
    LogInfo("\n ServiceMain : Orbisk Agent Service is started successfully");
    serviceStopEvent().wait(-1);
    ChangeServiceStatus(platform::kServiceStopped);
}

// Ends the process without running static destructors while the agent's
// threads may still be working.
[[noreturn]] void endProcess(int code) {
    FlushLog();
    std::fflush(nullptr);
    std::_Exit(code);
}

}  // namespace

bool AgentStopRequested() { return agentStopEvent().isSet(); }

void RequestAgentStop() { agentStopEvent().set(); }

bool WaitForAgentStop(long long ms) { return agentStopEvent().wait(ms); }

int AgentMain(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--help") {
        std::printf(
            "Usage: ambrik            run as the service (stop with SIGTERM)\n"
            "       ambrik console    run in the console (any single argument; stop with Ctrl-C)\n"
            "       ambrik --version  print the version\n"
            "The registry file is $ORBISK_REGISTRY (default /etc/orbisk/registry.reg).\n");
        return 0;
    }
    if (argc == 2 && std::string(argv[1]) == "--version") {
        std::printf("ambrik %s\n", AMBRIK_VERSION);
        return 0;
    }
    // Logs and data files hold the hosts' data: nobody but the agent's user
    // may read them.
    platform::restrictNewFiles();
    platform::blockStopSignals();
    if (!LoadAgentSettings()) return 1;
    LogInfo("\n Inside Main :::::::::");
    if (argc == 1) {
        LogInfo("\n Main : Starting Ambrik as Windows Service");
        long rc = platform::startServiceCtrlDispatcher(kServiceName, ServiceMain);
        if (rc != 0) {
            LogInfo("\n Main : StartServiceCtrlDispatcher is failed to start due to the following error !!!");
            reportError(rc);
        }
        endProcess(0);
    }
    if (argc == 2) {
        LogInfo("\n Main : Starting Ambrik from command prompt");
        platform::watchConsoleStop([] {
            runShutdownWithLimit();
            endProcess(0);
        });
        RunAgent();
        // RunAgent returns only after a stop; the watcher ends the process.
        for (;;) platform::sleepMillis(1000);
    }
    return 0;
}
