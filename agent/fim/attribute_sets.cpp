// The attribute lists, their flags and their insertion into the event
// database.
#include "agent/fim/attribute_sets.h"

#include <sqlite3.h>

#include <atomic>
#include <string>

#include "agent/settings/settings.h"
#include "agent/store/event_store.h"
#include "common/log.h"

namespace {

std::recursive_mutex setMutex;
std::atomic<bool> collecting{false};
std::atomic<bool> updating{false};
std::atomic<bool> collectingNew{false};
std::size_t batchSize = kAttributeBatch;

std::vector<FileAttributeRecord> baseRecords;
std::vector<FileAttributeRecord> periodicRecords;
std::vector<FileAttributeRecord> newRecords;
std::vector<TreeViewEntry> treeViewEntries;

constexpr const char* kAttributeColumns =
    " values (:locId, :templId, :agentId, :fileName, :version, :vendor, :createdtime, :modifiedtime, "
    ":lastaccesstime, :encrypted, :hidden, :compressed, :system, :status, :owner, :dacl, :md5checksum, "
    ":sha1checksum, :error, :size, :filecount, :foldercount, :isFile);";
constexpr const char* kTreeViewInsert =
    "insert into TreeView values (:locId, :templId, :agentId, :fileName, :isFile, :hasChild, :parentFileName);";

struct DumpTexts {
    const char* table;
    const char* before;
    const char* after;
};
constexpr DumpTexts kBaseDump{"FileAttributes", "\n Dumping initial data to DB : %d number of logs",
                              "\n Return from initial dumping"};
constexpr DumpTexts kPeriodicDump{"PeriodicFileAttributes", "\n Periodic dump:Dumping to DB : %d number of logs",
                                  "\n Return from periodic dumping"};
constexpr DumpTexts kNewDump{"NewFileAttributes", "\n New data Dumping to DB : %d number of logs",
                             "\n Return from dumping new logs"};

// A prepared statement, finalised when dropped.
struct Statement {
    sqlite3_stmt* handle = nullptr;
    ~Statement() { sqlite3_finalize(handle); }
    void text(const char* name, const std::string& value) {
        sqlite3_bind_text(handle, sqlite3_bind_parameter_index(handle, name), value.c_str(),
                          static_cast<int>(value.size()), SQLITE_TRANSIENT);
    }
    void int64(const char* name, std::int64_t value) {
        sqlite3_bind_int64(handle, sqlite3_bind_parameter_index(handle, name), value);
    }
    void int32(const char* name, int value) {
        sqlite3_bind_int(handle, sqlite3_bind_parameter_index(handle, name), value);
    }
    // One step and reset; logs a failed row.
    void run(sqlite3* db) {
        if (sqlite3_step(handle) != SQLITE_DONE) LogError("\n SQL Error: %s", sqlite3_errmsg(db));
        sqlite3_reset(handle);
        sqlite3_clear_bindings(handle);
    }
};

bool prepare(sqlite3* db, const std::string& sql, Statement& statement) {
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement.handle, nullptr) == SQLITE_OK) return true;
    LogError("\n SQL Error: %s, \n Query : %s\n", sqlite3_errmsg(db), sql.c_str());
    return false;
}

void insertRecords(std::vector<FileAttributeRecord>& records, const DumpTexts& texts) {
    LogInfo(texts.before, static_cast<int>(records.size()));
    if (records.empty()) return;
    {
        auto dbLock = lockStoreDatabase(StoreDb::Event);
        sqlite3* db = storeDatabase(StoreDb::Event);
        Statement s;
        if (db && prepare(db, std::string("insert into ") + texts.table + kAttributeColumns, s)) {
            const std::int64_t agentId = AgentId();
            for (const FileAttributeRecord& r : records) {
                s.int64(":locId", r.LOC_ID);
                s.int64(":templId", r.TEMPL_ID);
                s.int64(":agentId", agentId);
                s.text(":fileName", r.path);
                s.text(":version", r.version);
                s.text(":vendor", r.vendor);
                s.text(":createdtime", r.createdTime);
                s.text(":modifiedtime", r.modifiedTime);
                s.text(":lastaccesstime", r.lastAccessTime);
                s.text(":encrypted", r.encrypted);
                s.text(":hidden", r.hidden);
                s.text(":compressed", r.compressed);
                s.text(":system", r.system);
                s.text(":status", r.status);
                s.text(":owner", r.owner);
                s.text(":dacl", r.dacl);
                s.text(":md5checksum", r.md5);
                s.text(":sha1checksum", r.sha1);
                s.text(":error", r.error);
                s.int64(":size", r.size);
                s.int64(":filecount", r.fileCount);
                s.int64(":foldercount", r.folderCount);
                s.int32(":isFile", r.isFile);
                s.run(db);
            }
        }
    }
    std::vector<FileAttributeRecord>().swap(records);
    LogInfo("%s", texts.after);
}

