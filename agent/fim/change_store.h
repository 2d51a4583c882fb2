// The file integrity data sets' common store and send steps, and the change
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

// Zips a data set folder ("data/changedata/") into "<zipPrefix>_<agent id>.zip",
// uploads it to agentUpload and, when the upload succeeded, deletes exactly
// the files that went into the zip; the zip is always deleted. A zip that
// could not take every file is not sent and the files stay. Logs
// "\n Zip Name: %s", then successMessage or failureMessage. true when the
// upload succeeded.
bool sendDataSetFolder(const std::string& folder, const std::string& zipPrefix,
                       const char* successMessage, const char* failureMessage);

// The change transfer: exports FileChanges to the trend file, recreates the
// change database, appends the RemovedItemList to the rename configuration
// and sends data/changedata/ when the server is up. Takes changeListLock.
void changeTransfer();

inline constexpr const char* kChangeDataDir = "data/changedata/";
inline constexpr const char* kTrendFilePath = "data/changedata/fimtrendfile";
inline constexpr const char* kRenameConfigPath = "data/changedata/renameconfig";

// Tests: resets the running total of counted changes.
void resetChangeStoreForTests();
