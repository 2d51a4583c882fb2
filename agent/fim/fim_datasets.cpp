// The base, periodic and new data sets: the jobs that collect them, their
// exports and their transfers.
//
// Lock order (attribute_sets.h): newItemLock, rulesLock, attributeSetLock,
// the store's database lock. The base build and the periodic job hold
// rulesLock and then attributeSetLock for their whole run; the new-data job
// holds newItemLock, reads the identifiers of its items under rulesLock,
// releases it, and only then takes attributeSetLock; the transfers take
// attributeSetLock for the export of their tables. So no two jobs ever share
// the lists or the TreeView table, and none waits for a lock another holds
// while waiting for one it holds.
#include "agent/fim/fim_datasets.h"

#include <mutex>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "agent/fim/attribute_sets.h"
#include "agent/fim/change_detect.h"
#include "agent/fim/change_store.h"
#include "agent/fim/file_attributes.h"
#include "agent/fim/fim_locks.h"
#include "agent/fim/monitor_config.h"
#include "agent/scheduler/scheduler.h"
#include "agent/server/http_client.h"
#include "agent/store/data_files.h"
#include "agent/store/event_store.h"
#include "agent/store/transfer_pipeline.h"
#include "common/log.h"
#include "platform/clock.h"

namespace {

constexpr std::int64_t kPeriodicFirstRunSeconds = 21600;
constexpr std::int32_t kPeriodicIntervalHours = 6;
constexpr std::int64_t kNewDataIntervalSeconds = 1200;

constexpr const char* kAttributeColumns =
    "SELECT NULL,LOC_ID,TEMPL_ID,AGENT_ID,FILENAME,VERSION,VENDOR,CREATED_TIME,MODIFIED_TIME,LAST_ACCESS_TIME,"
    "ENCRYPTED,HIDDEN,COMPRESSED,SYSTEM,STATUS,OWNER,DACL,MD5,SHA1,ERROR,SIZE,FILECOUNT,FOLDERCOUNT,ISFILE from ";
constexpr const char* kTreeViewExport =
    "SELECT NULL,LOC_ID,TEMPL_ID,AGENT_ID,FILENAME,ISFILE,HASCHILD,PARENT_FILENAME from TreeView;";

// One attribute data set: its table, files, and its folder as the transfer
// worker sends it. The files written with "w" (a truncated config and the
// tree view) are snapshots: a newer one replaces one left by a failed upload.
struct AttributeDataSet {
    FimDataSet counted;
    const char* table;
    const char* configFile;
    bool truncateConfig;
    const char* treeViewFile;
    FolderDataSet sent;
};

const AttributeDataSet kBase{FimDataSet::Base,
                             "FileAttributes",
                             "data/basedata/baseconfig",
                             false,
                             "data/basedata/treeviewconfig",
                             {DataSet::Base, "data/basedata/", "basedata", "\n Transfer done for initial. Deleting files",
                              "\n Transfer failed for initial. ", {"treeviewconfig"}}};
const AttributeDataSet kPeriodic{FimDataSet::Periodic,
                                 "PeriodicFileAttributes",
                                 "data/periodicdata/periodicconfig",
                                 true,
                                 "data/periodicdata/treeviewconfig",
                                 {DataSet::Periodic, "data/periodicdata/", "periodicdata",
                                  "\n Transfer done. Deleting periodic data files", "",
                                  {"periodicconfig", "treeviewconfig"}}};
const AttributeDataSet kNew{FimDataSet::New,
                            "NewFileAttributes",
                            "data/newdata/newconfig",
                            false,
                            "data/newdata/treeviewconfig",
                            {DataSet::New, "data/newdata/", "newdata", "\n Transfer done. Deleting new data files",
                             "\n Transfer failed for new data. ", {"treeviewconfig"}}};

// Fixed statement on the event database, then the spare memory handed back.
void runAndRelease(const std::string& statement) {
    execSql(statement.c_str(), StoreDb::Event);
    execSql("VACUUM", StoreDb::Event);
    sqlite3_release_memory(0x7FFFFFFF);
}

// Table rows into the data set's files; rows leave a table only once they
// were all written out, else they stay for the next transfer.
void exportDataSet(const AttributeDataSet& set) {
    if (exportQueryRows(StoreDb::Event, std::string(kAttributeColumns) + set.table + ";", set.configFile,
                        set.truncateConfig))
        runAndRelease(std::string("DELETE from ") + set.table + ";");
    else
        LogError("\n Unable to write %s; the rows of %s stay for the next transfer", set.configFile, set.table);
    if (exportQueryRows(StoreDb::Event, kTreeViewExport, set.treeViewFile, true))
        runAndRelease("DELETE from TreeView;");
    else
        LogError("\n Unable to write %s; the tree view rows stay for the next transfer", set.treeViewFile);
}

void send(const AttributeDataSet& set) {
    if (set.counted == FimDataSet::Base) LogInfo("\n About 2 TransferInialData");
    handOverFolder(set.sent);
}

// Steps 2 and 3 of every attribute transfer.
void transferDataSet(const AttributeDataSet& set) {
    auto lock = attributeSetLock();
    if (countRows(set.counted) > 0) {
        exportDataSet(set);
        if (!ServerIsUp())
            LogInfo("\n Server down or no data present.");
        else if (!folderIsEmpty(set.sent.folder))
            send(set);
    } else if (ServerIsUp() && !folderIsEmpty(set.sent.folder)) {
        send(set);  // files left by a failed upload or an earlier run
    }
}

LocationIds idsOf(const MonitorRules& rules, const std::string& path) {
    const auto it = rules.locations.find(path);
    return it == rules.locations.end() ? LocationIds{} : it->second;
}

TreeViewEntry treeEntryOf(const FileAttributeRecord& record, const std::string& parent) {
    TreeViewEntry e;
    e.path = record.path;
    e.parentPath = parent;
    e.isFile = record.isFile;
    e.hasChild = (!record.isFile && (record.fileCount != 0 || record.folderCount != 0)) ? 1 : 0;
    e.LOC_ID = record.LOC_ID;
    e.TEMPL_ID = record.TEMPL_ID;
    return e;
}

// The attributes of one monitored location (and, for a directory, of
// everything below it in the walk's mode); the caller holds rulesLock and
// attributeSetLock.
FileAttributeRecord collectLocation(const std::string& path, bool isFile, const LocationIds& ids, int mode) {
    FileAttributeRecord record;
    record.path = path;
    record.isFile = isFile ? 1 : 0;
    if (isFile)
        collectFileAttributes(record);
    else
        collectDirectoryAttributes(record, mode, ids.locId, ids.templId);
    record.LOC_ID = ids.locId;
    record.TEMPL_ID = ids.templId;
    record.path = escapeForDatabase(record.path);
    return record;
}

// Every monitored file, then every monitored directory, in ascending order.
template <class Append>
void collectAllLocations(int mode, Append append) {
    const MonitorRules& rules = monitorRules();
    for (const std::string& path : rules.monitorFiles) {
        FileAttributeRecord record = collectLocation(path, true, idsOf(rules, path), mode);
        TreeViewEntry entry = treeEntryOf(record, kTreeViewRootParent);
        append(std::move(record));
        appendTreeViewEntry(std::move(entry));
    }
    for (const std::string& path : rules.monitorDirs) {
        FileAttributeRecord record = collectLocation(path, false, idsOf(rules, path), mode);
        TreeViewEntry entry = treeEntryOf(record, kTreeViewRootParent);
        append(std::move(record));
        appendTreeViewEntry(std::move(entry));
    }
}

// The identifiers of a new item: a monitored file equal to its lower-cased
// path, else the monitored directory that holds it most closely (the longest
// one whose text + "\\" begins its path, or which equals it).
LocationIds idsOfNewItem(const MonitorRules& rules, const std::string& path) {
    std::string lower = path;
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (rules.monitorFiles.count(lower)) return idsOf(rules, lower);
    const std::string* best = nullptr;
    for (const std::string& dir : rules.monitorDirs) {
        const bool holds = lower == dir || lower.compare(0, dir.size() + 1, dir + "\\") == 0;
        if (holds && (!best || dir.size() > best->size())) best = &dir;
    }
    return best ? idsOf(rules, *best) : LocationIds{};
}

}  // namespace