void insertEntries(std::vector<TreeViewEntry>& entries) {
    LogInfo("\n TreeView dump:Dumping to DB : %d number of logs", static_cast<int>(entries.size()));
    if (entries.empty()) return;
    {
        auto dbLock = lockStoreDatabase(StoreDb::Event);
        sqlite3* db = storeDatabase(StoreDb::Event);
        Statement s;
        if (db && prepare(db, kTreeViewInsert, s)) {
            const std::int64_t agentId = AgentId();
            for (const TreeViewEntry& e : entries) {
                s.int64(":locId", e.LOC_ID);
                s.int64(":templId", e.TEMPL_ID);
                s.int64(":agentId", agentId);
                s.text(":fileName", e.path);
                s.int32(":isFile", e.isFile);
                s.int32(":hasChild", e.hasChild);
                s.text(":parentFileName", e.parentPath);
                s.run(db);
            }
        }
    }
    std::vector<TreeViewEntry>().swap(entries);
    LogInfo("\n Return from TreeView dumping");
}

std::int64_t lastRowId(const char* table) {
    auto dbLock = lockStoreDatabase(StoreDb::Event);
    sqlite3* db = storeDatabase(StoreDb::Event);
    Statement s;
    if (!db || !prepare(db, std::string("select max(rowid) from ") + table + ";", s)) return 0;
    return sqlite3_step(s.handle) == SQLITE_ROW ? sqlite3_column_int64(s.handle, 0) : 0;
}

void deleteRowsAfter(const char* table, std::int64_t row) {
    const std::string sql = std::string("delete from ") + table + " where rowid > " + std::to_string(row) + ";";
    execSql(sql.c_str(), StoreDb::Event);
}

}  // namespace

std::unique_lock<std::recursive_mutex> attributeSetLock() { return std::unique_lock<std::recursive_mutex>(setMutex); }

void setCollectionFlag(bool on) { collecting = on; }
void setUpdateFlag(bool on) { updating = on; }
void setNewDataFlag(bool on) { collectingNew = on; }
bool collectionFlag() { return collecting; }
bool updateFlag() { return updating; }
bool newDataFlag() { return collectingNew; }

bool handWalkItem(int mode, FileAttributeRecord&& record, TreeViewEntry&& entry) {
    auto lock = attributeSetLock();
    if (mode == kWalkModeBase && (collecting || updating)) {
        appendBaseRecord(std::move(record));
    } else if (mode == kWalkModePeriodic && collecting) {
        appendPeriodicRecord(std::move(record));
    } else if (mode == kWalkModeNew && collectingNew) {
        appendNewRecord(std::move(record));
    } else {
        return false;
    }
    appendTreeViewEntry(std::move(entry));
    return true;
}

void appendBaseRecord(FileAttributeRecord&& record) {
    auto lock = attributeSetLock();
    baseRecords.push_back(std::move(record));
    if (baseRecords.size() >= batchSize) insertRecords(baseRecords, kBaseDump);
}

void appendPeriodicRecord(FileAttributeRecord&& record) {
    auto lock = attributeSetLock();
    periodicRecords.push_back(std::move(record));
    if (periodicRecords.size() >= batchSize) insertRecords(periodicRecords, kPeriodicDump);
}

void appendNewRecord(FileAttributeRecord&& record) {
    auto lock = attributeSetLock();
    newRecords.push_back(std::move(record));
    if (newRecords.size() >= batchSize) insertRecords(newRecords, kNewDump);
}

void appendTreeViewEntry(TreeViewEntry&& entry) {
    auto lock = attributeSetLock();
    treeViewEntries.push_back(std::move(entry));
    if (treeViewEntries.size() >= batchSize) insertEntries(treeViewEntries);
}

void insertBaseRecords() {
    auto lock = attributeSetLock();
    insertRecords(baseRecords, kBaseDump);
}

void insertPeriodicRecords() {
    auto lock = attributeSetLock();
    insertRecords(periodicRecords, kPeriodicDump);
}

void insertNewRecords() {
    auto lock = attributeSetLock();
    insertRecords(newRecords, kNewDump);
}

void insertTreeViewEntries() {
    auto lock = attributeSetLock();
    insertEntries(treeViewEntries);
}

AttributeRowMark markAttributeRows(const char* table) {
    auto lock = attributeSetLock();
    return AttributeRowMark{table, lastRowId(table), lastRowId("TreeView")};
}

void takeBackAttributeRows(const AttributeRowMark& mark) {
    auto lock = attributeSetLock();
    deleteRowsAfter(mark.table, mark.tableRow);
    deleteRowsAfter("TreeView", mark.treeViewRow);
}

void clearAttributeLists() {
    auto lock = attributeSetLock();
    std::vector<FileAttributeRecord>().swap(baseRecords);
    std::vector<FileAttributeRecord>().swap(periodicRecords);
    std::vector<FileAttributeRecord>().swap(newRecords);
    std::vector<TreeViewEntry>().swap(treeViewEntries);
}

void setAttributeBatchForTests(std::size_t items) {
    auto lock = attributeSetLock();
    batchSize = items ? items : kAttributeBatch;
}

const std::vector<FileAttributeRecord>& baseRecordList() { return baseRecords; }
const std::vector<FileAttributeRecord>& periodicRecordList() { return periodicRecords; }
const std::vector<FileAttributeRecord>& newRecordList() { return newRecords; }
const std::vector<TreeViewEntry>& treeViewEntryList() { return treeViewEntries; }
