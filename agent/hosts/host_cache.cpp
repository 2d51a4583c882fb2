// The 25 host slots: full loads, single-host updates and deletions, and the
// hand-over between the main thread's changes and a running collection.

#include "agent/hosts/host_cache.h"

#include <array>
#include <atomic>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "agent/hosts/host_internal.h"
#include "agent/scheduler/scheduler.h"
#include "agent/server/http_client.h"
#include "agent/server/protocol.h"
#include "agent/settings/settings.h"
#include "common/log.h"
#include "common/text_format.h"
#include "platform/clock.h"

using namespace hosts_internal;

namespace {

struct SlotEntry {
    HostSlot slot;
    std::mutex guard;
    // Changes that arrived while the slot's collection ran, in arrival order.
    std::vector<HostChange> pending;
};

std::array<SlotEntry, MAX_HOSTS>& slotTable() {
    static std::array<SlotEntry, MAX_HOSTS> table;
    return table;
}

SlotEntry& entryOf(HostSlot& slot) { return slotTable()[static_cast<std::size_t>(hostSlotIndex(slot))]; }

std::atomic<std::int64_t> g_ownHostId{0};
std::atomic<std::int32_t> g_hostWindow{60};
std::atomic<bool> g_hostListPending{false};

void assignBounded(std::string& field, const std::string& value, std::size_t fieldSize) {
    copyBounded(field, value, fieldSize);
}

std::mutex g_timerCallbackLock;
HostTimerCallback g_timerCallback;

void hostTimerFired(std::int32_t slotNumber) {
    HostTimerCallback fired;
    {
        std::lock_guard<std::mutex> lock(g_timerCallbackLock);
        fired = g_timerCallback;
    }
    if (fired) fired(slotNumber);
}

bool blank(const std::string& text) { return text.find_first_not_of(' ') == std::string::npos; }

// Arms the host's periodic collection timer, first run after the given
// seconds; 1 on success, 0 for a host without credentials or interval.
// The caller holds the slot's guard.
int createHostTimer(HostSlot& slot, int secondsUntilFirstRun) {
    if (blank(slot.userName) || slot.monInterval <= 0) {
        LogInfo("\n Not a WMI Windows host");
        return 0;
    }
    std::unique_ptr<RepeatCondStruct> repeat = makePeriodic(slot.monInterval * 60, kUnitSeconds, -1);
    if (!repeat) {
        LogError("\n Unable to allocate RepeatCondStruct memory ");
        return 0;
    }
    const std::int32_t slotNumber = hostSlotIndex(slot);
    LogInfo("\n Creating timer entry for host %lld, with i %d", static_cast<long long>(slot.hostId), slotNumber);
    slot.nextScanTime = platform::nowSeconds() + secondsUntilFirstRun;
    LogInfo("\n Next scan time for host id : %lld is at %s", static_cast<long long>(slot.hostId),
            CtimeText(slot.nextScanTime).c_str());
    const int id = scheduleEntry(
        "DEFAULT", static_cast<std::uint32_t>(slot.nextScanTime), [slotNumber] { hostTimerFired(slotNumber); },
        std::move(repeat), 0);
    if (id == 0) {
        LogError("\n Unable to create timer entry for host %lld", static_cast<long long>(slot.hostId));
        slot.timerEntryId = -1;
        return 0;
    }
    slot.timerEntryId = id;
    return 1;
}

void unscheduleHostTimer(HostSlot& slot) {
    if (slot.timerEntryId == -1) return;
    if (!unscheduleEntry("DEFAULT", slot.timerEntryId))
        LogError("\n Unscheduling failed for Host %s %d", slot.hostName.c_str(), slot.timerEntryId);
    slot.timerEntryId = -1;
}

// Frees the slot's fields; the timer must be gone already. Host id, TYPE,
// status, collection flag and LAST_MSG_TIME keep their last values.
void clearSlot(HostSlot& slot) {
    slot.filters.clear();
    slot.notifications.clear();
    slot.hostName.clear();
    slot.displayName.clear();
    slot.domain.clear();
    slot.ipAddress.clear();
    slot.userName.clear();
    slot.password.clear();
    slot.inUse = 0;
    slot.lastMessageTimeText.clear();
    slot.lastSecondEvents.clear();
    slot.collectionInProgress = 0;
    slot.collected = 0;
    slot.monInterval = -1;
    slot.majorVersion = -1;
    slot.lastTimeUpdated = 0;
    slot.lastTimeTextIsQueryStart = false;
    slot.timeZoneDiff = 0;
    slot.wmiServices.reset();
}

// Installs one change; the caller holds the slot's guard and no collection runs.
void applyChange(HostSlot& slot, HostChange& change) {
    switch (change.kind) {
    case ChangeKind::Details:
        copyConfigFields(change.values, slot);
        if (change.presence.status) slot.status = change.values.status;
        if (change.presence.lastMessageTime) slot.lastMessageTime = change.values.lastMessageTime;
        printHostDetails(slot);
        break;
    case ChangeKind::Filters:
        if (slot.inUse == 0) break;  // the host was removed before this change came
        deleteHostFilters(slot);
        slot.filters = std::move(change.values.filters);
        break;
    case ChangeKind::Notifications:
        if (slot.inUse == 0) break;
        deleteHostNotifications(slot);
        slot.notifications = std::move(change.values.notifications);
        break;
    case ChangeKind::RearmTimer:
        if (slot.inUse == 0) break;
        unscheduleHostTimer(slot);
        createHostTimer(slot, 10);
        break;
    case ChangeKind::Remove:
        if (slot.inUse == 0) break;
        deleteHostFilters(slot);
        deleteHostNotifications(slot);
        LogInfo("\n Deleting host id %lld", static_cast<long long>(slot.hostId));
        unscheduleHostTimer(slot);
        clearSlot(slot);
        break;
    }
}

void resetSlot(HostSlot& slot) {
    slot.inUse = 0;
    slot.lastMessageTimeText.clear();
    slot.lastTimeUpdated = 0;
    slot.lastTimeTextIsQueryStart = false;
    slot.filters.clear();
    slot.notifications.clear();
    slot.collectionInProgress = 0;
    slot.collected = 0;
    slot.timerEntryId = -1;
    slot.monInterval = -1;
    slot.majorVersion = -1;
    slot.wmiServices.reset();
}

// Installs a Hosts row and its details as a new full load does; true when
// the host is a Windows host and keeps the slot.
bool installHostRow(HostSlot& slot, const ResultData* hostsRow, std::int64_t hostId) {
    fillHostFromHostsRow(slot, hostsRow);
    ResultHandle details = SelectRows("HostDetails", idCriteria("HOST_ID", hostId).c_str());
    bool windows = false;
    if (details && GotoNextRowObject(details) != nullptr && isWindowsHost(details.get())) {
        fillHostDetails(slot, details.get());
        windows = true;
    } else {
        slot.inUse = 0;
    }
    FreeResultData(details);
    return windows;
}

}  // namespace

