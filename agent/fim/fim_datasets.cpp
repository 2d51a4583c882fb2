// The base, periodic and new data sets: the jobs that collect them, their
// exports and their transfers.
//
// The jobs run on the file worker (file_worker.h). Each takes what it
// collects first, under the lock of its source alone: the locations under
// rulesLock, the NewItemList's items under newItemLock (emptying the list).
// Then it collects under attributeSetLock only, for its whole run; the
// transfers take attributeSetLock for the export of their tables. So no two
// jobs ever share the lists or the TreeView table, and neither the change
// detection (rulesLock, newItemLock) nor the update handling (rulesLock)
// waits while a large file is hashed. Lock order (attribute_sets.h):
// newItemLock, rulesLock, attributeSetLock, the store's database lock.
#include "agent/fim/fim_datasets.h"

#include "platform/process.h"

#include <mutex>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "agent/fim/attribute_sets.h"
#include "agent/fim/change_detect.h"
#include "agent/fim/change_store.h"
#include "agent/fim/file_attributes.h"
#include "agent/fim/file_worker.h"
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
// everything below it in the walk's mode); the caller holds
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

// One item a job collects: taken from the rules (or the NewItemList) under
// their lock, so the walk itself holds neither and the change detection and
// the update handling never wait for it.
struct Location {
    std::string path;
    bool isFile = false;
    LocationIds ids;
    std::string treeParent = kTreeViewRootParent;
};

// Every monitored file, then every monitored directory, in ascending order;
// the caller holds rulesLock.
std::vector<Location> monitoredLocations(const MonitorRules& rules) {
    std::vector<Location> out;
    out.reserve(rules.monitorFiles.size() + rules.monitorDirs.size());
    for (const std::string& path : rules.monitorFiles) out.push_back({path, true, idsOf(rules, path)});
    for (const std::string& path : rules.monitorDirs) out.push_back({path, false, idsOf(rules, path)});
    return out;
}

// How a job fills its data set.
struct Collection {
    const AttributeDataSet& set;
    int mode;
    void (*flag)(bool);
    void (*append)(FileAttributeRecord&&);
    void (*insert)();
    void (*transfer)();
    const char* itemMessage;  // logged with each location's path before it is collected; may be null
};

// Collects the locations into the data set under attributeSetLock, stores
// them and runs the transfer. Ended by the stop, the job takes back the rows
// it stored and sends nothing.
void collectAndSend(const Collection& job, const std::vector<Location>& locations) {
    auto sets = attributeSetLock();
    const AttributeRowMark mark = markAttributeRows(job.set.table);
    job.flag(true);
    try {
        for (const Location& location : locations) {
            if (job.itemMessage) LogInfo(job.itemMessage, location.path.c_str());
            FileAttributeRecord record = collectLocation(location.path, location.isFile, location.ids, job.mode);
            TreeViewEntry entry = treeEntryOf(record, location.treeParent);
            job.append(std::move(record));
            appendTreeViewEntry(std::move(entry));
        }
    } catch (const FileWorkStopped&) {
        job.flag(false);
        clearAttributeLists();
        takeBackAttributeRows(mark);
        LogInfo("\n Collection for %s ended by the stop; its rows were taken back", job.set.table);
        return;
    }
    job.insert();
    insertTreeViewEntries();
    job.transfer();
    job.flag(false);
    clearAttributeLists();
}

const Collection kBaseCollection{kBase, kWalkModeBase, setCollectionFlag, appendBaseRecord,
                                 insertBaseRecords, baseTransfer, nullptr};
const Collection kAddedCollection{kBase, kWalkModeBase, setUpdateFlag, appendBaseRecord,
                                  insertBaseRecords, baseTransfer, "\n New folder: %s"};
const Collection kPeriodicCollection{kPeriodic, kWalkModePeriodic, setCollectionFlag, appendPeriodicRecord,
                                     insertPeriodicRecords, periodicTransfer, nullptr};
const Collection kNewCollection{kNew, kWalkModeNew, setNewDataFlag, appendNewRecord,
                                insertNewRecords, newDataTransfer, nullptr};

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

// The locations of a base build, taken when it is asked for: locations the
// server adds later get a job of their own, so none is collected twice.
std::vector<Location> baseBuildLocations() {
    std::lock_guard<std::recursive_mutex> rules(rulesLock());
    std::vector<Location> locations = monitoredLocations(monitorRules());
    monitorRules().newLocations.clear();  // this build covers them
    return locations;
}

}  // namespace

void buildBaseDataSet() { collectAndSend(kBaseCollection, baseBuildLocations()); }

void handOverBaseBuild() {
    handOverFileJob(FileJob::Base,
                    [locations = baseBuildLocations()] { collectAndSend(kBaseCollection, locations); });
}

void buildNewLocationsBaseData() {
    std::vector<Location> locations;
    {
        std::lock_guard<std::recursive_mutex> rules(rulesLock());
        const MonitorRules& current = monitorRules();
        for (const std::string& path : current.newLocations)
            locations.push_back({path, !locationIsDirectory(path), idsOf(current, path)});
    }
    handOverFileJob(FileJob::NewLocations,
                    [locations = std::move(locations)] { collectAndSend(kAddedCollection, locations); });
}

void periodicJob() {
    std::vector<Location> locations;
    {
        std::lock_guard<std::recursive_mutex> rules(rulesLock());
        locations = monitoredLocations(monitorRules());
    }
    collectAndSend(kPeriodicCollection, locations);
}

void newDataJob() {
    // The items are taken from the list at once: items created meanwhile go
    // to the next run, and the change detection never waits for this one.
    std::vector<NewItem> items;
    {
        std::lock_guard<std::mutex> lock(newItemLock());
        items.swap(newItemList());
        releaseNewItemList();
    }
    std::vector<Location> locations;
    locations.reserve(items.size());
    {
        std::lock_guard<std::recursive_mutex> rules(rulesLock());
        for (const NewItem& item : items)
            locations.push_back({item.path, item.isFile != 0, idsOfNewItem(monitorRules(), item.path),
                                 escapeForDatabase(item.parentPath)});
    }
    std::vector<NewItem>().swap(items);
    collectAndSend(kNewCollection, locations);
    std::vector<Location>().swap(locations);
    platform::releaseFreeMemory();  // a burst's lists are gone: so is their memory
}

void scheduleFimJobs() {
    const auto now = platform::nowSeconds();
    struct Job {
        std::int64_t firstRun;
        std::int32_t interval;
        std::uint8_t unit;
        void (*run)();
    };
    const Job jobs[] = {{kPeriodicFirstRunSeconds, kPeriodicIntervalHours, kUnitHours,
                         [] { handOverFileJob(FileJob::Periodic, periodicJob); }},
                        {kNewDataIntervalSeconds, static_cast<std::int32_t>(kNewDataIntervalSeconds), kUnitSeconds,
                         [] { handOverFileJob(FileJob::NewData, newDataJob); }}};
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