void buildBaseDataSet() {
    std::lock_guard<std::recursive_mutex> rules(rulesLock());
    auto sets = attributeSetLock();
    setCollectionFlag(true);
    collectAllLocations(kWalkModeBase, [](FileAttributeRecord&& r) { appendBaseRecord(std::move(r)); });
    insertBaseRecords();
    insertTreeViewEntries();
    baseTransfer();
    setCollectionFlag(false);
    monitorRules().newLocations.clear();
    clearAttributeLists();
}

void buildNewLocationsBaseData() {
    std::lock_guard<std::recursive_mutex> rules(rulesLock());
    auto sets = attributeSetLock();
    const MonitorRules& current = monitorRules();
    for (const std::string& path : current.newLocations) {
        const LocationIds ids = idsOf(current, path);
        LogInfo("\n New folder: %s", path.c_str());
        setUpdateFlag(true);
        FileAttributeRecord record =
            collectLocation(path, !locationIsDirectory(path), ids, kWalkModeBase);
        TreeViewEntry entry = treeEntryOf(record, kTreeViewRootParent);
        appendBaseRecord(std::move(record));
        appendTreeViewEntry(std::move(entry));
    }
    insertBaseRecords();
    insertTreeViewEntries();
    baseTransfer();
    setUpdateFlag(false);
    clearAttributeLists();
}