namespace hosts_internal {

std::optional<std::string> readText(const ResultData* result, const char* column) {
    int length = 0;
    const void* value = GetColumnValueByName(column, &length, result);
    if (value == nullptr) return std::nullopt;
    return std::string(static_cast<const char*>(value), static_cast<std::size_t>(length < 0 ? 0 : length));
}

std::optional<std::int64_t> readInteger(const ResultData* result, const char* column) {
    int length = 0;
    const void* value = GetColumnValueByName(column, &length, result);
    std::int64_t out = 0;
    if (!ReadColumnInt64(value, length, &out)) return std::nullopt;
    return out;
}

bool fetchTables(const std::string& url, bool* emptyAnswer) { return FetchTableDataAnswered(url, emptyAnswer); }

std::string idCriteria(const char* column, std::int64_t id) {
    return std::string(column) + " = " + std::to_string(id);
}

void fillHostDetails(HostSlot& slot, const ResultData* detailsRow, DetailsPresence& presence) {
    if (auto v = readText(detailsRow, "DOMAIN_NAME")) assignBounded(slot.domain, *v, kHostDomainFieldSize);
    if (auto v = readText(detailsRow, "TYPE")) assignBounded(slot.type, *v, kHostTypeFieldSize);
    if (auto v = readText(detailsRow, "USERNAME")) assignBounded(slot.userName, *v, kHostUserFieldSize);
    // The password is decoded only when the row carries one: decoding the
    // text already decoded would scramble a good password.
    if (auto v = readText(detailsRow, "PASSWORD")) {
        assignBounded(slot.password, *v, kHostPasswordFieldSize);
        decodeHostPassword(slot.password);
    }
    if (auto v = readInteger(detailsRow, "MON_INTERVAL")) slot.monInterval = static_cast<std::int16_t>(*v);
    if (auto v = readInteger(detailsRow, "LOG_COLLECTION_STATUS"))
        slot.collectionEnabled = static_cast<std::int16_t>(*v);
    if (auto v = readInteger(detailsRow, "STATUS")) {
        slot.status = static_cast<std::int16_t>(*v);
        presence.status = true;
    }
    if (auto v = readText(detailsRow, "LAST_MSG_TIME")) {
        slot.lastMessageTime = std::strtod(v->c_str(), nullptr);
        presence.lastMessageTime = true;
    }
}

void copyConfigFields(const HostSlot& from, HostSlot& to) {
    to.hostId = from.hostId;
    to.inUse = from.inUse;
    to.hostName = from.hostName;
    to.domain = from.domain;
    to.displayName = from.displayName;
    to.ipAddress = from.ipAddress;
    to.type = from.type;
    to.userName = from.userName;
    to.password = from.password;
    to.monInterval = from.monInterval;
    to.collectionEnabled = from.collectionEnabled;
}

void snapshotConfigFields(HostSlot& slot, HostSlot& to) {
    std::lock_guard<std::mutex> lock(entryOf(slot).guard);
    copyConfigFields(slot, to);
}

bool commitHostChange(HostSlot& slot, HostChange change) {
    SlotEntry& entry = entryOf(slot);
    std::lock_guard<std::mutex> lock(entry.guard);
    if (slot.collectionInProgress != 0) {
        // A removal makes every earlier waiting change moot.
        if (change.kind == ChangeKind::Remove) entry.pending.clear();
        entry.pending.push_back(std::move(change));
        return false;
    }
    applyChange(slot, change);
    return true;
}

}  // namespace hosts_internal

