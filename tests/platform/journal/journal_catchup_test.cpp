// Nothing is lost: changes made while no handle held the volume appear, closed
// and once, when it is opened again; a burst of changes is recorded whole.
// Built twice, like the watcher tests.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>
#include <mutex>
#include <utility>

#include "platform/clock.h"
#include "platform/posix/journal_test_hooks.h"
#include "platform/posix/journal_volume.h"
#include "tests/platform/journal/journal_fixture.h"

using namespace platform;
namespace fs = std::filesystem;

#ifndef JOURNAL_WATCHER
#define JOURNAL_WATCHER "inotify"
#endif

namespace {

class JournalCatchUp : public JournalVolume {
protected:
    void SetUp() override {
        JournalVolume::SetUp();
        if (std::string(JOURNAL_WATCHER) == "fanotify") {
            if (geteuid() != 0) GTEST_SKIP() << "the fanotify watcher needs root";
        } else {
            setenv("AMBRIK_JOURNAL_WATCHER", "inotify", 1);
        }
    }
    static std::size_t indexOf(const std::vector<std::string>& list, const std::string& item) {
        return static_cast<std::size_t>(std::find(list.begin(), list.end(), item) - list.begin());
    }
};

}  // namespace

TEST_F(JournalCatchUp, ChangesMadeWhileClosedAppearAtReopenInOrderAndOnce) {
    fs::create_directories(volume / "old" / "deep");
    fs::create_directories(volume / "sub");
    writeFile(volume / "old" / "deep" / "x.txt", "x");
    writeFile(volume / "keep.txt", "1234");
    writeFile(volume / "gone.txt", "g");
    writeFile(volume / "a.txt", "a");
    writeFile(volume / "c.txt", "c");
    writeFile(volume / "mode.txt", "m");
    writeFile(volume / "same.txt", "abcd");
    std::int64_t mark = 0;
    std::uint64_t renamedRef = 0;
    {
        auto h = open();
        createJournal(h);
        mark = query(h).NextUsn;
        ASSERT_EQ(getFileIndex("C:\\a.txt", &renamedRef), kErrorSuccess);
    }
    // The agent is stopped.
    writeFile(volume / "new.txt", "new");
    { std::ofstream(volume / "keep.txt", std::ios::app) << "5678"; }
    fs::remove(volume / "gone.txt");
    fs::rename(volume / "a.txt", volume / "b.txt");
    fs::rename(volume / "c.txt", volume / "sub" / "c.txt");
    ASSERT_EQ(chmod((volume / "mode.txt").c_str(), 0600), 0);
    fs::create_directories(volume / "newdir");
    writeFile(volume / "newdir" / "inner.txt", "i");
    fs::remove_all(volume / "old");
    // Rewritten with the same size and its modification time put back.
    const auto sameTime = fs::last_write_time(volume / "same.txt");
    writeFile(volume / "same.txt", "wxyz");
    fs::last_write_time(volume / "same.txt", sameTime);
    // A name Windows cannot hold stays out of the journal.
    writeFile(volume / "tab\tname.txt", "t");

    auto h = open();
    const auto records = readAll(h, mark);
    for (const auto& r : records) EXPECT_TRUE(r.Reason & kUsnReasonClose || r.Reason == kUsnReasonRenameOldName);
    auto names = describe(records);
    std::vector<std::string> sorted = names;
    std::sort(sorted.begin(), sorted.end());
    const std::vector<std::string> expected = {
        "a.txt:RENAME_OLD_NAME",
        "b.txt:RENAME_NEW_NAME|CLOSE",
        "c.txt:RENAME_NEW_NAME|CLOSE",
        "c.txt:RENAME_OLD_NAME",
        "deep:FILE_DELETE|CLOSE",
        "gone.txt:FILE_DELETE|CLOSE",
        "inner.txt:DATA_EXTEND|FILE_CREATE|CLOSE",
        "keep.txt:DATA_EXTEND|CLOSE",
        "mode.txt:SECURITY_CHANGE|CLOSE",
        "new.txt:DATA_EXTEND|FILE_CREATE|CLOSE",
        "newdir:FILE_CREATE|CLOSE",
        "old:FILE_DELETE|CLOSE",
        "same.txt:DATA_OVERWRITE|CLOSE",
        "x.txt:FILE_DELETE|CLOSE",
    };
    EXPECT_EQ(sorted, expected);
    // Parents are created before what they hold and deleted after it; the
    // old name of a rename comes just before its new one.
    EXPECT_LT(indexOf(names, "newdir:FILE_CREATE|CLOSE"), indexOf(names, "inner.txt:DATA_EXTEND|FILE_CREATE|CLOSE"));
    EXPECT_LT(indexOf(names, "x.txt:FILE_DELETE|CLOSE"), indexOf(names, "deep:FILE_DELETE|CLOSE"));
    EXPECT_LT(indexOf(names, "deep:FILE_DELETE|CLOSE"), indexOf(names, "old:FILE_DELETE|CLOSE"));
    EXPECT_EQ(indexOf(names, "a.txt:RENAME_OLD_NAME") + 1, indexOf(names, "b.txt:RENAME_NEW_NAME|CLOSE"));
    for (const auto& r : records)
        if (name(r) == "b.txt") {
            EXPECT_EQ(r.FileReferenceNumber, renamedRef);
        }
    for (const auto& r : records)
        if (name(r) == "c.txt" && (r.Reason & kUsnReasonClose)) {
            std::uint64_t sub = 0;
            ASSERT_EQ(getFileIndex("C:\\sub", &sub), kErrorSuccess);
            EXPECT_EQ(r.ParentFileReferenceNumber, sub);
        }

    // Live changes come after the catch-up; reopening again adds nothing old.
    const std::int64_t afterCatchUp = query(h).NextUsn;
    writeFile(volume / "live.txt", "l");
    flushVolumeWatcher(h);
    h.close();
    auto again = open();
    EXPECT_EQ(describe(readAll(again, afterCatchUp)),
              (std::vector<std::string>{"live.txt:FILE_CREATE", "live.txt:DATA_EXTEND|FILE_CREATE",
                                        "live.txt:DATA_EXTEND|FILE_CREATE|CLOSE"}));
}

