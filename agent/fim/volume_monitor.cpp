#include "agent/fim/volume_monitor.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <mutex>
#include <span>
#include <sstream>
#include <string>

#include "agent/fim/change_detect.h"
#include "agent/fim/change_store.h"
#include "agent/fim/fim_datasets.h"
#include "agent/fim/file_worker.h"
#include "agent/fim/fim_locks.h"
#include "agent/fim/monitor_config.h"
#include "agent/scheduler/scheduler.h"
#include "common/log.h"
#include "common/threads.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/private_files.h"
#include "platform/text.h"

namespace {

constexpr std::uint32_t kEnumBufferSize = 65544;
constexpr std::size_t kMaxNameUnits = 260;
constexpr int kJournalSetUpAttempts = 10;
constexpr std::int64_t kPollSleepMillis = 500;
constexpr std::int64_t kThreadStopWaitMillis = 5000;
// The attribute job ends within one read block; a longer wait means a system
// call that hangs (a file on a network share that stopped answering).
constexpr std::int64_t kFileWorkerStopMillis = 3000;

std::mutex g_monitorsLock;  // the monitor list and the drive threads
std::vector<std::shared_ptr<VolumeMonitor>> g_monitors;
std::vector<ThreadHandle> g_driveThreads;
bool g_changeJobCreated = false;  // under changeListLock
int g_changeJobId = 0;

std::string toUtf8(const std::u16string& text) { return platform::utf16ToUtf8(text); }

char driveChar(const VolumeMonitor& monitor) { return static_cast<char>(monitor.drive); }

// What the journal cannot do by itself (a folder it cannot watch) goes to
// the error log.
void journalDiagnosticToLog(const char* message) { LogError("%s", message); }

JournalAccess platformJournal(VolumeMonitor& monitor) {
    JournalAccess access;
    access.query = [&monitor](platform::UsnJournalData* data) {
        return platform::queryUsnJournal(monitor.volume, data);
    };
    access.read = [&monitor](const platform::ReadUsnJournalData& in, void* out, std::uint32_t size,
                             std::uint32_t* returned) {
        return platform::readUsnJournal(monitor.volume, in, out, size, returned);
    };
    access.enumerate = [&monitor](const platform::MftEnumData& in, void* out, std::uint32_t size,
                                  std::uint32_t* returned) {
        return platform::enumUsnData(monitor.volume, in, out, size, returned);
    };
    access.fileTimes = [](const std::string& path, platform::FileTimes* times) {
        return platform::getFileTimes(path, times);
    };
    return access;
}

// The USN from which the journal would be read again after the record at
// offset: the next record's, or the buffer's next USN after the last one.
std::int64_t usnAfter(const VolumeMonitor& monitor, std::size_t offset) {
    const std::span<const std::uint8_t> bytes(monitor.buffer.data(), monitor.bytesReturned);
    const std::size_t next = platform::nextUsnRecordOffset(bytes, offset);
    platform::UsnRecord record;
    if (next < bytes.size() && platform::decodeUsnRecord(bytes, next, &record)) return record.Usn;
    return static_cast<std::int64_t>(platform::usnOutputHeader(bytes));
}

void commitPosition(VolumeMonitor& monitor, std::int64_t usn) {
    std::lock_guard lock(changeListLock());
    monitor.committedUsn = usn;
}

void bookkeepDirectory(VolumeMonitor& monitor, const platform::UsnRecord& record,
                       const std::u16string& name) {
    if ((record.FileAttributes & platform::kFileAttributeDirectory) == 0) return;
    DirectoryPathMap& map = monitor.map;
    if (record.Reason & platform::kUsnReasonFileCreate) {
        map.Add(record.FileReferenceNumber, name, record.ParentFileReferenceNumber);
    } else if (record.Reason & platform::kUsnReasonRenameNewName) {
        // A folder moved in from outside the known tree is learnt here, so
        // the changes below it keep their paths.
        if (!map.Rename(record.FileReferenceNumber, name, record.ParentFileReferenceNumber))
            map.Add(record.FileReferenceNumber, name, record.ParentFileReferenceNumber);
    } else if (record.Reason & platform::kUsnReasonFileDelete) {
        map.Remove(record.FileReferenceNumber);
    }
}

void handleRecord(VolumeMonitor& monitor, const platform::UsnRecord& record, std::int64_t after) {
    if (!monitor.gapReported.empty() || !monitor.gapGoneFolders.empty()) {
        if (record.Usn < monitor.gapEndUsn && monitor.gapReported.count(record.FileReferenceNumber) != 0) {
            // The walk after the gap reported this item as it is now; its
            // folder bookkeeping still applies.
            if (record.Reason & platform::kUsnReasonClose) {
                std::lock_guard lock(pathMapLock());
                bookkeepDirectory(monitor, record, record.FileName);
            }
            commitPosition(monitor, after);
            return;
        }
        if (record.Usn >= monitor.gapEndUsn) {
            std::unordered_set<std::uint64_t>().swap(monitor.gapReported);
            std::lock_guard lock(pathMapLock());
            for (std::uint64_t folder : monitor.gapGoneFolders) monitor.map.Remove(folder);
            std::vector<std::uint64_t>().swap(monitor.gapGoneFolders);
        }
    }
    std::u16string name = record.FileName;
    if (name.size() > kMaxNameUnits) name.resize(kMaxNameUnits - 1);
    if ((record.Reason & platform::kUsnReasonClose) == 0) {
        commitPosition(monitor, after);
        return;
    }
    ChangeInput change;
    {
        std::lock_guard lock(pathMapLock());
        bookkeepDirectory(monitor, record, name);
        std::u16string parentPath;
        if (reconstructPath(monitor.map, record.ParentFileReferenceNumber, &parentPath)) {
            change.parentPath = toUtf8(parentPath);
            change.fullPath = toUtf8(parentPath + u"\\" + name);
        } else {
            char text[64];
            std::snprintf(text, sizeof text, " cannot find path for objects parent ID 0x%016llX",
                          static_cast<unsigned long long>(record.ParentFileReferenceNumber));
            change.fullPath = toUtf8(name) + text;
            change.pathFound = false;
            LogInfo("\n in Process Change Journal Unable to find path for parent");
        }
    }
    change.reason = record.Reason;
    change.fileAttributes = record.FileAttributes;
    change.timeStamp = record.TimeStamp;
    change.alreadyIndexed = record.Usn < monitor.indexedUpTo;
    processChange(change, [&monitor, after] { monitor.committedUsn = after; });
    commitPosition(monitor, after);
}

bool queryJournal(VolumeMonitor& monitor, platform::UsnJournalData* data) {
    return monitor.journal.query(data) == 0;
}

bool markRunningPositions(std::uintmax_t indexSize, bool appended) {
    std::vector<std::shared_ptr<VolumeMonitor>> monitors;
    {
        std::lock_guard lock(g_monitorsLock);
        monitors = g_monitors;
    }
    std::vector<const VolumeMonitor*> ready;
    for (const auto& monitor : monitors)
        if (monitor->ready) ready.push_back(monitor.get());
    return markStoredPositions(ready, indexSize, appended);
}

void scheduleChangeJobOnce() {
    std::lock_guard lock(changeListLock());
    if (g_changeJobCreated) return;
    auto repeat = makePeriodic(180, kUnitSeconds, -1);
    if (!repeat) {
        LogError("\n Unable to allocate RepeatCondStruct memory ");
        return;
    }
    if (!repeat->detail) {
        LogError("\n Unable to allocate PeriodicStruct memory ");
        return;
    }
    const auto first = static_cast<std::uint32_t>(platform::nowSeconds() + 60);
    g_changeJobId = scheduleEntry("DEFAULT", first, [] { changeJob(saveAllBackups, markRunningPositions); },
                                  std::move(repeat));
    if (g_changeJobId == 0) return;
    g_changeJobCreated = true;
    LogInfo("\n Scheduler for transferring file changes to SNT server created..");
}

std::shared_ptr<VolumeMonitor> monitorFor(char letter) {
    std::lock_guard lock(g_monitorsLock);
    for (const auto& monitor : g_monitors)
        if (monitor->drive == static_cast<char16_t>(letter)) return monitor;
    return nullptr;
}

const char* windowsErrorText(long code) {
    switch (code) {
    case 0: return "The operation completed successfully.";
    case 1: return "Incorrect function.";
    case 2: return "The system cannot find the file specified.";
    case 3: return "The system cannot find the path specified.";
    case 5: return "Access is denied.";
    case 6: return "The handle is invalid.";
    case 38: return "Reached the end of the file.";
    case 87: return "The parameter is incorrect.";
    case 122: return "The data area passed to a system call is too small.";
    case 1178: return "The volume change journal is being deleted.";
    case 1179: return "The volume change journal is not active.";
    case 1181: return "The journal entry has been deleted from the journal.";
    default: return "Unknown error.";
    }
}

}  // namespace

