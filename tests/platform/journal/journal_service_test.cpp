// The journal as the control codes see it: creation, deletion, reading and
// the ring, enumeration, and the error codes of each.
#include <unistd.h>

#include <map>
#include <mutex>
#include <set>

#include "platform/posix/journal_internal.h"
#include "platform/posix/journal_test_hooks.h"
#include "tests/platform/journal/journal_fixture.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

class JournalService : public JournalVolume {
protected:
    void SetUp() override {
        JournalVolume::SetUp();
        setenv("AMBRIK_JOURNAL_WATCHER", "inotify", 1);
    }
    // Makes `count` closed records by creating directories.
    void makeDirectories(const VolumeHandle& h, int count, const std::string& prefix = "d") {
        for (int i = 0; i < count; ++i) fs::create_directory(volume / (prefix + std::to_string(i)));
        flushVolumeWatcher(h);
    }
    long read(const VolumeHandle& h, std::int64_t start, std::uint64_t id, std::vector<std::uint8_t>* out,
              std::uint32_t size = 10000) {
        out->assign(size, 0);
        ReadUsnJournalData in{start, 0xFFFFFFFF, 0, 0, 0, id};
        std::uint32_t got = 0;
        const long rc = readUsnJournal(h, in, out->data(), size, &got);
        out->resize(got);
        return rc;
    }
};

}  // namespace

TEST_F(JournalService, CreateQueryDeleteFollowTheJournalsLife) {
    auto h = open();
    UsnJournalData data{};
    EXPECT_EQ(queryUsnJournal(h, &data), kErrorJournalNotActive);
    EXPECT_EQ(deleteUsnJournal(h, {0, kUsnDeleteFlagDelete | kUsnDeleteFlagNotify, 0}), kErrorJournalNotActive);

    createJournal(h);
    const UsnJournalData first = query(h);
    EXPECT_NE(first.UsnJournalID, 0u);
    EXPECT_EQ(first.MaximumSize, 0x800000u);
    EXPECT_EQ(first.AllocationDelta, 0x100000u);
    EXPECT_EQ(first.FirstUsn, 0);
    EXPECT_EQ(first.NextUsn, 0);

    // Creating again keeps the journal and its id.
    makeDirectories(h, 3);
    createJournal(h);
    EXPECT_EQ(query(h).UsnJournalID, first.UsnJournalID);
    EXPECT_GT(query(h).NextUsn, 0);

    // Deleting removes the journal file (the codes of deletion are in
    // journal_contract_test.cpp).
    EXPECT_EQ(deleteUsnJournal(h, {first.UsnJournalID, 3, 0}), kErrorSuccess);
    EXPECT_EQ(queryUsnJournal(h, &data), kErrorJournalNotActive);
    std::vector<std::uint8_t> out;
    EXPECT_EQ(read(h, 0, first.UsnJournalID, &out), kErrorJournalNotActive);
    EXPECT_FALSE(fs::exists(journalDir / "C.journal"));

    // A new journal has a new id; the old id no longer reads.
    createJournal(h);
    const UsnJournalData second = query(h);
    EXPECT_NE(second.UsnJournalID, first.UsnJournalID);
    EXPECT_EQ(read(h, 0, first.UsnJournalID, &out), kErrorInvalidParameter);
    EXPECT_EQ(read(h, 0, second.UsnJournalID, &out), kErrorSuccess);
}

TEST_F(JournalService, TheJournalAndItsRecordsSurviveClosingTheVolume) {
    std::uint64_t id = 0;
    std::int64_t next = 0;
    {
        auto h = open();
        createJournal(h);
        makeDirectories(h, 5);
        id = query(h).UsnJournalID;
        next = query(h).NextUsn;
    }
    auto h = open();
    EXPECT_EQ(query(h).UsnJournalID, id);
    EXPECT_EQ(query(h).NextUsn, next);
    const auto records = readAll(h);
    ASSERT_EQ(records.size(), 5u);
    std::int64_t previous = -1;
    for (const auto& r : records) {
        EXPECT_GT(r.Usn, previous);  // USNs only grow
        previous = r.Usn;
        EXPECT_EQ(r.Reason, kUsnReasonFileCreate | kUsnReasonClose);
        EXPECT_EQ(r.FileAttributes & kFileAttributeDirectory, kFileAttributeDirectory);
    }
}

