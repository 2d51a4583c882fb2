// The agent's start-up routine, in its fixed order, and the main loop.
#include <filesystem>
#include <string>
#include <sys/stat.h>

#include "agent/scheduler/scheduler.h"
#include "agent/service/agent_log.h"
#include "agent/service/service.h"
#include "agent/service/settings.h"
#include "common/log.h"
#include "platform/clock.h"
#include "platform/net.h"

namespace {

// Steps whose modules are not part of the agent yet.
void scheduleUpgradeCheckStep() {}
void initHttpLibraryStep() {}
void initHostCacheStep() {}
void startCollectorThreadsStep() {}
void initMutexesStep() {}
void openEventStoreStep() {}
void createEventTablesStep() {}
void scheduleTransferStep() {}
void initLogTypeMappingStep() {}
void removeServerDataFilesStep() {}
void loadDataDictionaryStep() {}
void loadParserRulesStep() {}
bool registerAgentStep() { return true; }
void sendServiceStartedStep() {}
void reportVersionStep(const std::string& /*installBin*/) {}
void freshInstallCheckStep() {}
void enablePrivilegeStep() {}
void loadMonitorRequestsStep() {}
void loadBaseConfigurationStep() {}
void scheduleFimJobsStep() {}
void startDriveMonitorsStep() {}
void startPollDispatcherStep() {}
void loadAllHostsStep() {}
void loadLogTypeMappingStep() {}
void pollConfigurationUpdatesStep() {}
bool fetchAwsPublicIp(std::string* /*ip*/) { return false; }

void createDataDirectories() {
    for (const char* dir : {"serverdata", "data/changedata", "data/basedata", "data/periodicdata",
                            "data/newdata"}) {
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
    }
}

// The agent's host name and every IPv4 address it resolves to, comma-separated.
void determineHostNameAndIp() {
    std::string hostName;
    long error = platform::localHostName(&hostName);
    if (error != 0) {
        LogError("Problem in getting SL Host IP Error Code is%d \n", static_cast<int>(error));
        SetAgentHost("", "");
        return;
    }
    std::string ipText;
    std::vector<std::string> addresses;
    if (platform::resolveIpv4(hostName, &addresses) == 0) {
        for (std::size_t i = 0; i < addresses.size(); ++i) {
            if (i) ipText += ",";
            ipText += addresses[i];
        }
    }
    SetAgentHost(hostName, ipText);
    LogInfo("\n Agent Hostname : %s, IP: %s", hostName.c_str(), ipText.c_str());
}

// On an AWS instance the public address replaces the local ones; without it
// the agent cannot register correctly and ends.
void detectAws() {
    if (GetAgentSetting("AWS Instance").value_or("") != "yes") {
        LogInfo("\n Normal Log Collector Agent Installation");
        return;
    }
    LogInfo("\n AWS Instance recognized");
    std::string ip;
    if (!fetchAwsPublicIp(&ip)) {
        LogInfo("\n problem fetching AWS public ip.......terminating process");
        std::fflush(nullptr);
        std::_Exit(1);
    }
    LogInfo("\n AWS public ip %s", ip.c_str());
    SetAgentHost(AgentHostName(), ip);
    SetAwsFlag(true);
}

std::string spacesToPlus(std::string text) {
    for (char& c : text)
        if (c == ' ') c = '+';
    return text;
}

}  // namespace

void RunAgent() {
    // 1. The core.
    initScheduler();
    startSchedulerThread();
    scheduleUpgradeCheckStep();
    initHttpLibraryStep();
    initHostCacheStep();
    startCollectorThreadsStep();
    initMutexesStep();
    openEventStoreStep();
    createEventTablesStep();
    createDataDirectories();
    scheduleTransferStep();
    initLogTypeMappingStep();
    removeServerDataFilesStep();
    // 2-5. Identity, flags, install-bin text.
    determineHostNameAndIp();
    detectAws();
    SetProtocolFlag();
    SetDatabaseFlag();
    const std::string installBin = InstallBinDir();
    // 6-8.
    loadDataDictionaryStep();
    loadParserRulesStep();
    ScheduleLogRotation();
    // 9-11. Registration blocks until the server gives an id (or a stop comes).
    if (!registerAgentStep()) return;
    LogInfo("\n Got agent id: %lld", static_cast<long long>(AgentId()));
    sendServiceStartedStep();
    reportVersionStep(spacesToPlus(installBin));
    // 12-17. File integrity monitoring.
    freshInstallCheckStep();
    enablePrivilegeStep();
    loadMonitorRequestsStep();
    loadBaseConfigurationStep();
    scheduleFimJobsStep();
    startDriveMonitorsStep();
    // 18-20. Hosts.
    startPollDispatcherStep();
    loadAllHostsStep();
    loadLogTypeMappingStep();
    // 21. Main loop.
    while (!WaitForAgentStop(60000)) pollConfigurationUpdatesStep();
}

void InvokeShutdown() {
    LogEssential("\n InvokeShutdown : Ambrik service shutting down");
    RequestAgentStop();
}