void logErrorDetails(long code) {
    char text[256];
    std::snprintf(text, sizeof text, "failed with error %d: %s", static_cast<int>(code),
                  windowsErrorText(code));
    LogError("\n Error Details: %s", text);
}

namespace {

std::atomic<long> g_journalGaps{0};

void countJournalGap(VolumeMonitor& monitor) {
    g_journalGaps.fetch_add(1);
    monitor.gaps.fetch_add(1);
    monitor.lastGapTime.store(platform::nowSeconds());
}

// The journal dropped records the monitor had not read yet. Logged once per
// gap, with the lost USN range, and counted; a walk of the volume then
// reports what changed in between (recoverFromGap).
void reportJournalGap(VolumeMonitor& monitor, std::int64_t from, std::int64_t to) {
    countJournalGap(monitor);
    LogError("\n Change journal of drive %c: the records from USN 0x%016llX to 0x%016llX were dropped before "
             "they were read; the volume is walked for the changes in between",
             driveChar(monitor), static_cast<unsigned long long>(from), static_cast<unsigned long long>(to));
}

}  // namespace

long journalGapCount() { return g_journalGaps.load(); }

namespace {

std::int64_t nowFileTime() {
    const std::int64_t ms = platform::nowMillis();
    return platform::fileTimeFromUnix(ms / 1000, (ms % 1000) * 1000000);
}

// A file whose creation time is no more than this before its last write was
// created in the gap (a new file is written as it is made); an older one was
// modified. FILETIME units: 2 s.
constexpr std::int64_t kCreatedWithinFileTime = 2 * 10000000LL;

// What the walk after a gap found, before it is handed on.
struct GapChange {
    std::string path;
    std::string parentPath;
    std::uint32_t reason = 0;
    std::uint32_t attributes = 0;
};

// One pass over the volume's items: those changed since `from` (all of
// them, so folders made in the gap are in the map before any path is built)
// and the references of every live folder.
bool enumerateSince(VolumeMonitor& monitor, std::int64_t from, std::vector<platform::UsnRecord>* changed,
                    std::unordered_set<std::uint64_t>* liveFolders) {
    if (!monitor.journal.enumerate) return false;
    platform::MftEnumData in{0, 0, std::numeric_limits<std::int64_t>::max()};
    std::vector<std::uint8_t> out(kEnumBufferSize);
    for (;;) {
        if (monitor.stop != 0) return false;
        std::uint32_t returned = 0;
        const long error = monitor.journal.enumerate(in, out.data(), kEnumBufferSize, &returned);
        if (error == platform::kErrorHandleEof) return true;
        if (error != 0) {
            logErrorDetails(error);
            return false;
        }
        const std::span<const std::uint8_t> bytes(out.data(), returned);
        for (platform::UsnRecord& record : platform::decodeUsnOutput(bytes)) {
            if (record.FileAttributes & platform::kFileAttributeDirectory) liveFolders->insert(record.FileReferenceNumber);
            if (record.Usn >= from) changed->push_back(std::move(record));
        }
        const std::uint64_t next = platform::usnOutputHeader(bytes);
        if (next <= in.StartFileReferenceNumber) return true;
        in.StartFileReferenceNumber = next;
    }
}

// Under pathMapLock: brings the map to the volume's state and lists what
// changed in the gap: folders made (unknown to the map) and gone (in the map,
// no longer on the volume), and files changed below `endUsn`, their
// reasons decided later from their times.
std::vector<GapChange> gapChangesFromMap(VolumeMonitor& monitor, const std::vector<platform::UsnRecord>& changed,
                                         const std::unordered_set<std::uint64_t>& liveFolders,
                                         std::int64_t endUsn) {
    DirectoryPathMap& map = monitor.map;
    std::vector<GapChange> out;
    auto pathOf = [&map](std::uint64_t reference, std::string* path) {
        std::u16string text;
        if (!reconstructPath(map, reference, &text)) return false;
        *path = toUtf8(text);
        return true;
    };
    std::vector<std::uint64_t> gone;
    for (const auto& [reference, slot] : map.index)
        if (map.parents[slot] != 0 && liveFolders.count(reference) == 0) gone.push_back(reference);
    for (std::uint64_t reference : gone) {
        GapChange change;
        if (pathOf(reference, &change.path)) {
            change.reason = platform::kUsnReasonFileDelete | platform::kUsnReasonClose;
            change.attributes = platform::kFileAttributeDirectory;
            out.push_back(std::move(change));
            monitor.gapReported.insert(reference);
        }
    }
    monitor.gapGoneFolders = std::move(gone);
    std::unordered_set<std::uint64_t> madeFolders;
    for (const platform::UsnRecord& record : changed) {
        if ((record.FileAttributes & platform::kFileAttributeDirectory) == 0) continue;
        if (map.Add(record.FileReferenceNumber, record.FileName, record.ParentFileReferenceNumber))
            madeFolders.insert(record.FileReferenceNumber);
        else
            map.Rename(record.FileReferenceNumber, record.FileName, record.ParentFileReferenceNumber);
    }
    for (const platform::UsnRecord& record : changed) {
        if (record.Usn >= endUsn) continue;  // read from the journal
        const bool folder = (record.FileAttributes & platform::kFileAttributeDirectory) != 0;
        if (folder && madeFolders.count(record.FileReferenceNumber) == 0) continue;
        GapChange change;
        if (!pathOf(record.ParentFileReferenceNumber, &change.parentPath)) continue;
        change.path = change.parentPath + "\\" + toUtf8(record.FileName);
        change.attributes = record.FileAttributes;
        change.reason = folder ? platform::kUsnReasonFileCreate | platform::kUsnReasonClose : 0;
        monitor.gapReported.insert(record.FileReferenceNumber);
        out.push_back(std::move(change));
    }
    return out;
}

}  // namespace