TEST_F(JournalService, ReadsReturnWholeRecordsAndTheNextUsnToRead) {
    auto h = open();
    createJournal(h);
    makeDirectories(h, 40, "a-rather-long-directory-name-");
    const UsnJournalData data = query(h);
    std::vector<std::uint8_t> out;
    // A small buffer returns what fits, and the next call goes on from there.
    ASSERT_EQ(read(h, 0, data.UsnJournalID, &out, 1000), kErrorSuccess);
    ASSERT_GT(out.size(), 8u);
    EXPECT_LE(out.size(), 1000u);
    const auto firstPart = decodeUsnOutput(out);
    const std::int64_t next = static_cast<std::int64_t>(usnOutputHeader(out));
    EXPECT_EQ(next, firstPart.back().Usn + firstPart.back().RecordLength);
    ASSERT_EQ(read(h, next, data.UsnJournalID, &out), kErrorSuccess);
    EXPECT_EQ(firstPart.size() + decodeUsnOutput(out).size(), 40u);
    // At the end: the next USN only.
    ASSERT_EQ(read(h, data.NextUsn, data.UsnJournalID, &out), kErrorSuccess);
    EXPECT_EQ(out.size(), 8u);
    EXPECT_EQ(static_cast<std::int64_t>(usnOutputHeader(out)), data.NextUsn);
    // Buffers that cannot hold the next USN, or one record.
    EXPECT_EQ(read(h, 0, data.UsnJournalID, &out, 7), kErrorInvalidParameter);
    EXPECT_EQ(read(h, 0, data.UsnJournalID, &out, 64), kErrorInsufficientBuffer);
}

TEST_F(JournalService, TheReasonMaskAndCloseFilterChooseRecords) {
    auto h = open();
    createJournal(h);
    writeFile(volume / "f", "data");
    flushVolumeWatcher(h);
    const UsnJournalData data = query(h);
    std::vector<std::uint8_t> out(10000);
    std::uint32_t got = 0;
    ReadUsnJournalData in{0, 0xFFFFFFFF, 1, 0, 0, data.UsnJournalID};
    ASSERT_EQ(readUsnJournal(h, in, out.data(), 10000, &got), kErrorSuccess);
    auto closed = decodeUsnOutput({out.data(), got});
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_EQ(closed[0].Reason, kUsnReasonFileCreate | kUsnReasonDataExtend | kUsnReasonClose);
    in = {0, kUsnReasonDataExtend, 0, 0, 0, data.UsnJournalID};
    ASSERT_EQ(readUsnJournal(h, in, out.data(), 10000, &got), kErrorSuccess);
    EXPECT_EQ(decodeUsnOutput({out.data(), got}).size(), 2u);
    EXPECT_EQ(static_cast<std::int64_t>(usnOutputHeader({out.data(), got})), data.NextUsn);
}

TEST_F(JournalService, TheRingDropsTheOldestRecordsAndAReadBelowItFailsWith1181) {
    auto h = open();
    createJournal(h, 8192, 4096);
    makeDirectories(h, 400);  // about 30 KB of records
    const UsnJournalData data = query(h);
    EXPECT_GT(data.FirstUsn, 0);
    EXPECT_LE(data.NextUsn - data.FirstUsn, 8192 + 4096);
    std::vector<std::uint8_t> out;
    EXPECT_EQ(read(h, 8, data.UsnJournalID, &out), kErrorJournalEntryDeleted);
    // StartUsn 0 reads from FirstUsn; everything kept is whole and in order.
    const auto kept = readAll(h, 0);
    ASSERT_FALSE(kept.empty());
    EXPECT_EQ(kept.front().Usn, data.FirstUsn);
    EXPECT_EQ(name(kept.back()), "d399");
    for (std::size_t i = 1; i < kept.size(); ++i) EXPECT_EQ(kept[i].Usn, kept[i - 1].Usn + kept[i - 1].RecordLength);
    // The same after reopening, once the ring has wrapped.
    h.close();
    auto again = open();
    const auto reread = readAll(again, 0);
    ASSERT_EQ(reread.size(), kept.size());
    EXPECT_EQ(name(reread.back()), "d399");
}

