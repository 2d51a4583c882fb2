// The volume monitors: one thread per monitored drive reads the drive's
// change journal, rebuilds the full path of every closed change from the
// volume's DirectoryPathMap and hands it to the change detector. Each
// monitor keeps its read position and its map in the back-up file
// "data/Volume-<letter>.db" so that changes made while the agent was stopped
// are read at the next start.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "agent/fim/path_map.h"
#include "platform/files.h"
#include "platform/journal.h"
#include "platform/threads.h"

// How a monitor reaches its journal: the platform calls on its volume
// handle, or, in tests, journals kept in memory.
struct JournalAccess {
    std::function<long(platform::UsnJournalData*)> query;
    std::function<long(const platform::ReadUsnJournalData&, void*, std::uint32_t, std::uint32_t*)> read;
    // The volume's items whose last change lies between LowUsn and HighUsn
    // (the enumeration of the master file table).
    std::function<long(const platform::MftEnumData&, void*, std::uint32_t, std::uint32_t*)> enumerate;
    // An item's creation and last write times by its path.
    std::function<bool(const std::string&, platform::FileTimes*)> fileTimes;
};

inline constexpr std::uint32_t kJournalReadBufferSize = 10000;

struct VolumeMonitor {
    char16_t drive = u'C';
    platform::VolumeHandle volume;
    JournalAccess journal;
    platform::ReadUsnJournalData readState{};
    std::uint32_t bytesReturned = 0;
    std::optional<std::size_t> current;  // offset of the record being processed
    std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(kJournalReadBufferSize);
    bool reread = true;
    platform::Event wake{false};
    std::atomic<int> stop{0};
    DirectoryPathMap map;       // under pathMapLock
    std::string backupPath;
    // The USN of the first change not yet handed on: what the back-up file
    // saves, so a saved position never skips a change that is not stored.
    // Moved under changeListLock.
    std::int64_t committedUsn = 0;
    // Records below this USN are already in the change index (a crash came
    // between the index append and the back-up save): read again for the
    // map and the item lists, not indexed twice.
    std::int64_t indexedUpTo = 0;
    // After a gap: the walk reported the items whose last change lies below
    // gapEndUsn (the journal's next USN when it ran); their records still in
    // the journal below it are not handed on a second time.
    std::int64_t gapEndUsn = 0;
    std::unordered_set<std::uint64_t> gapReported;
    // Folders the walk found gone: they stay in the map until the reading
    // passes gapEndUsn, so the deletions of their files still in the journal
    // keep their paths.
    std::vector<std::uint64_t> gapGoneFolders;
    // Set once the read state is prepared; only then is the back-up saved.
    std::atomic<bool> ready{false};
    // What the status file shows of the drive, kept by the monitor's thread
    // and read by others: the journal and read position, the journal's next
    // USN at the last poll, the positions lost (records dropped before they
    // were read, or a journal replaced under the saved position) and when
    // the last was lost (clock seconds).
    std::atomic<std::uint64_t> shownJournalId{0};
    std::atomic<std::int64_t> shownReadUsn{0};
    std::atomic<std::int64_t> shownNextUsn{0};
    std::atomic<long> gaps{0};
    std::atomic<std::int64_t> lastGapTime{0};
    std::atomic<std::int64_t> shownFoldersMapped{0};  // as of the last read without waiting
};

// Sets StartUsn and UsnJournalID; the other request fields go back to their
// defaults and the next record is read afresh.
void setReadState(VolumeMonitor& monitor, std::int64_t startUsn, std::uint64_t journalId);

// The next record of the journal (its offset in monitor.buffer), reading
// more when the buffer is used up; none when nothing more is there. A read
// that fails with 1181 restarts from the journal's FirstUsn.
std::optional<std::size_t> nextJournalRecord(VolumeMonitor& monitor);

// Hands on every closed change up to the end of the journal (or a stop).
void processJournalRecords(VolumeMonitor& monitor);
// How many times a journal lost positions before a monitor read them (it
// dropped records, each logged once with its USN range, or it was replaced),
// since the start.
long journalGapCount();
// The journal dropped the records from `from` on before they were read (its
// state is `data`): logs and counts the gap, reports what changed in it from
// an enumeration of the volume's items changed since then against the map,
// and moves the read state to the journal's first record.
void recoverFromGap(VolumeMonitor& monitor, std::int64_t from, const platform::UsnJournalData& data);

// One drive as the status file shows it.
struct DriveStatus {
    char letter = 'C';
    std::uint64_t journalId = 0;
    std::int64_t readUsn = 0;
    std::int64_t nextUsn = 0;
    long gaps = 0;
    std::int64_t lastGapTime = 0;
    // The platform's count of watched items; where it has none (the NTFS
    // journal watches the whole volume) the folders the drive's map knows.
    std::int64_t itemsWatched = 0;
    std::uint64_t unwatchedFolders = 0;
};
// The running monitors, in drive order.
std::vector<DriveStatus> driveStatuses();

// Waits until the journal has records beyond the read state, then signals
// the wake event (also on a stop).
void PollJournal(VolumeMonitor& monitor);

// Prepares the read state from the back-up file, or from the journal.
bool SetEnv(VolumeMonitor& monitor);
// Builds the map from the volume's directories and writes the back-up file;
// false when the journal cannot be queried or a stop ended the walk (then
// nothing is written).
bool populateDirectoryMap(VolumeMonitor& monitor);

// The per-drive thread body.
void StartJournal(char driveLetter);
// Starts a monitor thread for every drive of the DriveSet.
void startDriveMonitors();
// Starts one monitor thread (for a drive added by an update).
void startDriveMonitor(char driveLetter);
// The stop path: ends the file worker (its job under way takes back its
// rows; when it does not end within 3 s the attribute transfers are left to
// the next start), ends the monitor threads, stores the changes they queued,
// writes every back-up file, runs the periodic, new, change and base
// transfers and takes the monitors off the list. It gives them back: the
// last reference to go closes a monitor's volume, which on POSIX saves the
// catalogue of the whole drive and can take seconds, so the caller lets them
// go after what must not wait (ServiceStop).
std::vector<std::shared_ptr<VolumeMonitor>> stopAllMonitors();
// Writes every monitor's back-up file (under pathMapLock; the caller holds
// changeListLock so the saved positions are stable).
void saveAllBackups();

// The file that records, around each change index append, the read
// positions the appended changes reach (see markStoredPositions).
inline constexpr const char* kStoredPositionsPath = "data/StoredPositions";
// Writes kStoredPositionsPath: the index size once appended, whether the
// append is done, and each monitor's drive, journal and committed USN.
// The caller holds changeListLock.
bool markStoredPositions(const std::vector<const VolumeMonitor*>& monitors, std::uintmax_t indexSize,
                         bool appended);
// The committed USN recorded for the monitor's drive and journal when that
// append reached the change index (the append is done, or the index has the
// recorded size); 0 when none.
std::int64_t storedPositionOf(const VolumeMonitor& monitor, std::uint64_t journalId);

// Removes the journals and back-up files of an earlier installation.
void deleteJournalAndDBFile();

// Logs "\n Error Details: failed with error <code>: <text>".
void logErrorDetails(long code);

// The back-up file path of a drive: the current directory, "data",
// "Volume-<letter>.db".
std::string backupFilePath(char driveLetter);

// Tests: the monitor list.
std::vector<std::shared_ptr<VolumeMonitor>> runningMonitors();