void recoverFromGap(VolumeMonitor& monitor, std::int64_t from, const platform::UsnJournalData& data) {
    reportJournalGap(monitor, from, data.FirstUsn);
    setReadState(monitor, data.FirstUsn, data.UsnJournalID);
    std::vector<platform::UsnRecord> changed;
    std::unordered_set<std::uint64_t> liveFolders;
    if (!enumerateSince(monitor, from, &changed, &liveFolders)) {
        if (monitor.stop == 0)
            LogError("\n Change journal of drive %c: the volume could not be walked for the changes of the gap",
                     driveChar(monitor));
        return;
    }
    std::vector<GapChange> found;
    {
        std::lock_guard lock(pathMapLock());
        monitor.gapReported.clear();
        for (std::uint64_t folder : monitor.gapGoneFolders) monitor.map.Remove(folder);  // an earlier gap's
        monitor.gapEndUsn = data.NextUsn;
        found = gapChangesFromMap(monitor, changed, liveFolders, data.NextUsn);
    }
    std::vector<platform::UsnRecord>().swap(changed);
    // Folders before what lies in them, so a made folder's files are
    // collected with it.
    std::sort(found.begin(), found.end(), [](const GapChange& a, const GapChange& b) { return a.path < b.path; });
    long reported = 0;
    const std::int64_t now = nowFileTime();
    for (GapChange& change : found) {
        if (change.reason == 0) {
            platform::FileTimes times;
            // A file gone since the walk: its deletion is in the journal.
            if (!monitor.journal.fileTimes || !monitor.journal.fileTimes(change.path, &times)) continue;
            const bool made = times.creation != 0 && times.creation + kCreatedWithinFileTime >= times.lastWrite;
            change.reason = (made ? platform::kUsnReasonFileCreate : platform::kUsnReasonDataOverwrite) |
                            platform::kUsnReasonClose;
        }
        ChangeInput input;
        input.fullPath = std::move(change.path);
        input.parentPath = std::move(change.parentPath);
        input.reason = change.reason;
        input.fileAttributes = change.attributes;
        input.timeStamp = now;
        processChange(input);
        ++reported;
    }
    // The walk's changes are queued: a saved position no longer needs the
    // dropped records.
    commitPosition(monitor, data.FirstUsn);
    LogInfo("\n Change journal of drive %c: %ld changes of the gap found by a walk of the volume", driveChar(monitor),
            reported);
}

