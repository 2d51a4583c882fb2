#include "agent/fim/change_store.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "agent/fim/change_detect.h"
#include "agent/server/http_client.h"
#include "agent/server/protocol.h"
#include "agent/settings/settings.h"
#include "agent/store/data_files.h"
#include "agent/store/event_store.h"
#include "agent/store/transfer_pipeline.h"
#include "common/log.h"
#include "common/text_format.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/private_files.h"

namespace {

long g_changesCounted = 0;

constexpr const char* kInsertFileChanges =
    "insert into FileChanges values (:agentId, :fileName,  :isFile, :changetype, :hourStr, "
    ":hourOfDay);";

constexpr const char* kTrendQuery =
    "SELECT NULL, HOUROFDAY, HOURSTR, AGENT_ID, COUNT(CASE WHEN CHANGETYPE='CREATED' THEN 1 ELSE "
    "NULL END) AS CREATED_CNT, COUNT(CASE WHEN CHANGETYPE='MODIFIED' THEN 1 ELSE NULL END) AS "
    "MODIFIED_CNT, COUNT(CASE WHEN CHANGETYPE='DELETED' THEN 1 ELSE NULL END) AS DELETED_CNT, "
    "COUNT(CASE WHEN CHANGETYPE = 'RENAMED' THEN 1 ELSE NULL END) AS RENAMED_CNT from FileChanges";

const char* countQuery(FimDataSet dataSet) {
    switch (dataSet) {
    case FimDataSet::Base: return "select count(*) from FileAttributes";
    case FimDataSet::Change: return "select count(*) from FileChanges";
    case FimDataSet::Periodic: return "select count(*) from PeriodicFileAttributes";
    case FimDataSet::New: return "select count(*) from NewFileAttributes";
    case FimDataSet::TreeView: return "select count(*) from TreeView";
    }
    return "";
}

void bindText(sqlite3_stmt* statement, const char* name, const std::string& value) {
    sqlite3_bind_text(statement, sqlite3_bind_parameter_index(statement, name), value.c_str(),
                      static_cast<int>(value.size()), SQLITE_TRANSIENT);
}

// Drops FileChanges and starts a fresh change database, which hands its
// memory back.
void recreateChangeDatabase() {
    execSql("DROP TABLE FileChanges;", StoreDb::Change);
    execSql("VACUUM", StoreDb::Change);
    sqlite3_release_memory(0x7FFFFFFF);
    reopenChangeDatabase();
}

// Appends the RemovedItemList to the rename configuration and empties it.
// Entries that could not be written stay for the next transfer.
void writeRenameConfig() {
    std::lock_guard lock(removedListLock());
    std::vector<RemovedItem>& list = removedItemList();
    if (list.empty()) return;
    std::FILE* file = platform::openRegularFile(kRenameConfigPath, "a");
    if (file == nullptr) {
        LogError("\n Unable to open %s (errno %d)", kRenameConfigPath, errno);
        return;
    }
    std::string lines;
    for (const RemovedItem& item : list)
        lines += std::to_string(item.locationId) + item.text + "\n";
    const bool ok = std::fwrite(lines.data(), 1, lines.size(), file) == lines.size();
    if (std::fclose(file) == 0 && ok) {
        list.clear();
        list.shrink_to_fit();
    } else {
        LogError("\n Unable to write %s", kRenameConfigPath);
    }
}

const FolderDataSet kChangeSet{DataSet::Change, kChangeDataDir, "changedata",
                               "\n Transfer done. Deleting change data files",
                               "\n Transfer failed for change data. ", {}};

// Hands the change folder to the transfer worker; a change batch still under
// way keeps the new files in the folder for the next transfer.
void sendChangeData() { handOverFolder(kChangeSet); }

}  // namespace

