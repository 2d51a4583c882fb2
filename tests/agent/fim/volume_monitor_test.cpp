// The record iterator and the processing of journal records over journals
// kept in memory: map building, renames, deletions, long names, the close
// bit, the 1181 restart, the saved position, and the back-up resume.

#include <cstring>
#include <atomic>
#include <map>
#include <thread>

#include "agent/fim/volume_monitor.h"
#include "fim_fixture.h"

namespace {

constexpr std::uint32_t kClose = 0x80000000;
constexpr std::uint32_t kCreate = 0x100;
constexpr std::uint32_t kDelete = 0x200;
constexpr std::uint32_t kExtend = 0x2;
constexpr std::uint32_t kOldName = 0x1000;
constexpr std::uint32_t kNewName = 0x2000;
constexpr std::uint32_t kDir = 0x10;
constexpr std::int64_t kFileTime = (1700000000LL * 10000000LL) + 116444736000000000LL;

// A journal in memory: records at growing USNs, the oldest ones droppable,
// and the volume's items as their last records left them.
struct MemoryJournal {
    std::uint64_t id = 77;
    std::map<std::int64_t, platform::UsnRecord> records;
    std::map<std::uint64_t, platform::UsnRecord> items;
    std::map<std::string, platform::FileTimes> times;  // by path
    std::int64_t nextUsn = 0x1000;
    std::int64_t firstUsn = 0x1000;

    void add(std::uint64_t reference, std::uint64_t parent, std::u16string name,
             std::uint32_t reason, std::uint32_t attributes = 0) {
        platform::UsnRecord r;
        r.FileReferenceNumber = reference;
        r.ParentFileReferenceNumber = parent;
        r.FileName = std::move(name);
        r.Reason = reason;
        r.FileAttributes = attributes;
        r.TimeStamp = kFileTime;
        r.Usn = nextUsn;
        r.RecordLength = platform::usnRecordLength(r.FileName.size());
        records[nextUsn] = r;
        if ((reason & kDelete) && (reason & kClose))
            items.erase(reference);
        else
            items[reference] = r;
        nextUsn += r.RecordLength;
    }
    void dropBefore(std::int64_t usn) {
        records.erase(records.begin(), records.lower_bound(usn));
        firstUsn = usn;
    }

    JournalAccess access() {
        JournalAccess a;
        a.query = [this](platform::UsnJournalData* d) {
            *d = platform::UsnJournalData{id, firstUsn, nextUsn, firstUsn, 0, 0, 0};
            return 0L;
        };
        a.read = [this](const platform::ReadUsnJournalData& in, void* out, std::uint32_t size,
                        std::uint32_t* returned) -> long {
            *returned = 0;
            if (in.UsnJournalID != id) return platform::kErrorInvalidParameter;
            if (in.StartUsn < firstUsn) return platform::kErrorJournalEntryDeleted;
            std::vector<std::uint8_t> bytes(8);
            std::int64_t next = nextUsn;
            for (auto it = records.lower_bound(in.StartUsn); it != records.end(); ++it) {
                std::vector<std::uint8_t> one = platform::encodeUsnRecord(it->second);
                if (bytes.size() + one.size() > size) {
                    next = it->first;
                    break;
                }
                bytes.insert(bytes.end(), one.begin(), one.end());
            }
            std::memcpy(bytes.data(), &next, 8);
            std::memcpy(out, bytes.data(), bytes.size());
            *returned = static_cast<std::uint32_t>(bytes.size());
            return 0L;
        };
        a.enumerate = [this](const platform::MftEnumData& in, void* out, std::uint32_t size,
                             std::uint32_t* returned) -> long {
            std::vector<std::uint8_t> bytes(8);
            std::uint64_t next = in.StartFileReferenceNumber;
            for (auto it = items.lower_bound(in.StartFileReferenceNumber); it != items.end(); ++it) {
                if (it->second.Usn < in.LowUsn || it->second.Usn > in.HighUsn) continue;
                std::vector<std::uint8_t> one = platform::encodeUsnRecord(it->second);
                if (bytes.size() + one.size() > size) break;
                bytes.insert(bytes.end(), one.begin(), one.end());
                next = it->first + 1;
            }
            if (bytes.size() == 8) return platform::kErrorHandleEof;
            std::memcpy(bytes.data(), &next, 8);
            std::memcpy(out, bytes.data(), bytes.size());
            *returned = static_cast<std::uint32_t>(bytes.size());
            return 0L;
        };
        a.fileTimes = [this](const std::string& path, platform::FileTimes* out) {
            auto it = times.find(path);
            if (it == times.end()) return false;
            *out = it->second;
            return true;
        };
        return a;
    }
};

// PollJournal sleeps on the clock between reads: the manual clock is moved
// on until it returns.
void pollAdvancingClock(VolumeMonitor& monitor) {
    std::atomic<bool> done{false};
    std::thread poller([&] {
        PollJournal(monitor);
        done = true;
    });
    while (!done) {
        platform::advanceClock(100);
        std::this_thread::yield();
    }
    poller.join();
}

class VolumeMonitorTest : public FimTest {
protected:
    void SetUp() override {
        FimTest::SetUp();
        std::lock_guard lock(rulesLock());
        monitorRules().monitorDirs = {"c:\\data"};
        monitorRules().locations.emplace("c:\\data", LocationIds{5, 0});
        monitor_.journal = journal_.access();
        monitor_.backupPath = backupFilePath('C');
        monitor_.map.Add(1, u"C:", 0);
        monitor_.map.Add(2, u"Data", 1);
        journal_.items[2] = folderRecord(2, 1, u"Data");
        setReadState(monitor_, journal_.nextUsn, journal_.id);
    }