TEST_F(JournalService, EnumerationListsEveryItemOnceInReferenceOrder) {
    fs::create_directories(volume / "a" / "b");
    writeFile(volume / "a" / "b" / "f.txt", "x");
    writeFile(volume / "top.txt", "y");
    auto h = open();
    createJournal(h);
    std::uint64_t root = 0;
    ASSERT_EQ(getFileIndex("C:\\", &root), kErrorSuccess);
    std::uint64_t fileIndex = 0;
    ASSERT_EQ(getFileIndex("c:\\a\\b\\f.txt", &fileIndex), kErrorSuccess);

    std::vector<UsnRecord> all;
    MftEnumData in{0, 0, query(h).NextUsn};
    std::vector<std::uint8_t> out(200);  // two or three records per call
    for (int guard = 0; guard < 100; ++guard) {
        std::uint32_t got = 0;
        const long rc = enumUsnData(h, in, out.data(), static_cast<std::uint32_t>(out.size()), &got);
        if (rc == kErrorHandleEof) break;
        ASSERT_EQ(rc, kErrorSuccess);
        for (auto& r : decodeUsnOutput({out.data(), got})) all.push_back(r);
        in.StartFileReferenceNumber = usnOutputHeader({out.data(), got});
    }
    ASSERT_EQ(all.size(), 4u);
    std::set<std::uint64_t> refs;
    std::map<std::string, UsnRecord> byName;
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (i) {
            EXPECT_LT(all[i - 1].FileReferenceNumber, all[i].FileReferenceNumber);
        }
        refs.insert(all[i].FileReferenceNumber);
        byName[name(all[i])] = all[i];
    }
    EXPECT_EQ(refs.size(), 4u);
    EXPECT_FALSE(refs.count(root));
    EXPECT_EQ(byName["a"].ParentFileReferenceNumber, root);
    EXPECT_EQ(byName["top.txt"].ParentFileReferenceNumber, root);
    EXPECT_EQ(byName["b"].ParentFileReferenceNumber, byName["a"].FileReferenceNumber);
    EXPECT_EQ(byName["f.txt"].ParentFileReferenceNumber, byName["b"].FileReferenceNumber);
    EXPECT_EQ(byName["f.txt"].FileReferenceNumber, fileIndex);
    EXPECT_EQ(byName["b"].FileAttributes & kFileAttributeDirectory, kFileAttributeDirectory);
    EXPECT_EQ(byName["f.txt"].FileAttributes & kFileAttributeDirectory, 0u);
    // An item changed after HighUsn is left out.
    fs::create_directory(volume / "early");
    fs::create_directory(volume / "late");
    flushVolumeWatcher(h);
    std::uint32_t got = 0;
    in = {0, 0, 0};
    ASSERT_EQ(enumUsnData(h, in, out.data(), static_cast<std::uint32_t>(out.size()), &got), kErrorSuccess);
    for (const auto& r : decodeUsnOutput({out.data(), got})) EXPECT_NE(name(r), "late");
}

TEST_F(JournalService, ReferencesStayTheSameAcrossReopeningAndNewJournals) {
    fs::create_directories(volume / "keep");
    std::uint64_t before = 0, rootBefore = 0;
    {
        auto h = open();
        ASSERT_EQ(getFileIndex("C:\\keep", &before), kErrorSuccess);
        ASSERT_EQ(getFileIndex("C:\\", &rootBefore), kErrorSuccess);
        createJournal(h);
        deleteUsnJournal(h, {query(h).UsnJournalID, 3, 0});
        createJournal(h);
    }
    std::uint64_t after = 0, rootAfter = 0;
    ASSERT_EQ(getFileIndex("C:\\keep", &after), kErrorSuccess);
    ASSERT_EQ(getFileIndex("C:\\", &rootAfter), kErrorSuccess);
    EXPECT_EQ(before, after);
    EXPECT_EQ(rootBefore, rootAfter);
    EXPECT_NE(before, rootBefore);
}

