// The process-wide locks of file integrity monitoring.
//
// Nesting order, outermost first: changeListLock, then pathMapLock; the
// change transfer also runs under changeListLock. rulesLock is re-entrant
// because building the base data set takes it while the update handling
// already holds it. processChange takes one lock at a time.
#pragma once

#include <mutex>

// Every DirectoryPathMap and back-up file.
std::mutex& pathMapLock();
// The MonitorRules (sets, LocationMap, DriveSet, new-location and new-drive sets).
std::recursive_mutex& rulesLock();
// The ChangeList; held by the change job for its whole run, and by the change
// transfer, which the job runs (hence re-entrant).
std::recursive_mutex& changeListLock();
// The RemovedItemList.
std::mutex& removedListLock();
// The NewItemList.
std::mutex& newItemLock();
// The DriveSet while drive monitors are started; also taken by the event
// data transfer.
std::mutex& driveSetLock();
