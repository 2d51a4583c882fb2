#include "agent/store/event_store.h"

#include <sqlite3.h>

#include <string>

#include "agent/collection/event_record.h"
#include "agent/store/data_files.h"
#include "common/log.h"
#include "platform/clock.h"

std::mutex eventDataMutex;

namespace {

// The statements of the store, in one place.
constexpr const char* kPragmas[] = {
    "PRAGMA synchronous = 0;",
    "PRAGMA cache_size = 30000;",
    "PRAGMA journal_mode = OFF;",
    "PRAGMA temp_store=2;",
};

constexpr const char* kCreateTemplate =
    "CREATE TABLE EventLog (HOST_ID INTEGER, HOUROFDAY INTEGER, HOUR TEXT, EVENTID INTEGER, "
    "SEVERITY INTEGER, TYPE TEXT, SOURCE TEXT, USER_NAME TEXT, DOMAIN TEXT, CLIENT TEXT)";

constexpr const char* kCreateFileIntegrityTables[] = {
    "CREATE TABLE FileAttributes (LOC_ID INTEGER,TEMPL_ID INTEGER,AGENT_ID INTEGER,FILENAME TEXT, "
    "VERSION TEXT, VENDOR TEXT, CREATED_TIME TEXT, MODIFIED_TIME TEXT, LAST_ACCESS_TIME TEXT, "
    "ENCRYPTED TEXT, HIDDEN TEXT,COMPRESSED TEXT,SYSTEM TEXT,STATUS TEXT,OWNER TEXT,DACL TEXT, "
    "MD5 TEXT,SHA1 TEXT, ERROR TEXT, SIZE INTEGER, FILECOUNT INTEGER, FOLDERCOUNT INTEGER, "
    "ISFILE INTEGER)",
    "CREATE TABLE PeriodicFileAttributes (LOC_ID INTEGER,TEMPL_ID INTEGER,AGENT_ID INTEGER,"
    "FILENAME TEXT, VERSION TEXT, VENDOR TEXT, CREATED_TIME TEXT, MODIFIED_TIME TEXT, "
    "LAST_ACCESS_TIME TEXT, ENCRYPTED TEXT, HIDDEN TEXT,COMPRESSED TEXT,SYSTEM TEXT,STATUS TEXT,"
    "OWNER TEXT,DACL TEXT, MD5 TEXT,SHA1 TEXT, ERROR TEXT, SIZE INTEGER, FILECOUNT INTEGER, "
    "FOLDERCOUNT INTEGER, ISFILE INTEGER)",
    "CREATE TABLE NewFileAttributes (LOC_ID INTEGER,TEMPL_ID INTEGER,AGENT_ID INTEGER,"
    "FILENAME TEXT, VERSION TEXT, VENDOR TEXT, CREATED_TIME TEXT, MODIFIED_TIME TEXT, "
    "LAST_ACCESS_TIME TEXT, ENCRYPTED TEXT, HIDDEN TEXT,COMPRESSED TEXT,SYSTEM TEXT,STATUS TEXT,"
    "OWNER TEXT,DACL TEXT, MD5 TEXT,SHA1 TEXT, ERROR TEXT, SIZE INTEGER, FILECOUNT INTEGER, "
    "FOLDERCOUNT INTEGER, ISFILE INTEGER)",
    "CREATE TABLE TreeView (LOC_ID INTEGER,TEMPL_ID INTEGER,AGENT_ID INTEGER,FILENAME TEXT, "
    "ISFILE INTEGER, HASCHILD INTEGER, PARENT_FILENAME TEXT)",
};

constexpr const char* kCreateFileChanges =
    "CREATE TABLE FileChanges (AGENT_ID INTEGER,FILENAME TEXT, ISFILE INTEGER,CHANGETYPE TEXT,"
    "HOURSTR TEXT,HOUROFDAY INTEGER)";

constexpr const char* kAggregateQuery =
    "SELECT NULL, HOUROFDAY, HOUR, HOST_ID, SOURCE, TYPE, EVENTID, USER_NAME, DOMAIN, CLIENT, "
    "COUNT(CASE WHEN SEVERITY=1 THEN 1 ELSE NULL END) AS ERROR_CNT, "
    "COUNT(CASE WHEN SEVERITY=2 THEN 1 ELSE NULL END) AS WARNING_CNT, "
    "COUNT(CASE WHEN SEVERITY=3 THEN 1 ELSE NULL END) AS INFORMATION_CNT, "
    "COUNT(CASE WHEN SEVERITY=4 THEN 1 ELSE NULL END) AS SUCCESS_CNT, "
    "COUNT(CASE WHEN SEVERITY=5 THEN 1 ELSE NULL END) AS FAILURE_CNT from %s "
    "group by HOST_ID, HOUR, SOURCE, HOUROFDAY, TYPE, EVENTID, USER_NAME, DOMAIN, CLIENT;";

constexpr int kReleaseAllMemory = 2147483647;

struct Database {
    sqlite3* handle = nullptr;
    std::recursive_mutex lock;
};

Database g_event;
Database g_change;

// Snapshot suffixes: the table receiving inserts and the one being aggregated.
std::uint32_t g_currentSuffix = 0;
std::uint32_t g_previousSuffix = 0;
std::string g_currentName = "EventLog_0";

Database& database(StoreDb db) { return db == StoreDb::Event ? g_event : g_change; }

std::string snapshotName(std::uint32_t suffix) { return "EventLog_" + std::to_string(suffix); }

// The low 32 bits of the clock in seconds, taken as unsigned so that the name
// stays a valid identifier after 2038. A name is never reused: a rotation in
// the same second as the previous one (the stop path's transfer right after a
// timer's) takes the next number instead.
std::uint32_t nextSuffix() {
    auto suffix = static_cast<std::uint32_t>(platform::nowSeconds());
    if (g_currentSuffix != 0 && suffix <= g_currentSuffix) suffix = g_currentSuffix + 1;
    return suffix;
}

bool openOne(Database& db) {
    sqlite3* handle = nullptr;
    if (sqlite3_open(":memory:", &handle) != SQLITE_OK) {
        LogError("\n Cannot load In Memory DB : %s\n",
                 handle ? sqlite3_errmsg(handle) : "out of memory");
        sqlite3_close(handle);
        return false;
    }
    db.handle = handle;
    return true;
}

bool applyPragmas(StoreDb db) {
    bool ok = true;
    for (const char* pragma : kPragmas) ok = execSql(pragma, db) && ok;
    return ok;
}

bool createSnapshot(std::uint32_t suffix) {
    std::string sql = "CREATE TABLE " + snapshotName(suffix) + " as SELECT * FROM EventLog";
    return execSql(sql.c_str(), StoreDb::Event);
}

void bindText(sqlite3_stmt* stmt, int index, const std::string& text) {
    sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

}  // namespace

int openEventStore() {
    {
        std::lock_guard lock(g_event.lock);
        if (!g_event.handle && !openOne(g_event)) return 0;
    }
    std::lock_guard lock(g_change.lock);
    if (!g_change.handle && !openOne(g_change)) return 0;
    return 1;
}

bool createEventTables() {
    bool ok = applyPragmas(StoreDb::Event);
    ok = applyPragmas(StoreDb::Change) && ok;
    ok = execSql(kCreateTemplate, StoreDb::Event) && ok;
    for (const char* sql : kCreateFileIntegrityTables) ok = execSql(sql, StoreDb::Event) && ok;
    ok = execSql(kCreateFileChanges, StoreDb::Change) && ok;

    std::lock_guard lock(g_event.lock);
    g_currentSuffix = nextSuffix();
    g_currentName = snapshotName(g_currentSuffix);
    return createSnapshot(g_currentSuffix) && ok;
}

void closeEventStore() {
    for (Database* db : {&g_event, &g_change}) {
        std::lock_guard lock(db->lock);
        sqlite3_close(db->handle);
        db->handle = nullptr;
    }
    std::lock_guard lock(g_event.lock);
    g_currentSuffix = 0;
    g_previousSuffix = 0;
    g_currentName = snapshotName(0);
}

bool execSql(const char* sql, StoreDb which) {
    Database& db = database(which);
    std::lock_guard lock(db.lock);
    if (!db.handle) {
        LogError("\n SQL Error: %s, \n Query : %s\n", "database not open", sql);
        return false;
    }
    char* error = nullptr;
    if (sqlite3_exec(db.handle, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        LogError("\n SQL Error: %s, \n Query : %s\n", error ? error : sqlite3_errmsg(db.handle), sql);
        sqlite3_free(error);
        return false;
    }
    return true;
}

void storeEvents(const EventRecord* records, int count) {
    LogInfo("\n Dumping to DB : %d number of logs", count);
    if (count < 1 || !records) return;

    std::lock_guard lock(g_event.lock);
    std::string sql = "insert into " + g_currentName +
                      " values (:hostId, :hourOfDay, :hour, :eventId, :severity, :type, :source, "
                      ":userName, :domain, :client);";
    sqlite3_stmt* stmt = nullptr;
    if (!g_event.handle ||
        sqlite3_prepare_v2(g_event.handle, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
        LogError("\n SQL Error: %s, \n Query : %s\n",
                 g_event.handle ? sqlite3_errmsg(g_event.handle) : "database not open", sql.c_str());
        sqlite3_finalize(stmt);
        return;
    }
    // The statement's parameter numbers do not change while it lives, so the
    // names are resolved once per buffer.
    const int hostId = sqlite3_bind_parameter_index(stmt, ":hostId");
    const int hourOfDay = sqlite3_bind_parameter_index(stmt, ":hourOfDay");
    const int hour = sqlite3_bind_parameter_index(stmt, ":hour");
    const int eventId = sqlite3_bind_parameter_index(stmt, ":eventId");
    const int severity = sqlite3_bind_parameter_index(stmt, ":severity");
    const int type = sqlite3_bind_parameter_index(stmt, ":type");
    const int source = sqlite3_bind_parameter_index(stmt, ":source");
    const int userName = sqlite3_bind_parameter_index(stmt, ":userName");
    const int domain = sqlite3_bind_parameter_index(stmt, ":domain");
    const int client = sqlite3_bind_parameter_index(stmt, ":client");

    for (int i = 0; i < count; ++i) {
        const EventRecord& r = records[i];
        sqlite3_bind_int64(stmt, hostId, r.hostId);
        sqlite3_bind_int(stmt, hourOfDay, r.hour);
        bindText(stmt, hour, r.hourBucket);
        sqlite3_bind_int(stmt, eventId, r.eventId);
        sqlite3_bind_int(stmt, severity, r.severity);
        bindText(stmt, type, r.logFile);
        bindText(stmt, source, r.source);
        bindText(stmt, userName, r.user);
        bindText(stmt, domain, r.domain);
        bindText(stmt, client, r.accessOrLogonType);
        sqlite3_step(stmt);
        sqlite3_reset(stmt);
    }
    sqlite3_finalize(stmt);
    LogInfo("\n Returning from dumping");
}

long countCurrentEvents() {
    std::lock_guard lock(g_event.lock);
    std::string sql = "select count(*) from " + g_currentName;
    LogError("\n Query : %s", sql.c_str());
    sqlite3_stmt* stmt = nullptr;
    if (!g_event.handle ||
        sqlite3_prepare_v2(g_event.handle, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
        LogError("SQL Error in select: %s \n",
                 g_event.handle ? sqlite3_errmsg(g_event.handle) : "database not open");
        sqlite3_finalize(stmt);
        return 0;
    }
    long count = 0;
    if (sqlite3_step(stmt) == SQLITE_ROW) count = static_cast<long>(sqlite3_column_int64(stmt, 0));
    sqlite3_finalize(stmt);
    LogError(" Count : %ld", count);
    return count;
}

void rotateAndAggregate() {
    std::lock_guard lock(g_event.lock);
    std::uint32_t suffix = nextSuffix();
    if (!createSnapshot(suffix)) {
        // Without a new table the current one keeps receiving events; it is
        // aggregated at a later transfer rather than dropped now.
        return;
    }
    const std::string previous = g_currentName;
    std::string query = kAggregateQuery;
    query.replace(query.find("%s"), 2, previous);
    if (!exportQueryRows(StoreDb::Event, query, kAggregateFilePath, false)) {
        // The events are not in the aggregate file yet: the old table stays
        // current (no insert reached the new one, the lock is held) and is
        // aggregated at a later transfer; the empty new table goes.
        std::string dropNew = "DROP TABLE " + snapshotName(suffix) + ";";
        execSql(dropNew.c_str(), StoreDb::Event);
        return;
    }
    g_previousSuffix = g_currentSuffix;
    g_currentSuffix = suffix;
    g_currentName = snapshotName(suffix);

    std::string drop = "DROP TABLE " + previous + ";";
    execSql(drop.c_str(), StoreDb::Event);
    execSql("VACUUM", StoreDb::Event);
    sqlite3_release_memory(kReleaseAllMemory);
}

std::string currentSnapshotName() {
    std::lock_guard lock(g_event.lock);
    return g_currentName;
}

bool reopenChangeDatabase() {
    {
        std::lock_guard lock(g_change.lock);
        sqlite3_close(g_change.handle);
        g_change.handle = nullptr;
        if (!openOne(g_change)) return false;
    }
    bool ok = applyPragmas(StoreDb::Change);
    return execSql(kCreateFileChanges, StoreDb::Change) && ok;
}

sqlite3* storeDatabase(StoreDb db) { return database(db).handle; }

std::unique_lock<std::recursive_mutex> lockStoreDatabase(StoreDb db) {
    return std::unique_lock<std::recursive_mutex>(database(db).lock);
}
