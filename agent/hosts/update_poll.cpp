// Configuration update polling.

#include "agent/hosts/update_poll.h"

#include <mutex>
#include <utility>

#include "agent/hosts/host_cache.h"
#include "agent/hosts/host_internal.h"
#include "agent/hosts/host_rules.h"
#include "agent/server/http_client.h"
#include "agent/server/protocol.h"
#include "agent/settings/settings.h"
#include "agent/tablestore/imds.h"
#include "common/log.h"

using namespace hosts_internal;

namespace {

std::mutex g_refreshLock;
std::function<void()> g_monitorRequestsRefresh;

// The slot that holds the host for a rule change, or none (findHostSlot
// reports a full table; a free slot holds no rules to refresh).
HostSlot* ruleChangeSlot(std::int64_t hostId) {
    HostSlot* slot = findHostSlot(hostId);
    if (slot == nullptr || findMonitoredHost(hostId) != slot) return nullptr;
    return slot;
}

}  // namespace

void setMonitorRequestsRefresh(std::function<void()> refresh) {
    std::lock_guard<std::mutex> lock(g_refreshLock);
    g_monitorRequestsRefresh = std::move(refresh);
}

void applyServiceUpdates() {
    ResultHandle rows = SelectRows("SLUPDATE", nullptr);
    if (!rows || rows->rowCount == 0) {
        LogInfo("\n No updates available for hosts");
        FreeResultData(rows);
        return;
    }
    while (GotoNextRowObject(rows) != nullptr) {
        auto type = readText(rows.get(), "SERVICETYPE");
        auto id = readInteger(rows.get(), "SERVICEID");
        if (!type || !id) continue;
        if (*type == "Host") {
            updateHost(*id);
        } else if (*type == "Filter") {
            if (HostSlot* slot = ruleChangeSlot(*id)) refreshHostFilters(slot);
        } else if (*type == "Alert") {
            if (HostSlot* slot = ruleChangeSlot(*id)) refreshHostNotifications(slot);
        }
    }
    FreeResultData(rows);
}

void pollConfigurationUpdates() {
    if (hostListPending()) loadAllHosts();
    FetchTableData(RequestUrl<Request::Update>(AgentId()));
    applyServiceUpdates();
    DeleteAllTableRowObjects("SLUPDATE");
    std::function<void()> refresh;
    {
        std::lock_guard<std::mutex> lock(g_refreshLock);
        refresh = g_monitorRequestsRefresh;
    }
    if (refresh) refresh();
}