bool markStoredPositions(const std::vector<const VolumeMonitor*>& monitors, std::uintmax_t indexSize,
                         bool appended) {
    std::string text = std::to_string(indexSize) + (appended ? " 1\n" : " 0\n");
    for (const VolumeMonitor* monitor : monitors)
        text += std::to_string(static_cast<unsigned>(monitor->drive)) + ' ' +
                std::to_string(monitor->readState.UsnJournalID) + ' ' + std::to_string(monitor->committedUsn) + '\n';
    return writeFileWhole(kStoredPositionsPath, text);
}

std::int64_t storedPositionOf(const VolumeMonitor& monitor, std::uint64_t journalId) {
    std::string text;
    if (!platform::readFileWhole(kStoredPositionsPath, &text)) return 0;
    std::istringstream in(text);
    std::uintmax_t indexSize = 0;
    int appended = 0;
    if (!(in >> indexSize >> appended)) return 0;
    if (appended == 0) {
        // Written before the append: it counts only when the index has the
        // size the append gave it.
        platform::FileStatus index;
        if (platform::fileStatus(kChangeIndexPath, &index) != 0 || index.size != indexSize) return 0;
    }
    unsigned drive = 0;
    std::uint64_t id = 0;
    std::int64_t usn = 0;
    while (in >> drive >> id >> usn)
        if (drive == static_cast<unsigned>(monitor.drive) && id == journalId) return usn;
    return 0;
}

std::string backupFilePath(char driveLetter) {
    std::string dir;
    platform::currentDirectory(&dir);
    return platform::joinFolderPath(platform::joinFolderPath(dir, "data"), std::string("Volume-") + driveLetter + ".db");
}

