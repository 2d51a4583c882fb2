// Set-up shared by the collection run tests and benchmarks: the agent pointed
// at a test server (with its log type mapping loaded) and a host slot ready
// to be collected.
#pragma once

#include <cstdint>
#include <string>

#include "agent/hosts/host_cache.h"
#include "agent/server/http_client.h"
#include "agent/server/protocol.h"
#include "agent/settings/settings.h"

namespace collection_test {

inline void pointAgentAtServer(int port) {
    ResetAgentSettings();
    PutAgentSetting("ServerProtocol", "http");
    PutAgentSetting("ServerIPAddress", "127.0.0.1");
    PutAgentSetting("ServerPort", std::to_string(port));
    SetAgentId(1001);
    SetAgentHost("agentbox", "10.9.9.9,127.0.0.200");
    SetServerStatus(kServerUp);
    ResetLogTypeMapping();
    LoadLogTypeMapping();
}

// A Windows host that has never been collected, account CORP\admin / secret.
inline void prepareWindowsHost(HostSlot& slot, std::int64_t id, const std::string& dnsName) {
    withHostSlot(slot, [&](HostSlot& h) {
        h.inUse = 1;
        h.hostId = id;
        h.hostName = dnsName;
        h.domain = "CORP";
        h.ipAddress = "127.0.1." + std::to_string(id % 250);
        h.type = "Windows";
        h.userName = "admin";
        h.password = "secret";
        h.monInterval = 2;
        h.collectionEnabled = 1;
        h.status = 0;
        h.lastMessageTime = 0;
        h.lastMessageTimeText.clear();
        h.lastTimeUpdated = 0;
        h.timeZoneDiff = 0;
        h.majorVersion = -1;
        h.minorVersion = -1;
    });
}

}  // namespace collection_test