long countRows(FimDataSet dataSet) {
    const char* query = countQuery(dataSet);
    const StoreDb db = dataSet == FimDataSet::Change ? StoreDb::Change : StoreDb::Event;
    LogInfo("\n Query : %s", query);
    long count = 0;
    {
        auto lock = lockStoreDatabase(db);
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(storeDatabase(db), query, -1, &statement, nullptr) != SQLITE_OK) {
            LogError("SQL Error in select: %s \n", sqlite3_errmsg(storeDatabase(db)));
            sqlite3_finalize(statement);
            return 0;
        }
        if (sqlite3_step(statement) == SQLITE_ROW) count = static_cast<long>(sqlite3_column_int64(statement, 0));
        sqlite3_finalize(statement);
    }
    LogInfo(" Count : %ld", count);
    if (dataSet == FimDataSet::Change) {
        g_changesCounted += count;
        LogInfo("\n total changes detected so far in dbsl is %ld", g_changesCounted);
    }
    return count;
}

void dumpChangeRecords(const std::vector<ChangeRecord>& records) {
    LogInfo("\n Dumping change records to DB : %d number of logs", static_cast<int>(records.size()));
    if (records.empty()) return;
    auto lock = lockStoreDatabase(StoreDb::Change);
    sqlite3* db = storeDatabase(StoreDb::Change);
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, kInsertFileChanges, -1, &statement, nullptr) != SQLITE_OK) {
        LogError("\n SQL Error: %s, \n Query : %s\n", sqlite3_errmsg(db), kInsertFileChanges);
        sqlite3_finalize(statement);
        return;
    }
    const std::int64_t agentId = AgentId();
    // One transaction for the whole batch: a burst's rows go in at once
    // rather than one commit each, while the change job holds its lock.
    const bool inTransaction = sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
    for (const ChangeRecord& record : records) {
        sqlite3_bind_int64(statement, sqlite3_bind_parameter_index(statement, ":agentId"), agentId);
        bindText(statement, ":fileName", record.path);
        sqlite3_bind_int(statement, sqlite3_bind_parameter_index(statement, ":isFile"), record.isFile);
        bindText(statement, ":changetype", record.changeType);
        bindText(statement, ":hourStr", record.hourString);
        sqlite3_bind_int(statement, sqlite3_bind_parameter_index(statement, ":hourOfDay"),
                         record.hourOfDay);
        if (sqlite3_step(statement) != SQLITE_DONE)
            LogError("\n SQL Error: %s, \n Query : %s\n", sqlite3_errmsg(db), kInsertFileChanges);
        sqlite3_reset(statement);
    }
    sqlite3_finalize(statement);
    if (inTransaction && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
        LogError("\n SQL Error: %s, \n Query : %s\n", sqlite3_errmsg(db), "COMMIT");
    LogInfo("\n Return from change records dumping");
}

bool folderIsEmpty(const std::string& folder) {
    std::vector<platform::DirectoryEntry> entries;
    return platform::listDirectory(folder, &entries) != 0 || entries.empty();
}

void changeTransfer() {
    std::lock_guard lock(changeListLock());
    LogInfo("\n Transfer for change data engaged");
    if (countRows(FimDataSet::Change) > 0) {
        LogInfo("\n Current time in memut is %s", CtimeText(platform::nowSeconds()).c_str());
        // The rows are dropped only once their trend line is on disk.
        if (exportQueryRows(StoreDb::Change, kTrendQuery, kTrendFilePath, false))
            recreateChangeDatabase();
        else
            LogError("\n Unable to write %s; the changes stay for the next transfer", kTrendFilePath);
        writeRenameConfig();
        if (!ServerIsUp())
            LogInfo("\n Server down or no data present.");
        else if (!folderIsEmpty(kChangeDataDir))
            sendChangeData();
        return;
    }
    // Removed items can be waiting without any row (a change job that
    // could not store its batch): they are written with the next batch.
    if (!ServerIsUp()) return;
    if (folderIsEmpty(kChangeDataDir)) {
        LogInfo("\n No changes when Ambrik was down or in current env");
    } else {
        LogInfo("\n Change file found when Ambrik was down or in current env for data/changedata");
        sendChangeData();
    }
}

void resetChangeStoreForTests() { g_changesCounted = 0; }