void setReadState(VolumeMonitor& monitor, std::int64_t startUsn, std::uint64_t journalId) {
    monitor.readState = platform::ReadUsnJournalData{};
    monitor.readState.StartUsn = startUsn;
    monitor.readState.ReasonMask = 0xFFFFFFFF;
    monitor.readState.UsnJournalID = journalId;
    monitor.bytesReturned = 0;
    monitor.current.reset();
    monitor.shownJournalId.store(journalId);
    monitor.shownReadUsn.store(startUsn);
}

std::optional<std::size_t> nextJournalRecord(VolumeMonitor& monitor) {
    const std::span<const std::uint8_t> bytes(monitor.buffer.data(), monitor.bytesReturned);
    if (monitor.current) {
        platform::UsnRecord record;
        const std::size_t next = platform::nextUsnRecordOffset(bytes, *monitor.current);
        monitor.reread = next >= bytes.size();
        if (!monitor.reread && platform::decodeUsnRecord(bytes, next, &record)) {
            monitor.current = next;
            return monitor.current;
        }
        monitor.reread = true;
    }
    monitor.current.reset();
    std::uint32_t returned = 0;
    const long error = monitor.journal.read(monitor.readState, monitor.buffer.data(),
                                            kJournalReadBufferSize, &returned);
    if (error != 0) {
        monitor.bytesReturned = 0;
        logErrorDetails(error);
        platform::UsnJournalData data{};
        const long queryError = monitor.journal.query(&data);
        if (queryError != 0) {
            LogError("\n EnumerateFailed!!");
            logErrorDetails(queryError);
        }
        if (error == platform::kErrorJournalEntryDeleted && queryError == 0) {
            recoverFromGap(monitor, monitor.readState.StartUsn, data);
        }
        return std::nullopt;
    }
    monitor.bytesReturned = returned;
    monitor.reread = false;
    const std::span<const std::uint8_t> fresh(monitor.buffer.data(), returned);
    monitor.readState.StartUsn = static_cast<std::int64_t>(platform::usnOutputHeader(fresh));
    monitor.shownReadUsn.store(monitor.readState.StartUsn);
    platform::UsnRecord record;
    if (returned > platform::kUsnOutputHeaderSize &&
        platform::decodeUsnRecord(fresh, platform::kUsnOutputHeaderSize, &record)) {
        monitor.current = platform::kUsnOutputHeaderSize;
        return monitor.current;
    }
    // Nothing (or nothing readable) came: the journal is read from the new
    // position next time.
    commitPosition(monitor, monitor.readState.StartUsn);
    return std::nullopt;
}

void processJournalRecords(VolumeMonitor& monitor) {
    while (monitor.stop == 0) {
        const auto offset = nextJournalRecord(monitor);
        if (!offset) return;
        const std::span<const std::uint8_t> bytes(monitor.buffer.data(), monitor.bytesReturned);
        platform::UsnRecord record;
        if (!platform::decodeUsnRecord(bytes, *offset, &record)) return;
        handleRecord(monitor, record, usnAfter(monitor, *offset));
    }
}

void PollJournal(VolumeMonitor& monitor) {
    std::vector<std::uint8_t> buffer(kJournalReadBufferSize);
    for (;;) {
        if (monitor.stop != 0) {
            monitor.wake.set();
            return;
        }
        platform::UsnJournalData data{};
        const long queryError = monitor.journal.query(&data);
        if (queryError != 0) {
            LogError("\n PollJournal: QUERY_USN_JOURNAL Failed!!");
            logErrorDetails(queryError);
        } else {
            monitor.shownNextUsn.store(data.NextUsn);
        }
        std::uint32_t returned = 0;
        const long error =
            monitor.journal.read(monitor.readState, buffer.data(), kJournalReadBufferSize, &returned);
        if (error == 0 && returned < 9) {
            platform::sleepMillis(kPollSleepMillis);
            continue;
        }
        if (error == 0) {
            setReadState(monitor, monitor.readState.StartUsn, data.UsnJournalID);
            platform::sleepMillis(kPollSleepMillis);
            monitor.wake.set();
            return;
        }
        LogError("\n PollJournal: READ_USN_JOURNAL failed..Polling again..");
        logErrorDetails(error);
        if (error == platform::kErrorJournalEntryDeleted && queryError == 0) {
            recoverFromGap(monitor, monitor.readState.StartUsn, data);
        } else if (error == platform::kErrorInvalidParameter && queryError == 0 &&
                   data.UsnJournalID != monitor.readState.UsnJournalID) {
            // The journal was deleted and created again since the position
            // was saved: the old position means nothing in the new journal,
            // so reading starts at its beginning instead of failing for ever.
            LogError("\n PollJournal: journal replaced; reading from its first record");
            countJournalGap(monitor);
            setReadState(monitor, data.FirstUsn, data.UsnJournalID);
        }
        monitor.wake.set();
        platform::sleepMillis(kPollSleepMillis);
        return;
    }
}