    static platform::UsnRecord folderRecord(std::uint64_t reference, std::uint64_t parent, std::u16string name) {
        platform::UsnRecord r;
        r.FileReferenceNumber = reference;
        r.ParentFileReferenceNumber = parent;
        r.FileName = std::move(name);
        r.FileAttributes = kDir;
        r.RecordLength = platform::usnRecordLength(r.FileName.size());
        return r;
    }

    std::vector<std::string> changes() {
        std::vector<std::string> out;
        std::lock_guard lock(changeListLock());
        for (const auto& c : changeList()) out.push_back(c.changeType + " " + c.path);
        return out;
    }

    MemoryJournal journal_;
    VolumeMonitor monitor_;
};

TEST_F(VolumeMonitorTest, ClosedChangesAreHandedOnWithTheirPaths) {
    journal_.add(20, 2, u"Sub", kCreate, kDir);           // not closed yet: nothing
    journal_.add(20, 2, u"Sub", kCreate | kClose, kDir);
    journal_.add(30, 20, u"a.txt", kCreate | kExtend | kClose);
    journal_.add(20, 2, u"Sub", kOldName, kDir);
    journal_.add(20, 2, u"Moved", kNewName | kClose, kDir);
    journal_.add(31, 20, u"b.txt", kExtend | kClose);     // below the renamed folder
    journal_.add(20, 2, u"Moved", kDelete | kClose, kDir);
    journal_.add(32, 20, u"c.txt", kExtend | kClose);     // its folder is gone
    processJournalRecords(monitor_);
    EXPECT_EQ(changes(), (std::vector<std::string>{
                             "CREATED c:\\data\\sub", "CREATED c:\\data\\sub\\a.txt",
                             "RENAMED c:\\data\\moved", "MODIFIED c:\\data\\moved\\b.txt",
                             "DELETED c:\\data\\moved"}));
    EXPECT_TRUE(log_->has("\n in Process Change Journal Unable to find path for parent"));
    EXPECT_EQ(monitor_.committedUsn, journal_.nextUsn);
    EXPECT_EQ(monitor_.readState.StartUsn, journal_.nextUsn);
}

TEST_F(VolumeMonitorTest, LongNamesAreCutAndManyRecordsSpanSeveralReads) {
    journal_.add(40, 2, std::u16string(300, u'x'), kCreate | kClose);
    for (int i = 0; i < 200; ++i) journal_.add(100 + i, 2, u"f" + std::u16string(40, u'y'), kExtend | kClose);
    processJournalRecords(monitor_);
    const auto list = changes();
    ASSERT_EQ(list.size(), 201u);
    EXPECT_EQ(list[0], "CREATED c:\\data\\" + std::string(259, 'x'));
}

// Records dropped before they were read: the gap is logged and counted once,
// and a walk of the volume's items changed since the lost position reports
// them (a file created when its creation time is that of its last write,
// modified otherwise; a folder created when the map did not know it, deleted
// when the map knows it and the volume no longer has it); records still in
// the journal for items the walk reported are not handed on again.
TEST_F(VolumeMonitorTest, AnOverwrittenPositionIsClosedByAWalk) {
    constexpr std::int64_t kOld = kFileTime - 36000000000LL;
    monitor_.map.Add(9, u"gone", 2);
    journal_.add(30, 2, u"lost.txt", kExtend | kClose);
    journal_.add(33, 2, u"made.txt", kCreate | kExtend | kClose);
    journal_.add(40, 2, u"newdir", kCreate | kClose, kDir);
    journal_.add(41, 40, u"in.txt", kCreate | kClose);
    journal_.add(34, 2, u"vanished.txt", kCreate | kClose);  // gone before the walk reads its times
    const std::int64_t kept = journal_.nextUsn;
    journal_.add(31, 2, u"kept.txt", kExtend | kClose);
    journal_.add(37, 9, u"old.txt", kDelete | kClose);  // the gone folder keeps its path for it
    journal_.add(9, 2, u"gone", kDelete | kClose, kDir);
    journal_.times = {{"C:\\Data\\lost.txt", {kOld, kFileTime}},
                      {"C:\\Data\\made.txt", {kFileTime, kFileTime}},
                      {"C:\\Data\\newdir\\in.txt", {kFileTime, kFileTime + 10000000}},
                      {"C:\\Data\\kept.txt", {kOld, kFileTime}}};
    setReadState(monitor_, 0x1000, journal_.id);
    journal_.dropBefore(kept);
    const long gaps = journalGapCount();
    processJournalRecords(monitor_);  // 1181: the walk, then the position moves to FirstUsn
    EXPECT_EQ(journalGapCount(), gaps + 1);  // counted once, and logged with its range
    EXPECT_EQ(monitor_.readState.StartUsn, kept);
    EXPECT_EQ(changes(), (std::vector<std::string>{
                             "DELETED c:\\data\\gone", "MODIFIED c:\\data\\kept.txt",
                             "MODIFIED c:\\data\\lost.txt", "CREATED c:\\data\\made.txt",
                             "CREATED c:\\data\\newdir", "CREATED c:\\data\\newdir\\in.txt"}));
    {
        std::lock_guard lock(newItemLock());
        EXPECT_EQ(newItemList().size(), 2u);  // made.txt and the folder, which covers its file
    }
    journal_.add(35, 40, u"later.txt", kExtend | kClose);
    processJournalRecords(monitor_);
    const auto all = changes();
    ASSERT_EQ(all.size(), 8u);
    EXPECT_EQ(all[6], "DELETED c:\\data\\gone\\old.txt");
    EXPECT_EQ(all[7], "MODIFIED c:\\data\\newdir\\later.txt");
    EXPECT_EQ(monitor_.map.index.count(9), 0u);
    EXPECT_EQ(monitor_.committedUsn, journal_.nextUsn);
}

TEST_F(VolumeMonitorTest, PollWakesOnNewRecordsAndOnAReplacedJournal) {
    journal_.add(30, 2, u"a.txt", kExtend | kClose);
    pollAdvancingClock(monitor_);
    EXPECT_TRUE(monitor_.wake.wait(0));
    // The journal was deleted and created again: its old position is void.
    journal_.id = 78;
    pollAdvancingClock(monitor_);
    EXPECT_TRUE(monitor_.wake.wait(0));
    EXPECT_EQ(monitor_.readState.UsnJournalID, 78u);
    EXPECT_EQ(monitor_.readState.StartUsn, journal_.firstUsn);
}

TEST_F(VolumeMonitorTest, ResumesFromTheBackupAndProcessesTheDowntime) {
    std::filesystem::create_directories("data");
    DirectoryPathMap saved;
    saved.Add(1, u"C:", 0);
    saved.Add(2, u"Data", 1);
    saved.Add(9, u"Old", 2);
    ASSERT_TRUE(writeBackupFile(monitor_.backupPath, {u'C', journal_.id, journal_.nextUsn}, saved));
    journal_.add(50, 9, u"while-down.txt", kCreate | kClose);
    monitor_.map.Clear();
    ASSERT_TRUE(SetEnv(monitor_));
    EXPECT_EQ(changes(), (std::vector<std::string>{"CREATED c:\\data\\old\\while-down.txt"}));
    EXPECT_TRUE(log_->has("\n Processing CJ records during service downtime..."));
}

// The stop waits for the map's lock to save the positions: a stop ends the
// first walk of a drive, and the half-built map is not saved as complete.
TEST_F(VolumeMonitorTest, AStopEndsTheFirstMapBuildAndSavesNothing) {
    std::filesystem::create_directories("data");
    monitor_.stop = 1;
    EXPECT_FALSE(SetEnv(monitor_));
    EXPECT_FALSE(std::filesystem::exists(monitor_.backupPath));
    EXPECT_TRUE(log_->has("\n Populating File DB stopped for Drive: C; it is built again at the next start"));
}

TEST_F(VolumeMonitorTest, TheChangeJobSavesOnlyPositionsWhoseChangesAreStored) {
    journal_.add(30, 2, u"a.txt", kExtend | kClose);
    processJournalRecords(monitor_);
    // The queued change and the position after it move together.
    std::int64_t queuedAt = 0;
    {
        std::lock_guard lock(changeListLock());
        queuedAt = monitor_.committedUsn;
        EXPECT_EQ(changeList().size(), 1u);
    }
    EXPECT_EQ(queuedAt, journal_.nextUsn);
}

// A kill after the change index append and before the back-up save: the
// restart reads those records again for the map and the removed items, but
// indexes only what came after them.
TEST_F(VolumeMonitorTest, AChangeIndexedBeforeACrashIsNotIndexedAgain) {
    std::filesystem::create_directories("data/changedata");
    DirectoryPathMap saved;
    saved.Add(1, u"C:", 0);
    saved.Add(2, u"Data", 1);
    ASSERT_TRUE(writeBackupFile(monitor_.backupPath, {u'C', journal_.id, journal_.nextUsn}, saved));
    journal_.add(20, 2, u"Sub", kCreate | kClose, kDir);
    journal_.add(30, 20, u"gone.txt", kDelete | kClose);
    processJournalRecords(monitor_);
    {
        std::lock_guard lock(changeListLock());
        ASSERT_TRUE(storeQueuedChanges([&](std::uintmax_t size, bool appended) {
            return markStoredPositions({&monitor_}, size, appended);
        }));
    }
    const std::string indexed = readFile(kChangeIndexPath);
    journal_.add(31, 20, u"after.txt", kCreate | kClose);  // below the folder the index already has
    resetChangeListsForTests();
    VolumeMonitor restarted;
    restarted.journal = journal_.access();
    restarted.backupPath = monitor_.backupPath;
    ASSERT_TRUE(SetEnv(restarted));
    EXPECT_EQ(changes(), (std::vector<std::string>{"CREATED c:\\data\\sub\\after.txt"}));
    {
        std::lock_guard lock(removedListLock());
        ASSERT_EQ(removedItemList().size(), 1u);  // still reaches the rename configuration
        EXPECT_EQ(removedItemList()[0].text, "+file+c:\\data\\sub\\gone.txt");
    }
    // A mark written before an append that never reached the index counts
    // for nothing.
    resetChangeListsForTests();
    std::lock_guard lock(changeListLock());
    ASSERT_TRUE(markStoredPositions({&monitor_}, indexed.size() + 1, false));
    EXPECT_EQ(storedPositionOf(monitor_, journal_.id), 0);
    ASSERT_TRUE(markStoredPositions({&monitor_}, indexed.size(), false));
    EXPECT_EQ(storedPositionOf(monitor_, journal_.id), monitor_.committedUsn);
}

}  // namespace
