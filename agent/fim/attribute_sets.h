// The in-memory side of the attribute data sets: the lists baseRecords,
// periodicRecords, newRecords and treeViewEntries, the flags that tell the
// directory walk which data set its items go to, and the insertion of the
// lists into FileAttributes, PeriodicFileAttributes, NewFileAttributes and
// TreeView.
//
// A walk of a large tree does not keep its records: whenever a list holds
// kAttributeBatch items they are inserted into their table and the list
// starts again, so rows, their order and the exported files are those of one
// insertion at the end, with the memory of one batch.
//
// The lists and the TreeView table are shared by the base build, the
// periodic job, the base data of added locations and the new-data job, which
// run on the file worker (and, called directly, on any thread). Each of them
// holds attributeSetLock() for its whole run, and so does every transfer that
// exports TreeView. Lock order:
// newItemLock, then rulesLock, then attributeSetLock, then the store's
// database lock; nothing that holds attributeSetLock takes rulesLock or
// newItemLock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "agent/fim/file_attributes.h"

inline constexpr std::size_t kAttributeBatch = 1000;

std::unique_lock<std::recursive_mutex> attributeSetLock();

// The flags of the jobs (collection: base build and periodic job; update:
// base data of added locations; new data: the new-data job).
void setCollectionFlag(bool on);
void setUpdateFlag(bool on);
void setNewDataFlag(bool on);
bool collectionFlag();
bool updateFlag();
bool newDataFlag();

// The data set of a walk item, by the walk's mode and the flags: base (mode 0,
// collection or update flag), periodic (mode 2, collection flag), new (mode 3,
// new-data flag). The entry goes to treeViewEntries whenever the record went
// to a list. False when no data set takes it.
bool handWalkItem(int mode, FileAttributeRecord&& record, TreeViewEntry&& entry);

// Appends to a list (inserting a full batch).
void appendBaseRecord(FileAttributeRecord&& record);
void appendPeriodicRecord(FileAttributeRecord&& record);
void appendNewRecord(FileAttributeRecord&& record);
void appendTreeViewEntry(TreeViewEntry&& entry);

// Inserts what a list holds into its table and empties it, releasing its
// storage. The dump messages are logged for every insertion.
void insertBaseRecords();
void insertPeriodicRecords();
void insertNewRecords();
void insertTreeViewEntries();

// Where a job's rows begin: the last row of its table and of TreeView when
// it began (under attributeSetLock). A job the stop ends takes back every
// row after the mark, so no part of a data set stays to be sent.
struct AttributeRowMark {
    const char* table = "";
    std::int64_t tableRow = 0;
    std::int64_t treeViewRow = 0;
};
AttributeRowMark markAttributeRows(const char* table);
void takeBackAttributeRows(const AttributeRowMark& mark);

// Empties every list and releases its storage (nothing is inserted).
void clearAttributeLists();

// Tests: a smaller batch (0 restores kAttributeBatch).
void setAttributeBatchForTests(std::size_t items);

// What the lists hold now (tests).
const std::vector<FileAttributeRecord>& baseRecordList();
const std::vector<FileAttributeRecord>& periodicRecordList();
const std::vector<FileAttributeRecord>& newRecordList();
const std::vector<TreeViewEntry>& treeViewEntryList();