bool populateDirectoryMap(VolumeMonitor& monitor) {
    const char letter = driveChar(monitor);
    monitor.map.Clear();
    LogInfo("\n Populating File DB for Drive: %c ", letter);
    platform::UsnJournalData data{};
    if (!queryJournal(monitor, &data)) return false;
    std::uint64_t rootIndex = 0;
    const long rootError = platform::getFileIndex(std::string(1, letter) + ":\\", &rootIndex);
    if (rootError != 0) logErrorDetails(rootError);
    monitor.map.Add(rootIndex, platform::utf8ToUtf16(std::string(1, letter) + ":"), 0);
    platform::MftEnumData in{0, 0, data.NextUsn};
    std::vector<std::uint8_t> out(kEnumBufferSize);
    for (;;) {
        // A whole drive takes a while, and the stop waits for this lock to
        // save the positions: a stop ends the walk, and the half-built map
        // is not saved, so the next start builds it again.
        if (monitor.stop != 0) {
            LogInfo("\n Populating File DB stopped for Drive: %c; it is built again at the next start", letter);
            return false;
        }
        std::uint32_t returned = 0;
        if (platform::enumUsnData(monitor.volume, in, out.data(), kEnumBufferSize, &returned) != 0)
            break;
        const std::span<const std::uint8_t> bytes(out.data(), returned);
        for (const platform::UsnRecord& record : platform::decodeUsnOutput(bytes))
            if (record.FileAttributes & platform::kFileAttributeDirectory)
                monitor.map.Add(record.FileReferenceNumber, record.FileName,
                                record.ParentFileReferenceNumber);
        const std::uint64_t next = platform::usnOutputHeader(bytes);
        if (next <= in.StartFileReferenceNumber) break;
        in.StartFileReferenceNumber = next;
    }
    const BackupHeader header{monitor.drive, monitor.readState.UsnJournalID, monitor.committedUsn};
    if (!writeBackupFile(monitor.backupPath, header, monitor.map))
        LogError("\n Unable to write %s", monitor.backupPath.c_str());
    LogInfo("\n Populating File DB done for Drive: %c", letter);
    return true;
}

bool SetEnv(VolumeMonitor& monitor) {
    BackupHeader saved;
    bool resumed = false;
    {
        std::lock_guard lock(pathMapLock());
        monitor.map.Clear();
        resumed = readBackupFile(monitor.backupPath, &saved, &monitor.map);
        if (!resumed) monitor.map.Clear();
    }
    if (resumed) {
        LogInfo("\n Reading from back up file...");
        setReadState(monitor, saved.startUsn, saved.journalId);
        commitPosition(monitor, saved.startUsn);
        monitor.indexedUpTo = storedPositionOf(monitor, saved.journalId);
        LogInfo("\n Processing CJ records during service downtime...");
        processJournalRecords(monitor);
        return true;
    }
    LogInfo("\n SetEnv: Entrr..");
    platform::UsnJournalData data{};
    int attempts = 0;
    for (;;) {
        const long error = monitor.journal.query(&data);
        if (error == 0) break;
        if (error == platform::kErrorJournalDeleteInProgress && attempts < kJournalSetUpAttempts) {
            LogInfo("\nWaiting for Delete to finish\r\n");
            platform::DeleteUsnJournalData del{0, platform::kUsnDeleteFlagNotify, 0};
            platform::deleteUsnJournal(monitor.volume, del);
            LogInfo("\nDelete finished\r\n");
        } else if (error == platform::kErrorJournalNotActive && attempts < kJournalSetUpAttempts) {
            LogInfo("\nCreating new J\r\n");
            platform::createUsnJournal(monitor.volume, platform::CreateUsnJournalData{0x800000, 0x100000});
        } else {
            LogError("\nUnable to query journal\r\n");
            LogError("MONITORING STOPPED!\r\n");
            LogError("\n SetEnv: return NOTSUCCESS");
            return false;
        }
        ++attempts;
    }
    LogInfo("\n SetEnv: Start is : 0x%016llX\r\n", static_cast<unsigned long long>(data.FirstUsn));
    LogInfo("\n SetEnv: Next is : 0x%016llX\r\n", static_cast<unsigned long long>(data.NextUsn));
    setReadState(monitor, data.NextUsn, data.UsnJournalID);
    commitPosition(monitor, data.NextUsn);
    std::lock_guard lock(pathMapLock());
    // A drive whose journal cannot be queried is still watched; a stop
    // during the walk leaves nothing to watch or save.
    return populateDirectoryMap(monitor) || monitor.stop == 0;
}