TEST_F(JournalCatchUp, ACatalogueOlderThanTheJournalReportsNothingTwice) {
    fs::create_directories(volume / "dir");
    writeFile(volume / "keep.txt", "k");
    {
        auto h = open();
        createJournal(h);
    }
    // A crash keeps the catalogue of the last save while the journal holds
    // the records written since.
    const fs::path items = journalDir / "C.items";
    const fs::path older = temp.path() / "C.items.older";
    fs::copy_file(items, older);
    std::int64_t mark = 0;
    {
        auto h = open();
        writeFile(volume / "dir" / "new.txt", "new");
        fs::create_directories(volume / "made" / "deep");
        writeFile(volume / "made" / "deep" / "in.txt", "in");
        { std::ofstream(volume / "keep.txt", std::ios::app) << "more"; }
        fs::rename(volume / "dir" / "new.txt", volume / "moved.txt");
        flushVolumeWatcher(h);
        mark = query(h).NextUsn;
    }
    fs::copy_file(older, items, fs::copy_options::overwrite_existing);
    writeFile(volume / "later.txt", "l");  // made while stopped: reported once
    auto h = open();
    EXPECT_EQ(describe(readAll(h, mark)), (std::vector<std::string>{"later.txt:DATA_EXTEND|FILE_CREATE|CLOSE"}));
}