TEST_F(JournalService, BadPathsHandlesAndCodesAnswerWithWindowsErrors) {
    VolumeHandle h;
    EXPECT_EQ(openVolume("C:", &h), kErrorInvalidParameter);
    EXPECT_EQ(openVolume("\\\\.\\C", &h), kErrorInvalidParameter);
    EXPECT_EQ(openVolume("\\\\.\\Q:", &h), kErrorFileNotFound);
    EXPECT_FALSE(h.valid());
    UsnJournalData data{};
    EXPECT_EQ(queryUsnJournal(h, &data), kErrorInvalidHandle);
    EXPECT_EQ(flushVolumeWatcher(h), kErrorInvalidHandle);

    h = open();
    std::uint32_t got = 99;
    EXPECT_EQ(deviceIoControl(h, 0x00090000, nullptr, 0, nullptr, 0, &got), kErrorInvalidFunction);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(deviceIoControl(h, kFsctlQueryUsnJournal, nullptr, 0, &data, 40, &got), kErrorInvalidParameter);
    CreateUsnJournalData create{0x800000, 0x100000};
    EXPECT_EQ(deviceIoControl(h, kFsctlCreateUsnJournal, &create, 8, nullptr, 0, &got), kErrorInvalidParameter);
    EXPECT_EQ(deviceIoControl(h, kFsctlCreateUsnJournal, &create, 16, nullptr, 0, &got), kErrorSuccess);
    ReadUsnJournalData in{0, 0xFFFFFFFF, 0, 0, 0, query(h).UsnJournalID};
    std::uint8_t buffer[64];
    EXPECT_EQ(deviceIoControl(h, kFsctlReadUsnJournal, &in, 32, buffer, 64, &got), kErrorInvalidParameter);

    std::uint64_t index = 0;
    EXPECT_EQ(getFileIndex("C:\\missing", &index), kErrorFileNotFound);
    EXPECT_EQ(getFileIndex("C:\\..\\etc", &index), kErrorInvalidParameter);
    EXPECT_EQ(getFileIndex("Q:\\", &index), kErrorPathNotFound);
}

TEST_F(JournalService, FileSystemNamesTellWhatCanCarryAJournal) {
    std::string name;
    ASSERT_EQ(getVolumeFileSystemName("C:\\", &name), kErrorSuccess);
    EXPECT_EQ(name, "NTFS");  // the test folder's local file system
    setRegistryValue("P", "/proc");
    ASSERT_EQ(getVolumeFileSystemName("P:\\", &name), kErrorSuccess);
    EXPECT_EQ(name, "PROC");
    EXPECT_EQ(getVolumeFileSystemName("Q:\\", &name), kErrorPathNotFound);
    EXPECT_EQ(getVolumeFileSystemName("C:\\dir", &name), kErrorInvalidParameter);
    setRegistryValue("R", (temp.path() / "absent").string());
    EXPECT_EQ(getVolumeFileSystemName("R:\\", &name), kErrorPathNotFound);
}

// Forced answers come from a hook the test installs: a step answers with its
// code for the given number of calls (every call for -1).
TEST_F(JournalService, AFaultHookForcesAnswersForAGivenNumberOfCalls) {
    auto h = open();
    createJournal(h);
    std::mutex lock;
    std::map<std::string, std::pair<long, int>> forced{{"query", {kErrorJournalDeleteInProgress, 2}},
                                                        {"read", {kErrorAccessDenied, -1}}};
    usnjournal::setJournalFaultHook([&](const std::string&, char letter, const std::string& step) -> long {
        std::lock_guard<std::mutex> guard(lock);
        auto it = forced.find(step);
        if (letter != 'C' || it == forced.end() || it->second.second == 0) return kErrorSuccess;
        if (it->second.second > 0) --it->second.second;
        return it->second.first;
    });
    UsnJournalData data{};
    EXPECT_EQ(queryUsnJournal(h, &data), kErrorJournalDeleteInProgress);
    EXPECT_EQ(queryUsnJournal(h, &data), kErrorJournalDeleteInProgress);
    EXPECT_EQ(queryUsnJournal(h, &data), kErrorSuccess);
    std::vector<std::uint8_t> out;
    EXPECT_EQ(read(h, 0, data.UsnJournalID, &out), kErrorAccessDenied);
    EXPECT_EQ(read(h, 0, data.UsnJournalID, &out), kErrorAccessDenied);
    {
        std::lock_guard<std::mutex> guard(lock);
        forced = {{"open", {kErrorAccessDenied, 1}}};
    }
    VolumeHandle other;
    EXPECT_EQ(openVolume("\\\\.\\C:", &other), kErrorAccessDenied);
    EXPECT_EQ(openVolume("\\\\.\\C:", &other), kErrorSuccess);
    usnjournal::setJournalFaultHook({});

    // A file in the journal folder is no switch of the shipped program.
    fs::create_directories(journalDir);
    std::ofstream(journalDir / "C.faults") << "query 1178\nopen 5\n";
    EXPECT_EQ(queryUsnJournal(h, &data), kErrorSuccess);
    VolumeHandle third;
    EXPECT_EQ(openVolume("\\\\.\\C:", &third), kErrorSuccess);
}

