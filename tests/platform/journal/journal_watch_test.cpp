// The records the watchers write for each kind of change, compared exactly.
// Built twice: with the recursive inotify watcher, and (root only) with the
// fanotify watcher of the whole file system.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "tests/platform/journal/journal_fixture.h"

using namespace platform;
namespace fs = std::filesystem;

#ifndef JOURNAL_WATCHER
#define JOURNAL_WATCHER "inotify"
#endif

namespace {

class JournalWatch : public JournalVolume {
protected:
    VolumeHandle h;
    std::int64_t mark = 0;

    void SetUp() override {
        JournalVolume::SetUp();
        if (std::string(JOURNAL_WATCHER) == "fanotify") {
            if (geteuid() != 0) GTEST_SKIP() << "the fanotify watcher needs root";
        } else {
            setenv("AMBRIK_JOURNAL_WATCHER", "inotify", 1);
        }
        fs::create_directories(volume / "docs");
        fs::create_directories(volume / "other");
        writeFile(volume / "docs" / "old.txt", "0123456789");
        h = open();
        createJournal(h);
    }
    void TearDown() override {
        h.close();
        JournalVolume::TearDown();
    }
    // The records written since the last call, after the watcher caught up.
    std::vector<UsnRecord> changes() {
        EXPECT_EQ(flushVolumeWatcher(h), kErrorSuccess);
        auto records = readAll(h, mark);
        mark = query(h).NextUsn;
        return records;
    }
    std::vector<std::string> changeNames() { return describe(changes()); }
    std::uint64_t indexOf(const std::string& windowsPath) {
        std::uint64_t index = 0;
        EXPECT_EQ(getFileIndex(windowsPath, &index), kErrorSuccess) << windowsPath;
        return index;
    }
    static void writeAt(const fs::path& p, int flags, const std::string& data, off_t truncateTo = -1) {
        const int fd = ::open(p.c_str(), flags, 0644);
        ASSERT_GE(fd, 0);
        if (truncateTo >= 0) {
            ASSERT_EQ(ftruncate(fd, truncateTo), 0);
        }
        if (!data.empty()) {
            ASSERT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
        }
        ::close(fd);
    }
};

using Names = std::vector<std::string>;

}  // namespace

TEST_F(JournalWatch, ContentChangesGatherWhileOpenAndCloseOnce) {
    writeAt(volume / "docs" / "new.txt", O_WRONLY | O_CREAT | O_EXCL, "hello");
    const auto created = changes();
    EXPECT_EQ(describe(created), (Names{"new.txt:FILE_CREATE", "new.txt:DATA_EXTEND|FILE_CREATE",
                                        "new.txt:DATA_EXTEND|FILE_CREATE|CLOSE"}));
    ASSERT_EQ(created.size(), 3u);
    EXPECT_EQ(created[2].FileReferenceNumber, indexOf("C:\\docs\\new.txt"));
    EXPECT_EQ(created[2].ParentFileReferenceNumber, indexOf("C:\\docs"));
    EXPECT_EQ(created[2].FileAttributes & kFileAttributeDirectory, 0u);

    writeAt(volume / "docs" / "old.txt", O_WRONLY | O_APPEND, "more");
    EXPECT_EQ(changeNames(), (Names{"old.txt:DATA_EXTEND", "old.txt:DATA_EXTEND|CLOSE"}));

    writeAt(volume / "docs" / "old.txt", O_WRONLY, "ABCD");
    EXPECT_EQ(changeNames(), (Names{"old.txt:DATA_OVERWRITE", "old.txt:DATA_OVERWRITE|CLOSE"}));

    writeAt(volume / "docs" / "old.txt", O_WRONLY, "", 3);
    EXPECT_EQ(changeNames(), (Names{"old.txt:DATA_TRUNCATION", "old.txt:DATA_TRUNCATION|CLOSE"}));

    // Opened for writing and closed without a write: nothing changed.
    writeAt(volume / "docs" / "old.txt", O_WRONLY, "");
    EXPECT_EQ(changeNames(), Names{});

    ASSERT_EQ(unlink((volume / "docs" / "new.txt").c_str()), 0);
    const auto deleted = changes();
    EXPECT_EQ(describe(deleted), (Names{"new.txt:FILE_DELETE|CLOSE"}));
    ASSERT_EQ(deleted.size(), 1u);
    EXPECT_EQ(deleted[0].FileReferenceNumber, created[2].FileReferenceNumber);
}