TEST_F(JournalCatchUp, ABurstOfTwentyThousandCreationsAndDeletionsLosesNoRecord) {
    constexpr int kFiles = 20000;
    auto h = open();
    createJournal(h, 64ull << 20, 8ull << 20);
    const std::int64_t mark = query(h).NextUsn;
    fs::create_directories(volume / "burst");
    const std::string dir = (volume / "burst").string() + "/f";
    for (int i = 0; i < kFiles; ++i) {
        const int fd = ::open((dir + std::to_string(i)).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    for (int i = 0; i < kFiles; ++i) ASSERT_EQ(unlink((dir + std::to_string(i)).c_str()), 0);
    ASSERT_EQ(flushVolumeWatcher(h), kErrorSuccess);
    std::map<std::string, int> created, deleted;
    for (const auto& r : readAll(h, mark, 65536)) {
        if (!(r.Reason & kUsnReasonClose)) continue;
        if (r.Reason & kUsnReasonFileCreate) ++created[name(r)];
        if (r.Reason & kUsnReasonFileDelete) ++deleted[name(r)];
    }
    // Each file once created and once deleted (with the folder's own creation).
    EXPECT_EQ(created.size(), static_cast<std::size_t>(kFiles) + 1);
    EXPECT_EQ(deleted.size(), static_cast<std::size_t>(kFiles));
    for (const auto& [n, count] : created) EXPECT_EQ(count, 1) << n;
    for (const auto& [n, count] : deleted) EXPECT_EQ(count, 1) << n;
}

namespace {

// Holds the volume's watcher for a test: its kernel queue fills while held.
class HeldWatcher {
public:
    HeldWatcher() {
        EXPECT_EQ(usnjournal::acquireVolume('C', &volume_), kErrorSuccess);
        if (volume_) volume_->holdWatcher(true, false);
    }
    ~HeldWatcher() {
        release(false);
        if (volume_) usnjournal::releaseVolume(volume_);
    }
    void release(bool dropQueued) {
        if (volume_ && held_) volume_->holdWatcher(false, dropQueued);
        held_ = false;
    }

private:
    std::shared_ptr<usnjournal::Volume> volume_;
    bool held_ = true;
};

int inotifyQueueLimit() {
    std::ifstream in("/proc/sys/fs/inotify/max_queued_events");
    int limit = 16384;
    in >> limit;
    return limit;
}

}  // namespace

TEST_F(JournalCatchUp, EventsLostToAQueueOverflowAreFoundByTheWalkThatFollows) {
    // inotify: the kernel's own queue overflows while the watcher is held.
    // fanotify's queue has no limit: the events queued while held are
    // dropped at release, as the kernel would drop them.
    const bool kernelOverflows = std::string(JOURNAL_WATCHER) == "inotify";
    const int limit = inotifyQueueLimit();
    if (kernelOverflows && limit > 200000)
        GTEST_SKIP() << "fs.inotify.max_queued_events is " << limit << ": too many files to overflow it here";
    // Each file gives at least three events (create, modify, close).
    const int files = kernelOverflows ? limit / 3 + 500 : 2000;

    fs::create_directories(volume / "burst");
    fs::create_directories(volume / "moved");
    writeFile(volume / "a.txt", "a");
    writeFile(volume / "gone.txt", "g");
    writeFile(volume / "old.txt", "o");
    auto h = open();
    createJournal(h, 64ull << 20, 8ull << 20);
    ASSERT_EQ(flushVolumeWatcher(h), kErrorSuccess);
    const std::int64_t mark = query(h).NextUsn;
    std::uint64_t renamedRef = 0;
    ASSERT_EQ(getFileIndex("C:\\old.txt", &renamedRef), kErrorSuccess);
    {
        HeldWatcher held;
        const std::string dir = (volume / "burst").string() + "/f";
        for (int i = 0; i < files; ++i) writeFile(dir + std::to_string(i), "x");
        { std::ofstream(volume / "a.txt", std::ios::app) << "more"; }
        fs::remove(volume / "gone.txt");
        fs::rename(volume / "old.txt", volume / "moved" / "new.txt");
        fs::create_directories(volume / "fresh");
        writeFile(volume / "fresh" / "inner.txt", "i");
        held.release(!kernelOverflows);
    }
    ASSERT_EQ(flushVolumeWatcher(h), kErrorSuccess);

    std::map<std::string, int> closed;
    std::map<std::string, std::uint32_t> reasons;
    std::map<std::string, std::uint64_t> refs;
    for (const auto& r : readAll(h, mark, 65536)) {
        if (!(r.Reason & kUsnReasonClose)) continue;
        ++closed[name(r)];
        reasons[name(r)] |= r.Reason;
        refs[name(r)] = r.FileReferenceNumber;
    }
    int burst = 0;
    for (const auto& [n, count] : closed) {
        if (n.size() < 2 || n[0] != 'f' || n.find_first_not_of("0123456789", 1) != std::string::npos) continue;
        ++burst;
        EXPECT_EQ(count, 1) << n;
        EXPECT_EQ(reasons[n], kUsnReasonFileCreate | kUsnReasonDataExtend | kUsnReasonClose) << n;
    }
    EXPECT_EQ(burst, files);
    EXPECT_TRUE(reasons["a.txt"] & kUsnReasonDataExtend);
    EXPECT_EQ(reasons["gone.txt"], kUsnReasonFileDelete | kUsnReasonClose);
    EXPECT_EQ(reasons["new.txt"], kUsnReasonRenameNewName | kUsnReasonClose);
    EXPECT_EQ(refs["new.txt"], renamedRef);
    EXPECT_EQ(reasons["fresh"], kUsnReasonFileCreate | kUsnReasonClose);
    EXPECT_EQ(reasons["inner.txt"], kUsnReasonFileCreate | kUsnReasonDataExtend | kUsnReasonClose);

    // The watcher goes on, in the folder only the walk saw made too.
    const std::int64_t afterWalk = query(h).NextUsn;
    writeFile(volume / "fresh" / "later.txt", "l");
    ASSERT_EQ(flushVolumeWatcher(h), kErrorSuccess);
    EXPECT_EQ(describe(readAll(h, afterWalk)),
              (std::vector<std::string>{"later.txt:FILE_CREATE", "later.txt:DATA_EXTEND|FILE_CREATE",
                                        "later.txt:DATA_EXTEND|FILE_CREATE|CLOSE"}));
}

namespace {

std::mutex gMessagesMutex;
std::vector<std::string> gMessages;

void keepMessage(const char* message) {
    std::lock_guard<std::mutex> lock(gMessagesMutex);
    gMessages.emplace_back(message);
}

// For one test: the inotify watcher fails to watch the chosen folders, the
// journal's messages are kept, and the clock is the test's.
class RefusedWatches {
public:
    explicit RefusedWatches(const std::map<std::string, int>& folders) {
        usnjournal::refuseWatches(folders);
        setJournalDiagnosticSink(keepMessage);
        useManualClock(1'800'000'000'000);
    }
    ~RefusedWatches() {
        lift();
        setJournalDiagnosticSink([](const char* message) { std::fputs(message, stderr); });
        useSystemClock();
    }
    void lift() { usnjournal::refuseWatches({}); }
    static std::vector<std::string> messages() {
        std::lock_guard<std::mutex> lock(gMessagesMutex);
        return std::exchange(gMessages, {});
    }
};

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST_F(JournalCatchUp, FoldersThatCannotBeWatchedAreWalkedUntilTheyCanBe) {
    if (std::string(JOURNAL_WATCHER) != "inotify") GTEST_SKIP() << "only the inotify watcher watches folder by folder";
    fs::create_directories(volume / "full" / "deep");
    fs::create_directories(volume / "full2");
    fs::create_directories(volume / "locked");
    fs::create_directories(volume / "live");
    writeFile(volume / "full" / "old.txt", "o");
    const std::string full = (volume / "full").string();
    const std::string locked = (volume / "locked").string();
    RefusedWatches refused({{full, ENOSPC}, {(volume / "full2").string(), ENOSPC}, {locked, EACCES}});
    auto closedRecords = [this](const VolumeHandle& h, std::int64_t from) {
        std::vector<std::string> closed;
        for (const auto& r : readAll(h, from))
            if (r.Reason & kUsnReasonClose) closed.push_back(name(r) + ":" + usnReasonNames(r.Reason));
        std::sort(closed.begin(), closed.end());
        return closed;
    };

    auto h = open();
    createJournal(h);
    ASSERT_EQ(flushVolumeWatcher(h), kErrorSuccess);
    // Each cause is told once, with a folder it struck and what to do.
    std::vector<std::string> messages = RefusedWatches::messages();
    ASSERT_EQ(messages.size(), 2u);
    const std::string& limit = contains(messages[0], "max_user_watches") ? messages[0] : messages[1];
    const std::string& denied = contains(messages[0], "max_user_watches") ? messages[1] : messages[0];
    EXPECT_TRUE(contains(limit, "cannot watch the folder " + full + ":") ||
                contains(limit, "cannot watch the folder " + full + "2:"))
        << limit;
    EXPECT_TRUE(contains(limit, "raise the sysctl fs.inotify.max_user_watches")) << limit;
    EXPECT_TRUE(contains(denied, "cannot watch the folder " + locked + ": permission denied")) << denied;
    EXPECT_EQ(limit.rfind("\n Change journal of drive C: ", 0), 0u) << limit;

    // Changes in a folder not watched are missed by the watcher...
    const std::int64_t mark = query(h).NextUsn;
    writeFile(volume / "full" / "new.txt", "new");
    fs::remove(volume / "full" / "old.txt");
    fs::create_directories(volume / "full" / "sub");
    writeFile(volume / "full" / "sub" / "inner.txt", "i");
    writeFile(volume / "locked" / "l.txt", "l");
    writeFile(volume / "live" / "seen.txt", "s");
    ASSERT_EQ(flushVolumeWatcher(h), kErrorSuccess);
    EXPECT_EQ(closedRecords(h, mark), (std::vector<std::string>{"seen.txt:DATA_EXTEND|FILE_CREATE|CLOSE"}));

    // ...and found, closed, by the walk a few seconds later; once.
    advanceClock(5000);
    ASSERT_EQ(flushVolumeWatcher(h), kErrorSuccess);
    EXPECT_EQ(closedRecords(h, mark),
              (std::vector<std::string>{"inner.txt:DATA_EXTEND|FILE_CREATE|CLOSE", "l.txt:DATA_EXTEND|FILE_CREATE|CLOSE",
                                        "new.txt:DATA_EXTEND|FILE_CREATE|CLOSE", "old.txt:FILE_DELETE|CLOSE",
                                        "seen.txt:DATA_EXTEND|FILE_CREATE|CLOSE", "sub:FILE_CREATE|CLOSE"}));
    const std::int64_t afterWalk = query(h).NextUsn;
    advanceClock(5000);
    ASSERT_EQ(flushVolumeWatcher(h), kErrorSuccess);
    EXPECT_TRUE(closedRecords(h, afterWalk).empty());
    EXPECT_TRUE(RefusedWatches::messages().empty());  // still refused: nothing new to tell

    // Once watches can be had again, the next walk makes the folders live.
    refused.lift();
    advanceClock(5000);
    ASSERT_EQ(flushVolumeWatcher(h), kErrorSuccess);
    EXPECT_EQ(RefusedWatches::messages(),
              (std::vector<std::string>{"\n Change journal of drive C: every folder is watched again."}));
    const std::int64_t live = query(h).NextUsn;
    writeFile(volume / "full" / "later.txt", "l");
    writeFile(volume / "locked" / "later2.txt", "l");
    ASSERT_EQ(flushVolumeWatcher(h), kErrorSuccess);
    EXPECT_EQ(closedRecords(h, live), (std::vector<std::string>{"later.txt:DATA_EXTEND|FILE_CREATE|CLOSE",
                                                                "later2.txt:DATA_EXTEND|FILE_CREATE|CLOSE"}));
    h.close();
}
