// Change detection: every closed change a volume monitor reads is classified
// (CREATED, MODIFIED, DELETED, RENAMED), checked against the MonitorRules and
// queued; the change job writes the queue to the change index and the change
// database every 180 s.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "agent/fim/fim_locks.h"

// One reported change (UTF-8 texts).
struct ChangeRecord {
    std::string path;         // full path, ASCII lower case
    std::uint8_t isFile = 1;  // 0 for a directory
    std::string changeType;   // "CREATED", "MODIFIED", "DELETED" or "RENAMED"
    std::string hourString;   // local "%Y-%m-%d %H:00:00"
    std::int32_t hourOfDay = 0;
    std::int32_t day = 0;     // local day of the month
    std::int32_t time = 0;    // seconds since 1970 UTC, low 32 bits
};

// An item that left a monitored location: "+file+" and its path, and the
// identifier of the location (0 for the old name of a rename).
struct RemovedItem {
    std::string text;
    std::int64_t locationId = 0;
};

// A created or renamed item waiting for its attributes (the new-data job).
struct NewItem {
    std::string path;        // lower case
    std::string parentPath;  // as built from the journal
    std::uint8_t isFile = 1;
};

// The shared lists, each under its lock (fim_locks.h).
std::vector<ChangeRecord>& changeList();       // changeListLock
std::vector<RemovedItem>& removedItemList();   // removedListLock
std::vector<NewItem>& newItemList();           // newItemLock
// Empties the NewItemList and its path index and hands their memory back
// (the new-data job, under newItemLock).
void releaseNewItemList();

// What a volume monitor hands on for each closed change.
struct ChangeInput {
    std::string fullPath;    // UTF-8; the error text when the parent is unknown
    std::string parentPath;  // UTF-8
    std::uint32_t reason = 0;
    std::uint32_t fileAttributes = 0;
    std::int64_t timeStamp = 0;  // FILETIME, UTC
    bool pathFound = true;   // false: the parent could not be found
    // Already in the change index (read again after a crash that came
    // before the read position was saved): the removed and new item lists
    // get it again, the ChangeList does not.
    bool alreadyIndexed = false;
};

// Classifies, checks and records one change. onQueued, when given, runs
// under changeListLock right after the change joined the ChangeList (the
// volume monitor moves its saved read position there, so a change is never
// both in a saved list and before the saved position).
void processChange(const ChangeInput& change, const std::function<void()>& onQueued = {});

// Reason bits as names joined by ", ", lowest bit first ("" for 0). false,
// with last error 122, when the text would not fit capacity characters with
// its terminator.
inline constexpr std::size_t kReasonTextCapacity = 1024;
bool GetReason(std::uint32_t reason, std::string* text,
               std::size_t capacity = kReasonTextCapacity);
// The name of one reason bit (0 to 31).
const char* reasonName(int bit);

// The change type of a reason text; false for reasons that are not reported.
bool classifyChange(const std::string& reasonText, std::string* changeType);

// Checks a lower-cased path against the rules (takes rulesLock). Accepted
// paths give the identifier of the location that matched.
bool checkRules(const std::string& path, std::int64_t* locationId);

// Records which read positions the changes being appended to the index
// reach: (index size after the append, whether the append is done).
using ChangeIndexMark = std::function<bool(std::uintmax_t, bool)>;

// The change job: writes the ChangeList to the change index and the change
// database, runs the change transfer, then saveBackups (the volume monitors'
// back-up files, under pathMapLock), and empties the list. Holds
// changeListLock throughout. markStored, when given, is passed to
// storeQueuedChanges.
void changeJob(const std::function<void()>& saveBackups, const ChangeIndexMark& markStored = {});
// The clock time the last change job ended (0: none yet).
std::int64_t lastChangeJobTime();

// Appends the ChangeList to the index and the change database and empties
// it (the first half of the change job; the stop path runs it after the
// monitors ended). The caller holds changeListLock. false when the index
// could not be written: the list is then kept for the next run.
// markStored, when given, runs before the append with the index's size
// once appended and false, and after it with true; when it fails before,
// nothing is appended and the list is kept.
bool storeQueuedChanges(const ChangeIndexMark& markStored = {});

// One change index record: 16-bit big-endian total length, then the
// fields "sslsszzll" (FIM, path, time, type, host name, host id, agent id,
// isFile, day).
std::vector<std::uint8_t> changeIndexRecord(const ChangeRecord& record, const std::string& hostName,
                                            std::int64_t hostId, std::int64_t agentId);

inline constexpr const char* kChangeIndexPath = "data/changedata/changeindex";

// Tests: empties the three lists and the running totals.
void resetChangeListsForTests();
