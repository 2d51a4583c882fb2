// The file integrity data sets' row counts, and the change
// data set: FileChanges in the change database, the hourly trend file, the
// rename configuration and the change transfer.
#pragma once

#include <string>
#include <vector>

struct ChangeRecord;

// The data sets' tables, for countRows.
enum class FimDataSet { Base, Change, Periodic, New, TreeView };

// "select count(*) from <table>" on the data set's database (FileChanges on
// the change database, the others on the event database). 0 when the
// statement cannot be prepared. Counting FileChanges adds to a running total.
long countRows(FimDataSet dataSet);

// Inserts the change records into FileChanges.
void dumpChangeRecords(const std::vector<ChangeRecord>& records);

// Whether a data set folder holds no entry (a folder that cannot be read
// counts as empty).
bool folderIsEmpty(const std::string& folder);

// The change transfer: exports FileChanges to the trend file, recreates the
// change database, appends the RemovedItemList to the rename configuration
// and hands data/changedata/ to the transfer worker when the server is up.
// Takes changeListLock.
void changeTransfer();

inline constexpr const char* kChangeDataDir = "data/changedata/";
inline constexpr const char* kTrendFilePath = "data/changedata/fimtrendfile";
inline constexpr const char* kRenameConfigPath = "data/changedata/renameconfig";

// Tests: resets the running total of counted changes.
void resetChangeStoreForTests();