void periodicJob() {
    std::lock_guard<std::recursive_mutex> rules(rulesLock());
    auto sets = attributeSetLock();
    setCollectionFlag(true);
    collectAllLocations(kWalkModePeriodic, [](FileAttributeRecord&& r) { appendPeriodicRecord(std::move(r)); });
    insertPeriodicRecords();
    insertTreeViewEntries();
    periodicTransfer();
    setCollectionFlag(false);
    clearAttributeLists();
}

void newDataJob() {
    std::lock_guard<std::mutex> items(newItemLock());
    std::vector<NewItem>& list = newItemList();
    // Identifiers first, under rulesLock alone: the collection below holds
    // attributeSetLock, which must never wait for rulesLock.
    std::vector<LocationIds> ids;
    ids.reserve(list.size());
    {
        std::lock_guard<std::recursive_mutex> rules(rulesLock());
        for (const NewItem& item : list) ids.push_back(idsOfNewItem(monitorRules(), item.path));
    }
    auto sets = attributeSetLock();
    setNewDataFlag(true);
    for (std::size_t i = 0; i < list.size(); ++i) {
        const NewItem& item = list[i];
        FileAttributeRecord record = collectLocation(item.path, item.isFile != 0, ids[i], kWalkModeNew);
        TreeViewEntry entry = treeEntryOf(record, escapeForDatabase(item.parentPath));
        appendNewRecord(std::move(record));
        appendTreeViewEntry(std::move(entry));
    }
    insertNewRecords();
    insertTreeViewEntries();
    newDataTransfer();
    setNewDataFlag(false);
    releaseNewItemList();
    clearAttributeLists();
}

void scheduleFimJobs() {
    const auto now = platform::nowSeconds();
    struct Job {
        std::int64_t firstRun;
        std::int32_t interval;
        std::uint8_t unit;
        void (*run)();
    };
    const Job jobs[] = {{kPeriodicFirstRunSeconds, kPeriodicIntervalHours, kUnitHours, periodicJob},
                        {kNewDataIntervalSeconds, static_cast<std::int32_t>(kNewDataIntervalSeconds), kUnitSeconds,
                         newDataJob}};
    for (const Job& job : jobs) {
        auto repeat = makePeriodic(job.interval, job.unit, -1);
        if (!repeat) {
            LogError("\n Unable to allocate RepeatCondStruct memory ");
            continue;
        }
        if (!repeat->detail) {
            LogError("\n Error allocating PeriodicStruct");
            continue;
        }
        scheduleEntry("DEFAULT", static_cast<std::uint32_t>(now + job.firstRun), [run = job.run] { run(); },
                      std::move(repeat));
    }
}

void baseTransfer() {
    transferDataSet(kBase);
}

void periodicTransfer() {
    LogInfo("\n Periodic Transfer data engaged");
    transferDataSet(kPeriodic);
}

void newDataTransfer() {
    baseTransfer();
    LogInfo("\n Transfer for New data engaged");
    transferDataSet(kNew);
}
