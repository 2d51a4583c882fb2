#include "agent/fim/change_detect.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <algorithm>
#include <set>
#include <unordered_set>

#include "agent/fim/change_store.h"
#include "agent/fim/monitor_config.h"
#include "agent/hosts/host_cache.h"
#include "agent/settings/settings.h"
#include "agent/store/data_files.h"
#include "common/log.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/private_files.h"
#include "platform/process.h"

namespace {

constexpr const char* kReasonNameTable[32] = {
    "DataOverwrite",      "DataExtend",        "DataTruncation",      "0x00000008",
    "NamedDataOverwrite", "NamedDataExtend",   "NamedDataTruncation", "0x00000080",
    "FileCreate",         "FileDelete",        "PropertyChange",      "SecurityChange",
    "RenameOldName",      "RenameNewName",     "IndexableChange",     "BasicInfoChange",
    "HardLinkChange",     "CompressionChange", "EncryptionChange",    "ObjectIdChange",
    "ReparsePointChange", "StreamChange",      "0x00400000",          "0x00800000",
    "0x01000000",         "0x02000000",        "0x04000000",          "0x08000000",
    "0x10000000",         "0x20000000",        "0x40000000",          "*Close*",
};

constexpr std::uint32_t kReasonFileDelete = 0x200;
constexpr std::uint32_t kReasonRenameOldName = 0x1000;
constexpr std::uint32_t kAttributeDirectory = 0x10;
constexpr std::int64_t kFileTimeUnixEpoch = 116444736000000000LL;

long g_indexTotal = 0;  // under changeListLock

bool contains(const std::string& text, const char* piece) {
    return text.find(piece) != std::string::npos;
}

// Whether entry + "\" occurs in path + "\".
bool entryCovers(const std::string& entry, const std::string& path) {
    if (entry == path) return true;
    const std::string needle = entry + "\\";
    const std::string haystack = path + "\\";
    return haystack.find(needle) != std::string::npos;
}

// The first entry of a set, in set order, that equals the path or whose
// text + "\" occurs in path + "\". An entry that starts with a drive ("c:")
// can only be found at the start of a drive path, so those entries are
// looked up directly at each of the path's separators; only the other
// entries are tested one by one (they are rare: a location the server sent
// without its drive). A drive entry is never matched in the middle of a
// path, which keeps a name that itself contains "c:\..." (possible outside
// Windows) from matching a location it is not in.
const std::string* firstCoveringEntry(const std::set<std::string>& entries, const std::string& path) {
    const std::string* best = nullptr;
    for (std::size_t end = 0; end <= path.size(); ++end) {
        if (end != path.size() && path[end] != '\\') continue;
        auto it = entries.find(path.substr(0, end));
        if (it != entries.end()) {
            best = &*it;  // the shortest prefix is the first in set order
            break;
        }
    }
    for (auto it = entries.begin(); it != entries.end();) {
        const std::string& entry = *it;
        if (best != nullptr && entry >= *best) break;
        if (entry.size() >= 2 && entry[1] == ':') {
            it = entries.lower_bound(std::string{entry[0], ';'});
            continue;
        }
        if (entryCovers(entry, path)) return &entry;
        ++it;
    }
    return best;
}

std::int64_t identifierOf(const MonitorRules& rules, const std::string& entry) {
    auto it = rules.locations.find(entry);
    return it == rules.locations.end() ? 0 : reportedLocationId(it->second);
}

void fillTimeFields(ChangeRecord& record, std::int64_t fileTime) {
    const std::int64_t seconds = (fileTime - kFileTimeUnixEpoch) / 10000000;
    std::tm local = platform::toLocalTime(seconds);
    char hour[32];
    std::strftime(hour, sizeof hour, "%Y-%m-%d %H:00:00", &local);
    record.hourString = hour;
    record.hourOfDay = local.tm_hour;
    record.day = local.tm_mday;
    record.time = static_cast<std::int32_t>(platform::fromLocalTime(local));
    char full[32];
    std::strftime(full, sizeof full, "%Y-%m-%d %H:%M:%S", &local);
    LogInfo("\nChange recorded at: %s", full);
}

std::string lowerAscii(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

void putBigEndian16(std::vector<std::uint8_t>& out, std::size_t at, std::size_t value) {
    out[at] = static_cast<std::uint8_t>(value >> 8);
    out[at + 1] = static_cast<std::uint8_t>(value);
}

// Appends the records to the change index in one write; a short write is
// cut back, so the index never ends in half a record.
bool appendChangeIndex(const std::vector<ChangeRecord>& records, const ChangeIndexMark& markStored) {
    std::vector<std::uint8_t> bytes;
    const std::string hostName = AgentHostName();
    const std::int64_t hostId = ownHostId();
    const std::int64_t agentId = AgentId();
    for (const ChangeRecord& record : records) {
        const std::vector<std::uint8_t> one = changeIndexRecord(record, hostName, hostId, agentId);
        bytes.insert(bytes.end(), one.begin(), one.end());
    }
    platform::FileStatus index;
    const std::uint64_t before = platform::fileStatus(kChangeIndexPath, &index) == 0 ? index.size : 0;
    if (markStored && !markStored(before + bytes.size(), false)) {
        LogError("\n Unable to record the stored read positions; the changes wait for the next run");
        return false;
    }
    std::FILE* file = platform::openRegularFile(kChangeIndexPath, "ab");
    if (file == nullptr) {
        LogError("\n Unable to open %s (errno %d); the changes wait for the next run",
                 kChangeIndexPath, errno);
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const bool closed = std::fclose(file) == 0;
    if (written && closed) {
        if (markStored) markStored(before + bytes.size(), true);
        return true;
    }
    platform::resizeFile(kChangeIndexPath, before);
    LogError("\n Unable to write %s; the changes wait for the next run", kChangeIndexPath);
    return false;
}

}  // namespace

std::vector<ChangeRecord>& changeList() {
    static std::vector<ChangeRecord> list;
    return list;
}
std::vector<RemovedItem>& removedItemList() {
    static std::vector<RemovedItem> list;
    return list;
}
std::vector<NewItem>& newItemList() {
    static std::vector<NewItem> list;
    return list;
}

namespace {

// The paths of the NewItemList, so a created item finds a new ancestor (or
// itself) with one look-up per separator instead of a scan of the list.
// Under newItemLock; emptied with the list.
std::unordered_set<std::string>& newItemPaths() {
    static std::unordered_set<std::string> paths;
    return paths;
}

// Whether the path or one of its ancestors (cut at a separator) is already
// a new item: its attributes are collected with that item.
bool coveredByNewItem(const std::string& path) {
    const auto& paths = newItemPaths();
    if (paths.empty()) return false;
    for (std::size_t end = path.size();; end = path.rfind('\\', end - 1)) {
        if (paths.count(path.substr(0, end)) != 0) return true;
        if (end == 0 || end == std::string::npos) return false;
    }
}

void addNewItem(const std::string& path, const std::string& parentPath, std::uint8_t isFile) {
    std::vector<NewItem>& list = newItemList();
    // The new-data job empties the list; the index follows it here.
    if (list.empty()) newItemPaths().clear();
    list.push_back({path, parentPath, isFile});
    newItemPaths().insert(path);
}

}  // namespace

void releaseNewItemList() {
    std::vector<NewItem>().swap(newItemList());
    std::unordered_set<std::string>().swap(newItemPaths());
}

const char* reasonName(int bit) { return bit >= 0 && bit < 32 ? kReasonNameTable[bit] : ""; }

bool GetReason(std::uint32_t reason, std::string* text, std::size_t capacity) {
    std::string out;
    for (int bit = 0; bit < 32; ++bit) {
        if ((reason & (1u << bit)) == 0) continue;
        if (!out.empty()) out += ", ";
        out += kReasonNameTable[bit];
    }
    if (out.size() >= capacity) {
        LogError("\n GetReason: Insufficeient Buff..");
        errno = 122;
        return false;
    }
    *text = std::move(out);
    return true;
}

bool classifyChange(const std::string& reasonText, std::string* changeType) {
    if (contains(reasonText, "FileCreate")) {
        *changeType = "CREATED";
        return true;
    }
    for (const char* kind : {"DataOverwrite", "DataExtend", "DataTruncation", "NamedDataOverwrite",
                             "NamedDataExtend", "NamedDataTruncation"}) {
        if (contains(reasonText, kind)) {
            *changeType = "MODIFIED";
            return true;
        }
    }
    if (contains(reasonText, "FileDelete")) {
        *changeType = "DELETED";
        return true;
    }
    if (contains(reasonText, "RenameNewName")) {
        *changeType = "RENAMED";
        return true;
    }
    return false;
}

bool checkRules(const std::string& path, std::int64_t* locationId) {
    std::lock_guard lock(rulesLock());
    const MonitorRules& rules = monitorRules();
    if (rules.ignoreFiles.count(path) != 0) {
        LogInfo("\n Changes on File %s ignored as per rule!!", path.c_str());
        return false;
    }
    if (firstCoveringEntry(rules.ignoreDirs, path) != nullptr) {
        LogInfo("\n Changes on dir %s ignored as per rule!!", path.c_str());
        return false;
    }
    if (rules.monitorFiles.count(path) != 0) {
        *locationId = identifierOf(rules, path);
        return true;
    }
    if (const std::string* dir = firstCoveringEntry(rules.monitorDirs, path)) {
        *locationId = identifierOf(rules, *dir);
        return true;
    }
    return false;
}

void processChange(const ChangeInput& change, const std::function<void()>& onQueued) {
    std::string reasonText;
    if (!GetReason(change.reason, &reasonText)) reasonText = "ERROR";
    std::string changeType;
    if (!contains(reasonText, "Close") || !classifyChange(reasonText, &changeType)) return;
    const std::uint8_t isFile = (change.fileAttributes & kAttributeDirectory) != 0 ? 0 : 1;
    const std::string path = lowerAscii(change.fullPath);
    // A change whose parent could not be found carries an error text instead
    // of a path: it is never checked against the rules, so it cannot match a
    // location by accident.
    if (!change.pathFound) {
        LogInfo("\n Change refused, no path: %s", change.fullPath.c_str());
        return;
    }
    std::int64_t locationId = 0;
    if (!checkRules(path, &locationId)) return;
    if ((change.reason & kReasonFileDelete) != 0) {
        std::lock_guard lock(removedListLock());
        removedItemList().push_back({"+file+" + path, locationId});
    } else if ((change.reason & kReasonRenameOldName) != 0) {
        std::lock_guard lock(removedListLock());
        removedItemList().push_back({"+file+" + path, 0});
    }
    ChangeRecord record;
    record.path = path;
    record.isFile = isFile;
    record.changeType = changeType;
    fillTimeFields(record, change.timeStamp);
    LogInfo("\n change time recorded");
    if (contains(reasonText, "FileCreate")) {
        std::lock_guard lock(newItemLock());
        if (!coveredByNewItem(path)) addNewItem(path, change.parentPath, isFile);
    } else if (changeType == "RENAMED") {
        std::lock_guard lock(newItemLock());
        addNewItem(path, change.parentPath, isFile);
    }
    std::lock_guard lock(changeListLock());
    if (!change.alreadyIndexed) changeList().push_back(record);
    if (onQueued) onQueued();
    LogInfo("\n Change on : %s  ChangeType: %s\n", path.c_str(), changeType.c_str());
}

std::vector<std::uint8_t> changeIndexRecord(const ChangeRecord& record, const std::string& hostName,
                                            std::int64_t hostId, std::int64_t agentId) {
    const PackValue values[] = {
        std::string_view("FIM"),
        std::string_view(record.path),
        std::int64_t{record.time},
        std::string_view(record.changeType),
        std::string_view(hostName),
        hostId,
        agentId,
        std::int64_t{record.isFile},
        std::int64_t{record.day},
    };
    // The room of these texts (each packed as at most 65535 bytes and its
    // 3-byte head) and the numbers: sized per record, as a burst writes tens
    // of thousands of them under changeListLock. A record longer than the
    // 16-bit length can say is cut to fit by shortening the path.
    std::size_t room = 2 + 5 * 9;
    for (const std::string* text : {&record.path, &record.changeType, &hostName})
        room += 3 + std::min<std::size_t>(text->size(), 65535);
    room += 3 + 3;  // "FIM"
    std::vector<std::uint8_t> out(room);
    std::size_t n = packFields(std::span<std::uint8_t>(out).subspan(2), "sslsszzll", values);
    if (n + 2 > 0xFFFF) {
        const std::size_t excess = std::min(n + 2 - 0xFFFF, record.path.size());
        const std::string_view cut(record.path.data(), record.path.size() - excess);
        PackValue shorter[9];
        std::copy(std::begin(values), std::end(values), shorter);
        shorter[1] = cut;
        n = packFields(std::span<std::uint8_t>(out).subspan(2), "sslsszzll", shorter);
    }
    out.resize(n + 2);
    putBigEndian16(out, 0, n + 2);
    return out;
}

bool storeQueuedChanges(const ChangeIndexMark& markStored) {
    std::vector<ChangeRecord>& list = changeList();
    if (list.empty()) return true;
    g_indexTotal += static_cast<long>(list.size());
    LogInfo("\n total index changes detected so far is %ld", g_indexTotal);
    if (!appendChangeIndex(list, markStored)) {
        g_indexTotal -= static_cast<long>(list.size());
        return false;
    }
    dumpChangeRecords(list);
    LogInfo("\n %d changes found", static_cast<int>(list.size()));
    list.clear();
    list.shrink_to_fit();
    return true;
}

namespace {
std::atomic<std::int64_t> g_lastChangeJob{0};
}  // namespace

std::int64_t lastChangeJobTime() { return g_lastChangeJob.load(); }

void changeJob(const std::function<void()>& saveBackups, const ChangeIndexMark& markStored) {
    LogInfo("\nGoing to Copy Change Data to Index File..");
    std::lock_guard lock(changeListLock());
    storeQueuedChanges(markStored);
    changeTransfer();
    LogInfo("\nGoing to Copy Data to DB File..");
    if (saveBackups) saveBackups();
    platform::releaseFreeMemory();
    LogInfo("\nData Copy Data to DB File done..");
    LogInfo("\nData Copy to Index File done..");
    g_lastChangeJob.store(platform::nowSeconds());
}

void resetChangeListsForTests() {
    {
        std::lock_guard lock(changeListLock());
        changeList().clear();
        g_indexTotal = 0;
    }
    {
        std::lock_guard lock(removedListLock());
        removedItemList().clear();
    }
    std::lock_guard lock(newItemLock());
    releaseNewItemList();
}