HostSlot& hostSlot(int index) { return slotTable()[static_cast<std::size_t>(index)].slot; }

int hostSlotIndex(const HostSlot& slot) {
    auto& table = slotTable();
    for (int i = 0; i < MAX_HOSTS; ++i)
        if (&table[static_cast<std::size_t>(i)].slot == &slot) return i;
    return -1;
}

std::int64_t ownHostId() { return g_ownHostId.load(); }
std::int32_t hostWindow() { return g_hostWindow.load(); }

void initHostCache() {
    LogInfo("\n In Init Host Cache");
    for (auto& entry : slotTable()) {
        std::lock_guard<std::mutex> lock(entry.guard);
        entry.pending.clear();
        resetSlot(entry.slot);
    }
    g_ownHostId.store(0);
    g_hostWindow.store(60);
    g_hostListPending.store(false);
}

void fillHostFromHostsRow(HostSlot& slot, const ResultData* hostsRow) {
    slot.inUse = 1;
    if (auto v = readText(hostsRow, "DNS_NAME")) {
        assignBounded(slot.hostName, *v, kHostNameFieldSize);
        assignBounded(slot.domain, *v, kHostDomainFieldSize);
    }
    if (auto v = readText(hostsRow, "HOST_NAME")) assignBounded(slot.displayName, *v, kHostDisplayNameFieldSize);
    if (auto v = readInteger(hostsRow, "HOST_ID")) slot.hostId = *v;
    if (auto v = readText(hostsRow, "HOST_IPADDRESS")) {
        assignBounded(slot.ipAddress, *v, kHostIpFieldSize);
        if (slot.ipAddress == AgentIpText()) g_ownHostId.store(slot.hostId);
    }
}

void fillHostDetails(HostSlot& slot, const ResultData* detailsRow) {
    DetailsPresence presence;
    fillHostDetails(slot, detailsRow, presence);
}

void decodeHostPassword(std::string& field) {
    static constexpr signed char kDecode[128] = {
        -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
        -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 62,
        -1, -1, -1, 63, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, -1, -1, -1, -1, -1, -1, -1, 0,
        1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22,
        23, 24, 25, -1, -1, -1, -1, -1, -1, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38,
        39, 40, 41, 42, 43, 44, 45, 46, 47, 48, 49, 50, 51, -1, -1, -1, -1, -1};
    const std::string text = field;
    if (text.size() % 4 != 0) LogError("Length of Base64 encoded input string is not a multiple of 4.");
    bool illegalLogged = false;
    std::string bytes;
    // Groups of four characters give three bytes; characters missing from the
    // last group count as zero bits, "=" ends the data.
    unsigned bits = 0;
    int count = 0;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '=') break;
        int value = 0;
        if (u > 127) {
            if (!illegalLogged) LogError("Illegal character in Base64 encoded data.");
            illegalLogged = true;
        } else if (kDecode[u] >= 0) {
            value = kDecode[u];
        }
        bits = (bits << 6) | static_cast<unsigned>(value);
        if (++count == 4) {
            bytes.push_back(static_cast<char>((bits >> 16) & 0xFF));
            bytes.push_back(static_cast<char>((bits >> 8) & 0xFF));
            bytes.push_back(static_cast<char>(bits & 0xFF));
            bits = 0;
            count = 0;
        }
    }
    if (count > 0) {
        bits <<= 6 * (4 - count);
        const int produced = count - 1;  // 2 characters give 1 byte, 3 give 2
        if (produced >= 1) bytes.push_back(static_cast<char>((bits >> 16) & 0xFF));
        if (produced >= 2) bytes.push_back(static_cast<char>((bits >> 8) & 0xFF));
    }
    // The server masks every byte whose Base64 character at the same
    // position is not "0".
    std::string plain;
    for (std::size_t p = 0; p < bytes.size() && bytes[p] != '\0'; ++p) {
        char b = bytes[p];
        if (!(p < text.size() && text[p] == '0')) b = static_cast<char>(b ^ 0x1D);
        plain.push_back(b);
    }
    field = std::move(plain);
}