void StartJournal(char driveLetter) {
    LogInfo("\n Initialize monitoring for Drive : %c", driveLetter);
    if (monitorFor(driveLetter)) return;  // already watched
    std::string fileSystem;
    const long fsError = platform::getVolumeFileSystemName(std::string(1, driveLetter) + ":\\", &fileSystem);
    bool ntfs = false;
    if (fsError != 0) {
        logErrorDetails(fsError);
    } else if (fileSystem.find("NTFS") != std::string::npos || fileSystem.find("ntfs") != std::string::npos) {
        ntfs = true;
    } else {
        LogInfo("\n %c Drive's FILESYSTEM is : %s", driveLetter, fileSystem.c_str());
        LogInfo("\n Cannot monitor drive %c..FileSystem is not NTFS", driveLetter);
    }
    if (!ntfs) {
        LogError("\n %c Drive's File System is not NTFS. Cannot monitor this Drive!!", driveLetter);
        return;
    }
    auto monitor = std::make_shared<VolumeMonitor>();
    monitor->drive = static_cast<char16_t>(driveLetter);
    const std::string device = std::string("\\\\.\\") + driveLetter + ":";
    platform::setJournalDiagnosticSink(journalDiagnosticToLog);
    if (platform::openVolume(device, &monitor->volume) != 0) {
        LogError("Unable to Init handle in Journal Init for Volume: %c", driveLetter);
        LogError("\n %c Drive's Journal Instance is invalid.. Cannot monitor this Drive!!", driveLetter);
        return;
    }
    monitor->journal = platformJournal(*monitor);
    monitor->backupPath = backupFilePath(driveLetter);
    LogInfo("\n Db file %s created", monitor->backupPath.c_str());
    {
        std::lock_guard lock(g_monitorsLock);
        g_monitors.push_back(monitor);
    }
    if (!SetEnv(*monitor)) {
        if (monitor->stop == 0)
            LogError("\n StartJournal:: Unable to Set Env for Journalling for drive %c..Exiting..", driveLetter);
        // A monitor that never read its journal has no position to save.
        std::lock_guard lock(g_monitorsLock);
        std::erase(g_monitors, monitor);
        return;
    }
    monitor->ready = true;
    scheduleChangeJobOnce();
    LogInfo("\n Initiating WAIT");
    for (;;) {
        PollJournal(*monitor);
        monitor->wake.wait(-1);
        if (monitor->stop != 0) return;
        platform::sleepMillis(kPollSleepMillis);
        processJournalRecords(*monitor);
    }
}

void startDriveMonitor(char driveLetter) {
    ThreadHandle thread = CreateNewThread([driveLetter] { StartJournal(driveLetter); });
    std::lock_guard lock(g_monitorsLock);
    if (thread) g_driveThreads.push_back(thread);
}

void startDriveMonitors() {
    setDriveMonitorStarter(startDriveMonitor);
    std::vector<char> letters;
    {
        std::lock_guard rules(rulesLock());
        std::lock_guard drives(driveSetLock());
        for (const std::string& drive : monitorRules().drives) letters.push_back(drive[0]);
    }
    for (char letter : letters) startDriveMonitor(letter);
}

void saveAllBackups() {
    std::lock_guard list(g_monitorsLock);
    std::lock_guard lock(pathMapLock());
    for (const auto& monitor : g_monitors) {
        if (!monitor->ready) continue;
        const BackupHeader header{monitor->drive, monitor->readState.UsnJournalID, monitor->committedUsn};
        if (!writeBackupFile(monitor->backupPath, header, monitor->map))
            LogError("\n Unable to write %s", monitor->backupPath.c_str());
    }
}

std::vector<std::shared_ptr<VolumeMonitor>> stopAllMonitors() {
    // The attribute job under way ends at its next item or read block and
    // takes back its rows, so its data set is not sent in part.
    const bool attributesIdle = stopFileWorker(kFileWorkerStopMillis);
    std::vector<std::shared_ptr<VolumeMonitor>> monitors;
    std::vector<ThreadHandle> threads;
    {
        std::lock_guard lock(g_monitorsLock);
        monitors = g_monitors;
        threads = g_driveThreads;
    }
    // The threads end first, so nothing is read from a journal after the
    // positions are saved.
    for (const auto& monitor : monitors) {
        monitor->stop = 1;
        monitor->wake.set();
    }
    for (const auto& thread : threads) WaitForThread(thread, kThreadStopWaitMillis);
    {
        std::lock_guard lock(changeListLock());
        if (g_changeJobCreated) unscheduleEntry("DEFAULT", g_changeJobId);
        g_changeJobCreated = false;
        // Changes queued since the last change job reach the index before
        // the positions past them are saved.
        storeQueuedChanges(markRunningPositions);
        saveAllBackups();
    }
    // A job that did not end holds the attribute tables: their transfers
    // wait for the next start instead of holding the stop up.
    if (attributesIdle) {
        periodicTransfer();
        newDataTransfer();
    }
    changeTransfer();
    if (attributesIdle) baseTransfer();
    std::lock_guard lock(g_monitorsLock);
    g_monitors.clear();
    g_driveThreads.clear();
    return monitors;
}

