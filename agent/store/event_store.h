// The in-memory event store: two SQLite databases kept open for the life of
// the process.
//
//  - the event database holds the template table EventLog, the snapshot
//    tables EventLog_<n> that receive the events of one transfer period, and
//    the file-integrity tables FileAttributes, PeriodicFileAttributes,
//    NewFileAttributes and TreeView;
//  - the change database holds FileChanges.
//
// Collectors insert their buffers into the current snapshot; the transfer
// rotates the snapshot and appends the finished one's hourly aggregate to
// serverdata/aggregate. Both hold eventDataMutex for that, so inserting,
// rotating, aggregating and zipping never overlap.
//
// Every use of a connection is serialised by a per-database lock taken inside
// these functions; code that prepares its own statements on a database (the
// file-integrity dumps) holds lockStoreDatabase() while it does.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

struct sqlite3;
struct EventRecord;

enum class StoreDb { Event, Change };

// Held by a collection run while it writes its buffer and by the whole data
// transfer (rotation, aggregate, zip and upload).
extern std::mutex eventDataMutex;

// Opens the event database, then the change database, both on ":memory:".
// Returns 1, or 0 after logging "\n Cannot load In Memory DB : %s\n".
int openEventStore();
// Applies the pragmas to both databases, creates the template, the
// file-integrity tables, FileChanges and the first snapshot. True when every
// statement succeeded (failures are logged by execSql).
bool createEventTables();
// Closes both databases (tests, and the end of the process).
void closeEventStore();

// Runs one fixed statement; logs "\n SQL Error: %s, \n Query : %s\n" on error.
bool execSql(const char* sql, StoreDb db);

// Inserts a collection buffer into the current snapshot.
void storeEvents(const EventRecord* records, int count);
// Rows in the current snapshot (0 when it cannot be counted).
long countCurrentEvents();
// Starts a new snapshot, appends the previous one's aggregate to
// serverdata/aggregate, drops it, vacuums and hands memory back.
void rotateAndAggregate();
// Name of the snapshot that receives inserts ("EventLog_<n>").
std::string currentSnapshotName();

// Drops the change database and opens a fresh one with its pragmas and an
// empty FileChanges table (after every export of the changes).
bool reopenChangeDatabase();

// The raw connections, for statements prepared outside this module; use them
// only while holding lockStoreDatabase() of the same database.
sqlite3* storeDatabase(StoreDb db);
std::unique_lock<std::recursive_mutex> lockStoreDatabase(StoreDb db);
