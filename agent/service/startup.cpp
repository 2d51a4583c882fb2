// The agent's start-up routine, in its fixed order, and the main loop.
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "agent/collection/host_poll_queue.h"
#include "agent/collection/parser_rules.h"
#include "agent/collection/wmi_query.h"
#include "agent/fim/fim_datasets.h"
#include "agent/fim/file_worker.h"
#include "agent/fim/fim_locks.h"
#include "agent/fim/fresh_install.h"
#include "agent/fim/monitor_config.h"
#include "agent/fim/volume_monitor.h"
#include "agent/hosts/host_cache.h"
#include "agent/hosts/update_poll.h"
#include "agent/scheduler/scheduler.h"
#include "agent/server/http_client.h"
#include "agent/server/protocol.h"
#include "agent/server/upgrade.h"
#include "agent/store/data_files.h"
#include "agent/store/event_store.h"
#include "agent/store/transfer.h"
#include "agent/store/transfer_pipeline.h"
#include "agent/tablestore/data_dict.h"
#include "common/threads.h"
#include "agent/settings/agent_log.h"
#include "agent/service/service.h"
#include "agent/service/status_file.h"
#include "agent/settings/settings.h"
#include "common/log.h"
#include "platform/clock.h"
#include "platform/env.h"
#include "platform/fs.h"
#include "platform/private_files.h"
#include "platform/net.h"
#include "platform/security.h"

namespace {

// How long the stop waits for the transfers it handed over before it sends
// ServiceStop: the whole stop must end within 20 s.
constexpr std::int64_t kStopTransferBudgetMillis = 18000;

// The rules of file integrity monitoring, and the hooks that let the event
// transfer and the update poll reach them.
void loadMonitorRequestsStep() {
    setTransferDriveSetLock(&driveSetLock());
    setMonitorRequestsRefresh(refreshMonitorRequests);
    loadMonitorRequests();
}

// Enables the privilege that lets the agent read the security of every file
// (on Linux: root or CAP_DAC_READ_SEARCH). No token, no messages.
void enablePrivilegeStep() {
    platform::security::WinError lastError = 0;
    if (!platform::security::enableSecurityPrivilege(lastError)) return;
    LogInfo("\n Trying to change privilege");
    if (lastError == 0)
        LogInfo("\n Successfully changed privilege\n");
    else
        LogError("\n privilege change attempt failed\n");
}

// The metadata service of an AWS instance; ORBISK_AWS_METADATA_URL points
// it elsewhere (tests use a loopback server).
std::string awsMetadataBase() {
    std::string base = platform::getEnvironment("ORBISK_AWS_METADATA_URL").value_or("");
    if (base.empty()) base = "http://169.254.169.254/";
    if (base.back() != '/') base += '/';
    return base;
}

bool fetchAwsPublicIp(std::string* ip) {
    ResponseBuffer response;
    if (HttpGetToBuffer(awsMetadataBase() + "latest/meta-data/public-ipv4", response) != 0)
        return false;
    *ip = response.data;
    while (!ip->empty() && (ip->back() == '\n' || ip->back() == '\r' || ip->back() == '\0'))
        ip->pop_back();
    return !ip->empty();
}

// Registration blocks start-up until the server gives an id; a stop request
// ends the retries.
bool registerWithServer() {
    std::optional<std::int64_t> id = ObtainAgentId();
    if (!id) return false;
    SetAgentId(*id);
    return true;
}

// The data folders admit only the agent's user; files an earlier version left
// readable to others are closed too.
void createDataDirectories() {
    for (const char* dir : {"serverdata", "data/changedata", "data/basedata", "data/periodicdata",
                            "data/newdata"}) {
        if (!platform::makePrivateDirectory(dir)) {
            LogError("\n Unable to create the private folder %s: %s", dir, std::strerror(errno));
            continue;
        }
        std::vector<platform::DirectoryEntry> entries;
        platform::listDirectory(dir, &entries);
        for (const platform::DirectoryEntry& entry : entries)
            platform::makePrivateFile(platform::joinFolderPath(dir, entry.name));
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
        FlushLog();
        std::fflush(nullptr);
        std::_Exit(1);
    }
    LogInfo("\n AWS public ip %s", ip.c_str());
    SetAgentHost(AgentHostName(), ip);
    SetAwsFlag(true);
}

}  // namespace

void RunAgent() {
    // 1. The core.
    NoteAgentStarted();
    initScheduler();
    startSchedulerThread();
    startTransferWorker();
    startFileWorker();
    // The first upgrade check may run at once on the scheduler thread: the
    // protocol flag and the HTTP library must be ready before it is scheduled.
    SetProtocolFlag();
    WarnIfHttpsUnpinned();
    HttpGlobalInit();
    ScheduleUpgradeCheck();
    initHostCache();
    startCollectorThreads();
    InitMutex();
    openEventStore();
    createEventTables();
    createDataDirectories();
    scheduleTransfer();
    ScheduleStatusFile();
    ResetLogTypeMapping();
    removeServerDataFiles();
    // 2-5. Identity, flags, install-bin text.
    determineHostNameAndIp();
    configureWmiHosts();
    detectAws();
    SetDatabaseFlag();
    const std::string installBin = InstallBinDir();
    // 6-8.
    LoadDataDictFromXMLFile("data/data-dictionary.xml");
    loadParserRules();
    ScheduleLogRotation();
    // 9-11. Registration blocks until the server gives an id (or a stop comes).
    if (!registerWithServer()) return;
    LogInfo("\n Got agent id: %lld", static_cast<long long>(AgentId()));
    SendServiceStarted();
    ReportAgentVersion(installBin);  // sent with its blanks as "+"
    // 12-17. File integrity monitoring.
    if (checkFreshInstall()) deleteJournalAndDBFile();
    enablePrivilegeStep();
    loadMonitorRequestsStep();
    loadBaseConfiguration();
    scheduleFimJobs();
    startDriveMonitors();
    // 18-20. Hosts.
    startPollDispatcher();
    loadAllHosts();
    LoadLogTypeMapping();
    // 21. Main loop.
    while (!WaitForAgentStop(60000)) pollConfigurationUpdates();
}

void InvokeShutdown() {
    const std::int64_t began = platform::nowMillis();
    LogEssential("\n InvokeShutdown : Ambrik service shutting down");
    RequestAgentStop();
    StopObtainAgentId();
    if (!HaveAgentId()) {  // stopped during registration: nothing was collected or sent
        WriteStatusFile();
        return;
    }
    // The last transfer, then periodic, new, change and base: the worker
    // sends them in that order after an upload already under way.
    transferEventData();
    std::vector<std::shared_ptr<VolumeMonitor>> stopped = stopAllMonitors();
    deleteAllHosts();
    // A stalled upload may not keep ServiceStop from going out within the
    // stop's 20 s; what it carried stays staged for the next start.
    const std::int64_t left = kStopTransferBudgetMillis - (platform::nowMillis() - began);
    if (!waitForTransfers(left > 0 ? left : 0))
        LogInfo("\n Transfers still under way at the stop; their files wait for the next start");
    SendServiceStop();
    WriteStatusFile();
    // Closing the volumes saves their state for the next start; it may take
    // seconds and is the one part of the stop the 20 s limit can cut short.
    stopped.clear();
}