bool isWindowsHost(const ResultData* detailsRow) {
    if (detailsRow == nullptr || detailsRow->cursor < 0) return false;
    auto type = readText(detailsRow, "TYPE");
    return type && *type == "Windows";
}

void printHostDetails(const HostSlot& slot) {
    if (slot.inUse == 0) return;
    LogInfo("\n--------Host Details --------");
    LogInfo("\nHost Name: %s\tDisplay Name: %s\tId: %lld", slot.hostName.c_str(), slot.displayName.c_str(),
            static_cast<long long>(slot.hostId));
    LogInfo("\nType: %s\tUsername: %s\tMon Interval:%d", slot.type.c_str(), slot.userName.c_str(),
            static_cast<int>(slot.monInterval));
    LogInfo("\nLog collection status: %dStatus: %d\tLast Message Time:%f", static_cast<int>(slot.collectionEnabled),
            static_cast<int>(slot.status), slot.lastMessageTime);
    LogInfo("\n--------End--------");
}

HostSlot* findHostSlot(std::int64_t hostId) {
    if (HostSlot* slot = findMonitoredHost(hostId)) return slot;
    for (auto& entry : slotTable()) {
        std::lock_guard<std::mutex> lock(entry.guard);
        if (entry.slot.inUse == 0) return &entry.slot;
    }
    LogInfo("\n MAX_HOSTS reached. ");
    return nullptr;
}

HostSlot* findMonitoredHost(std::int64_t hostId) {
    for (auto& entry : slotTable()) {
        std::lock_guard<std::mutex> lock(entry.guard);
        if (entry.slot.inUse != 0 && entry.slot.hostId == hostId) return &entry.slot;
    }
    return nullptr;
}

void loadAllHosts() {
    bool emptyAnswer = false;
    const bool fetched = fetchTables(RequestUrl<Request::HostDetails>(AgentId()), &emptyAnswer);
    PrintTableData("Hosts");
    PrintTableData("HostDetails");

    ResultHandle hosts = SelectRows("Hosts", nullptr);
    const bool haveRows = hosts && hosts->rowCount > 0;
    if (haveRows) {
        const int n = hosts->rowCount;
        const std::int32_t window = n > 10 ? 600 / n : 60;
        g_hostWindow.store(window);
        LogInfo("\n Number of hosts: %d, window_size: %d", n, window);

        int i = 0;
        while (GotoNextRowObject(hosts) != nullptr) {
            auto hostId = readInteger(hosts.get(), "HOST_ID");
            if (!hostId) continue;  // a row without HOST_ID names no host
            // A second row with a host id already loaded would have its
            // events credited to the first host's slot.
            if (findMonitoredHost(*hostId) != nullptr) {
                LogError("\n Host list: a second row for host id %lld is refused",
                         static_cast<long long>(*hostId));
                continue;
            }
            if (i < MAX_HOSTS) {
                SlotEntry& entry = slotTable()[static_cast<std::size_t>(i)];
                std::lock_guard<std::mutex> lock(entry.guard);
                if (installHostRow(entry.slot, hosts.get(), *hostId)) ++i;
            } else {
                SendHostNotMonitored(*hostId);
            }
        }
        for (int s = 0; s < MAX_HOSTS; ++s) withHostSlot(hostSlot(s), printHostDetails);
        FreeResultData(hosts);

        loadAllHostFilters();
        loadAllHostNotifications();

        for (int s = 0; s < MAX_HOSTS; ++s) {
            withHostSlot(hostSlot(s), [&](HostSlot& slot) {
                if (slot.inUse != 0) createHostTimer(slot, (s + 1) * window);
            });
        }
    }
    // A list that could not be fetched or read leaves the agent without
    // hosts: it is asked for again at every update poll until one loads.
    // An empty answer is a list without hosts.
    const bool loaded = fetched && (emptyAnswer || haveRows);
    g_hostListPending.store(!loaded);
    if (!loaded)
        LogError("\n No hosts were loaded: the host list could not be %s; it is asked for again at the next "
                 "update poll",
                 fetched ? "read" : "fetched");
    FreeResultData(hosts);
    DeleteAllTableRowObjects("Hosts");
    DeleteAllTableRowObjects("HostDetails");
}