TEST_F(JournalWatch, RenamesWriteTheOldNameThenTheClosedNewName) {
    const std::uint64_t ref = indexOf("C:\\docs\\old.txt");
    fs::rename(volume / "docs" / "old.txt", volume / "docs" / "renamed.txt");
    auto records = changes();
    EXPECT_EQ(describe(records), (Names{"old.txt:RENAME_OLD_NAME", "renamed.txt:RENAME_NEW_NAME|CLOSE"}));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].FileReferenceNumber, ref);
    EXPECT_EQ(records[1].FileReferenceNumber, ref);

    // Across directories: the parents tell where it came from and went.
    fs::rename(volume / "docs" / "renamed.txt", volume / "other" / "moved.txt");
    records = changes();
    EXPECT_EQ(describe(records), (Names{"renamed.txt:RENAME_OLD_NAME", "moved.txt:RENAME_NEW_NAME|CLOSE"}));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].ParentFileReferenceNumber, indexOf("C:\\docs"));
    EXPECT_EQ(records[1].ParentFileReferenceNumber, indexOf("C:\\other"));
    EXPECT_EQ(indexOf("C:\\other\\moved.txt"), ref);

    // Over an existing file: the one replaced is deleted first.
    writeFile(volume / "other" / "target.txt", "t");
    changes();
    const std::uint64_t target = indexOf("C:\\other\\target.txt");
    fs::rename(volume / "other" / "moved.txt", volume / "other" / "target.txt");
    records = changes();
    EXPECT_EQ(describe(records), (Names{"target.txt:FILE_DELETE|CLOSE", "moved.txt:RENAME_OLD_NAME",
                                        "target.txt:RENAME_NEW_NAME|CLOSE"}));
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].FileReferenceNumber, target);
    EXPECT_EQ(records[2].FileReferenceNumber, ref);
}

TEST_F(JournalWatch, DirectoriesAreCreatedRenamedAndRemovedWithTheirAttribute) {
    fs::create_directory(volume / "newdir");
    auto records = changes();
    EXPECT_EQ(describe(records), (Names{"newdir:FILE_CREATE|CLOSE"}));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].FileAttributes & kFileAttributeDirectory, kFileAttributeDirectory);
    const std::uint64_t dir = records[0].FileReferenceNumber;

    // Files in a new directory name it as their parent, also after a rename.
    writeFile(volume / "newdir" / "in.txt", "x");
    changes();
    fs::rename(volume / "newdir", volume / "docs" / "sub");
    EXPECT_EQ(changeNames(), (Names{"newdir:RENAME_OLD_NAME", "sub:RENAME_NEW_NAME|CLOSE"}));
    writeAt(volume / "docs" / "sub" / "in.txt", O_WRONLY | O_APPEND, "y");
    records = changes();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].ParentFileReferenceNumber, dir);

    fs::remove(volume / "docs" / "sub" / "in.txt");
    fs::remove(volume / "docs" / "sub");
    records = changes();
    EXPECT_EQ(describe(records), (Names{"in.txt:FILE_DELETE|CLOSE", "sub:FILE_DELETE|CLOSE"}));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].FileAttributes & kFileAttributeDirectory, kFileAttributeDirectory);

    // A tree made at once (mkdir -p) gives every level, parents first.
    fs::create_directories(volume / "x" / "y" / "z");
    EXPECT_EQ(changeNames(), (Names{"x:FILE_CREATE|CLOSE", "y:FILE_CREATE|CLOSE", "z:FILE_CREATE|CLOSE"}));
}

TEST_F(JournalWatch, SecurityAndTimeChangesAreTheirOwnClosedRecords) {
    const fs::path file = volume / "docs" / "old.txt";
    ASSERT_EQ(chmod(file.c_str(), 0600), 0);
    EXPECT_EQ(changeNames(), (Names{"old.txt:SECURITY_CHANGE|CLOSE"}));
    ASSERT_EQ(chmod((volume / "docs").c_str(), 0700), 0);
    EXPECT_EQ(changeNames(), (Names{"docs:SECURITY_CHANGE|CLOSE"}));
    if (geteuid() == 0) {
        ASSERT_EQ(chown(file.c_str(), 12345, 12345), 0);
        EXPECT_EQ(changeNames(), (Names{"old.txt:SECURITY_CHANGE|CLOSE"}));
    }
    const struct timeval times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimes(file.c_str(), times), 0);
    EXPECT_EQ(changeNames(), (Names{"old.txt:BASIC_INFO_CHANGE|CLOSE"}));
    // Changing the mode to what it is changes nothing.
    ASSERT_EQ(chmod(file.c_str(), 0600), 0);
    EXPECT_EQ(changeNames(), Names{});
}

TEST_F(JournalWatch, AFileStillOpenHasNoClosedRecordUntilItsClose) {
    const int fd = ::open((volume / "docs" / "log.txt").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "a", 1), 1);
    EXPECT_EQ(changeNames(), (Names{"log.txt:FILE_CREATE", "log.txt:DATA_EXTEND|FILE_CREATE"}));
    ASSERT_EQ(write(fd, "b", 1), 1);
    EXPECT_EQ(changeNames(), Names{});  // no new reason
    ::close(fd);
    EXPECT_EQ(changeNames(), (Names{"log.txt:DATA_EXTEND|FILE_CREATE|CLOSE"}));
}

TEST_F(JournalWatch, ChangesOutsideTheVolumeFolderAreNotRecorded) {
    TempDir elsewhere;
    writeFile(elsewhere.path() / "outside.txt", "x");
    fs::create_directory(elsewhere.path() / "d");
    EXPECT_EQ(changeNames(), Names{});
    // Moving in counts as creation, moving out as deletion.
    fs::rename(elsewhere.path() / "outside.txt", volume / "in.txt");
    EXPECT_EQ(changeNames(), (Names{"in.txt:DATA_EXTEND|FILE_CREATE|CLOSE"}));
    fs::rename(volume / "in.txt", elsewhere.path() / "back.txt");
    EXPECT_EQ(changeNames(), (Names{"in.txt:FILE_DELETE|CLOSE"}));
}