TEST_F(JournalService, ADamagedJournalFileIsNoJournalAndCanBeCreatedAgain) {
    {
        auto h = open();
        createJournal(h);
        makeDirectories(h, 3);
    }
    // Garbage over the header, then a torn tail.
    {
        std::fstream f(journalDir / "C.journal", std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(20);
        f << "garbage";
    }
    auto h = open();
    UsnJournalData data{};
    EXPECT_EQ(queryUsnJournal(h, &data), kErrorJournalNotActive);
    createJournal(h);
    EXPECT_EQ(query(h).NextUsn, 0);
    makeDirectories(h, 2, "new");
    EXPECT_EQ(readAll(h).size(), 2u);
}

TEST_F(JournalService, ATornRecordAtTheEndIsDroppedAtReopen) {
    std::int64_t lastGood = 0;
    {
        auto h = open();
        createJournal(h);
        makeDirectories(h, 3);
        const auto records = readAll(h);
        lastGood = records.back().Usn;
    }
    // Damage the last record's length, as a crash in mid-write could.
    {
        std::fstream f(journalDir / "C.journal", std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(4096 + lastGood);
        const std::uint32_t bad = 3;
        f.write(reinterpret_cast<const char*>(&bad), 4);
    }
    auto h = open();
    EXPECT_EQ(query(h).NextUsn, lastGood);
    EXPECT_EQ(readAll(h).size(), 2u);
}

// The catalogue's lists of children stay exact through many additions,
// moves between folders and removals, and after it is saved and loaded.
TEST(JournalCatalog, ChildrenStayExactThroughMovesRemovalsAndAReload) {
    using usnjournal::Catalog;
    using usnjournal::Observed;
    TempDir temp;
    Catalog catalog;
    Observed dir;
    dir.kind = usnjournal::ItemKind::Directory;
    dir.ino = 2;
    catalog.rootRef = catalog.add(0, "", dir).ref;
    dir.ino = 3;
    const std::uint64_t a = catalog.add(catalog.rootRef, "a", dir).ref;
    dir.ino = 4;
    const std::uint64_t b = catalog.add(catalog.rootRef, "b", dir).ref;
    std::set<std::uint64_t> inA, inB;
    std::vector<std::uint64_t> refs;
    for (int i = 0; i < 3000; ++i) {
        Observed file;
        file.ino = 100 + static_cast<std::uint64_t>(i);
        refs.push_back(catalog.add(a, "f" + std::to_string(i), file).ref);
        inA.insert(refs.back());
    }
    auto expect = [&](const char* when) {
        const auto childrenA = catalog.children(a), childrenB = catalog.children(b);
        EXPECT_EQ(std::set<std::uint64_t>(childrenA.begin(), childrenA.end()), inA) << when;
        EXPECT_EQ(std::set<std::uint64_t>(childrenB.begin(), childrenB.end()), inB) << when;
        EXPECT_EQ(childrenA.size(), inA.size()) << when;
        EXPECT_EQ(childrenB.size(), inB.size()) << when;
    };
    for (std::size_t i = 0; i < refs.size(); i += 2) {
        catalog.rename(*catalog.find(refs[i]), b, "g" + std::to_string(i));
        inA.erase(refs[i]);
        inB.insert(refs[i]);
    }
    for (std::size_t i = 0; i < refs.size(); i += 3) {
        catalog.erase(refs[i]);
        inA.erase(refs[i]);
        inB.erase(refs[i]);
    }
    expect("after moves and removals");

    const std::string saved = (temp.path() / "C.items").string();
    ASSERT_TRUE(catalog.save(saved, 1, 2, 7, 0));
    Catalog loaded;
    ASSERT_TRUE(loaded.load(saved, 1, 2));
    catalog = std::move(loaded);
    expect("after a reload");
    for (std::size_t i = 1; i < refs.size(); i += 5) {
        catalog.erase(refs[i]);
        inA.erase(refs[i]);
        inB.erase(refs[i]);
    }
    expect("after removals from the loaded catalogue");
    EXPECT_EQ(catalog.findChild(b, "g2"), catalog.find(refs[2]));
}