bool hostListPending() { return g_hostListPending.load(); }

void setHostTimerCallback(HostTimerCallback fired) {
    std::lock_guard<std::mutex> lock(g_timerCallbackLock);
    g_timerCallback = std::move(fired);
}

void setNextScanTimeHeld(HostSlot& slot) {
    const std::int64_t now = platform::nowSeconds();
    slot.nextScanTime = now + static_cast<std::int64_t>(slot.monInterval) * 60;
    LogInfo("\n Time %ld", static_cast<long>(static_cast<std::int32_t>(now)));
    LogInfo("\n Next scan time for host id : %lld is at %s", static_cast<long long>(slot.hostId),
            CtimeText(slot.nextScanTime).c_str());
}

void setNextScanTime(HostSlot& slot) { withHostSlot(slot, setNextScanTimeHeld); }

void deleteHost(HostSlot& slot) {
    SlotEntry& entry = entryOf(slot);
    {
        std::lock_guard<std::mutex> lock(entry.guard);
        if (slot.inUse == 0) return;
        if (slot.collectionInProgress != 0) {
            // The timer goes now so no new run is queued; the slot itself is
            // freed when the run that uses it ends.
            unscheduleHostTimer(slot);
        }
    }
    commitHostChange(slot, HostChange{ChangeKind::Remove, {}, {}});
}

void deleteAllHosts() {
    for (int s = 0; s < MAX_HOSTS; ++s) deleteHost(hostSlot(s));
}

void updateHost(std::int64_t hostId) {
    // Without an answer nothing is known of the host: it keeps its slot and
    // values rather than being taken for a host the server dropped.
    if (!fetchTables(RequestUrl<Request::HostDetailsForHost>(AgentId(), hostId))) {
        LogError("\n Fetching host %lld failed, its current details are kept", static_cast<long long>(hostId));
        DeleteAllTableRowObjects("Hosts");
        DeleteAllTableRowObjects("HostDetails");
        return;
    }
    PrintTableData("Hosts");

    HostSlot* slot = findHostSlot(hostId);
    if (slot == nullptr) {
        SendHostNotMonitored(hostId);
    } else {
        LogInfo("Updating host %lld", static_cast<long long>(hostId));
        const std::string criteria = idCriteria("HOST_ID", hostId);
        ResultHandle hosts = SelectRows("Hosts", criteria.c_str());
        if (hosts && GotoNextRowObject(hosts) != nullptr) {
            ResultHandle details = SelectRows("HostDetails", criteria.c_str());
            if (details && GotoNextRowObject(details) != nullptr && isWindowsHost(details.get())) {
                // The new values are built apart from the slot and installed
                // as one change (at once, or when a running collection ends).
                HostChange change{ChangeKind::Details, {}, {}};
                snapshotConfigFields(*slot, change.values);
                fillHostFromHostsRow(change.values, hosts.get());
                hosts_internal::fillHostDetails(change.values, details.get(), change.presence);
                commitHostChange(*slot, std::move(change));
                refreshHostFilters(slot);
                refreshHostNotifications(slot);
                commitHostChange(*slot, HostChange{ChangeKind::RearmTimer, {}, {}});
            }
            FreeResultData(details);
        } else {
            LogInfo("\n Host not there");
            deleteHost(*slot);
        }
        FreeResultData(hosts);
    }
    DeleteAllTableRowObjects("Hosts");
    DeleteAllTableRowObjects("HostDetails");
}

void withHostSlot(HostSlot& slot, const std::function<void(HostSlot&)>& fn) {
    std::lock_guard<std::mutex> lock(entryOf(slot).guard);
    fn(slot);
}

bool beginHostCollection(HostSlot& slot) {
    std::lock_guard<std::mutex> lock(entryOf(slot).guard);
    if (slot.inUse == 0) return false;
    slot.collectionInProgress = 1;
    return true;
}

void endHostCollection(HostSlot& slot) {
    SlotEntry& entry = entryOf(slot);
    std::lock_guard<std::mutex> lock(entry.guard);
    slot.collectionInProgress = 0;
    std::vector<HostChange> waiting;
    waiting.swap(entry.pending);
    for (auto& change : waiting) applyChange(slot, change);
}

bool hostCollectionInProgress(HostSlot& slot) {
    std::lock_guard<std::mutex> lock(entryOf(slot).guard);
    return slot.collectionInProgress != 0;
}