std::vector<DriveStatus> driveStatuses() {
    std::vector<DriveStatus> out;
    for (const auto& monitor : runningMonitors()) {
        DriveStatus d;
        d.letter = driveChar(*monitor);
        d.journalId = monitor->shownJournalId.load();
        d.readUsn = monitor->shownReadUsn.load();
        d.nextUsn = std::max(monitor->shownNextUsn.load(), d.readUsn);
        d.gaps = monitor->gaps.load();
        d.lastGapTime = monitor->lastGapTime.load();
        platform::VolumeWatchState watch;
        platform::queryVolumeWatchState(monitor->volume, &watch);
        d.unwatchedFolders = watch.unwatchedFolders;
        d.itemsWatched = watch.itemsWatched;
        if (d.itemsWatched < 0) {
            // The map's lock is held for a whole map build: never wait on it.
            std::unique_lock lock(pathMapLock(), std::try_to_lock);
            if (lock) monitor->shownFoldersMapped.store(static_cast<std::int64_t>(monitor->map.index.size()));
            d.itemsWatched = monitor->shownFoldersMapped.load();
        }
        out.push_back(d);
    }
    std::sort(out.begin(), out.end(), [](const DriveStatus& a, const DriveStatus& b) { return a.letter < b.letter; });
    return out;
}

std::vector<std::shared_ptr<VolumeMonitor>> runningMonitors() {
    std::lock_guard lock(g_monitorsLock);
    return g_monitors;
}

void deleteJournalAndDBFile() {
    std::string dir;
    const long cwdError = platform::currentDirectory(&dir);
    if (cwdError != 0) {
        LogError("\ndeleteJournalAndDBFile::GetCurrentDirectory failed (%d)\n", static_cast<int>(cwdError));
        return;
    }
    const std::string dataDir = platform::joinFolderPath(dir, "data");
    std::vector<platform::DirectoryEntry> entries;
    platform::listDirectory(dataDir, &entries);
    std::vector<std::string> files;
    for (const platform::DirectoryEntry& entry : entries) {
        const std::string& name = entry.name;
        if (name.rfind("Volume", 0) == 0 && name.size() >= 9 && name.substr(name.size() - 3) == ".db")
            files.push_back(name);
    }
    if (files.empty()) {
        LogError("deleteJournalAndDBFile: Invalid handle!!");
        return;
    }
    for (const std::string& name : files) {
        const std::string file = platform::joinFolderPath(dataDir, name);
        LogInfo("\ndeleteJournalAndDBFile: volumeString is %s", name.c_str());
        BackupHeader header;
        DirectoryPathMap scratch;
        if (!readBackupFile(file, &header, &scratch)) {
            LogError("\n Unable to read data from back up file to delete the journal..");
            logErrorDetails(13);
            return;
        }
        const char letter = name.size() > 7 ? name[7] : '?';
        const std::string device = std::string("\\\\.\\") + letter + ":";
        LogInfo("\n Createhandle::Going to open %s for volume %s", device.c_str(), name.c_str());
        platform::VolumeHandle volume;
        const long openError = platform::openVolume(device, &volume);
        if (openError != 0) {
            LogError("\n Unable to Init handle for Volume : %c for deleting journal and File", letter);
            logErrorDetails(openError);
            continue;
        }
        platform::DeleteUsnJournalData del{header.journalId,
                                           platform::kUsnDeleteFlagDelete | platform::kUsnDeleteFlagNotify, 0};
        const long deleteError = platform::deleteUsnJournal(volume, del);
        LogInfo("\n Bytes returned after DELETE_JOURNAL is %d", 0);
        if (deleteError == 0) {
            platform::UsnJournalData data{};
            const long queryError = platform::queryUsnJournal(volume, &data);
            if (queryError != 0) {
                LogError("\n Unable to query journal and file.. for deleting");
                logErrorDetails(queryError);
            }
            LogInfo("\n deleteJournalAndDBFile:Found file name is %s", file.c_str());
            platform::removeFile(file);
        } else {
            LogError("\n Unable to delete journal and file..");
            logErrorDetails(deleteError);
        }
    }
}
