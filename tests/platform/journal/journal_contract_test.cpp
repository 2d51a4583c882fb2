// The change journal as both backends answer its control codes: on Linux
// the POSIX journal over a folder of the test's own, on Windows the Win32
// backend over a stand-in of an NTFS volume that serves a real journal
// (tests/support/journal_standin.h). Each system fills its journal its own
// way; what a caller of the five control codes may rely on is tested alike.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "platform/clock.h"
#include "tests/platform/journal/journal_fixture.h"
#include "tests/platform/journal/ntfs_sample.h"
#if defined(_WIN32)
#include "tests/support/journal_standin.h"
#endif

using namespace platform;

namespace {

#if defined(_WIN32)
class JournalContractVolume : public ::testing::Test, public JournalCalls {
protected:
    std::unique_ptr<JournalStandIn> standIn;
    void SetUp() override {
        const auto sample = ntfs_sample::readJournal();
        if (!sample || sample->empty()) GTEST_SKIP() << ntfs_sample::kMissing;
        std::vector<std::vector<std::uint8_t>> bytes;
        for (const auto& record : *sample) bytes.push_back(record.bytes);
        standIn = std::make_unique<JournalStandIn>(std::move(bytes), ntfs_sample::kJournalId, ntfs_sample::kNextUsn,
                                                   ntfs_sample::kRootReference);
    }
    // A journal with closed records and some not yet closed.
    VolumeHandle withRecords() { return open(); }
    VolumeHandle withoutJournal() {
        standIn->removeJournal();
        return open();
    }
    // The oldest records are dropped, as a full journal drops them.
    void dropOldest(const VolumeHandle&) { standIn->dropBefore(8192); }
    void addDirectory(const VolumeHandle&, const std::string& name) {
        UsnRecord r;
        r.FileReferenceNumber = 0x0001000000009000ull + static_cast<std::uint64_t>(name.size());
        r.ParentFileReferenceNumber = ntfs_sample::kRootReference;
        r.Reason = kUsnReasonFileCreate | kUsnReasonClose;
        r.FileAttributes = kFileAttributeDirectory;
        r.TimeStamp = fileTimeFromUnix(nowSeconds());
        r.FileName = utf8ToUtf16(name);
        standIn->append(r);
    }
};
#else
class JournalContractVolume : public JournalVolume {
protected:
    void SetUp() override {
        JournalVolume::SetUp();
        setenv("AMBRIK_JOURNAL_WATCHER", "inotify", 1);
    }
    VolumeHandle withRecords() {
        VolumeHandle h = open();
        createJournal(h);
        for (int i = 0; i < 30; ++i) std::filesystem::create_directory(volume / ("folder-" + std::to_string(i)));
        writeFile(volume / "f.txt", "data");  // created, extended, closed: three records
        flushVolumeWatcher(h);
        return h;
    }
    VolumeHandle withoutJournal() { return open(); }
    void dropOldest(const VolumeHandle& h) {
        ASSERT_EQ(deleteUsnJournal(h, {query(h).UsnJournalID, kUsnDeleteFlagDelete | kUsnDeleteFlagNotify, 0}),
                  kErrorSuccess);
        createJournal(h, 8192, 4096);
        for (int i = 0; i < 400; ++i) std::filesystem::create_directory(volume / ("d" + std::to_string(i)));
        flushVolumeWatcher(h);
    }
    void addDirectory(const VolumeHandle& h, const std::string& name) {
        std::filesystem::create_directory(volume / name);
        flushVolumeWatcher(h);
    }
};
#endif

class JournalContract : public JournalContractVolume {
protected:
    static long read(const VolumeHandle& h, const ReadUsnJournalData& in, std::vector<std::uint8_t>* out,
                     std::uint32_t size = 10000) {
        out->assign(size, 0);
        std::uint32_t got = 0;
        const long rc = readUsnJournal(h, in, out->data(), size, &got);
        out->resize(got);
        return rc;
    }
    static ReadUsnJournalData everything(std::uint64_t id, std::int64_t start = 0) {
        return {start, 0xFFFFFFFF, 0, 0, 0, id};
    }
};

}  // namespace

TEST_F(JournalContract, CreateQueryAndDeleteFollowTheJournalsLife) {
    VolumeHandle h = withoutJournal();
    UsnJournalData data{};
    EXPECT_EQ(queryUsnJournal(h, &data), kErrorJournalNotActive);
    std::vector<std::uint8_t> out;
    EXPECT_EQ(read(h, everything(0), &out), kErrorJournalNotActive);
    EXPECT_EQ(deleteUsnJournal(h, {0, kUsnDeleteFlagDelete | kUsnDeleteFlagNotify, 0}), kErrorJournalNotActive);

    createJournal(h);
    const UsnJournalData first = query(h);
    EXPECT_NE(first.UsnJournalID, 0u);
    EXPECT_LE(first.FirstUsn, first.NextUsn);
    createJournal(h);  // an active journal keeps its id
    EXPECT_EQ(query(h).UsnJournalID, first.UsnJournalID);

    EXPECT_EQ(deleteUsnJournal(h, {first.UsnJournalID + 1, 3, 0}), kErrorInvalidParameter);
    EXPECT_EQ(deleteUsnJournal(h, {0, 0, 0}), kErrorInvalidParameter);
    EXPECT_EQ(deleteUsnJournal(h, {0, 8, 0}), kErrorInvalidParameter);
    EXPECT_EQ(deleteUsnJournal(h, {0, kUsnDeleteFlagNotify, 0}), kErrorSuccess);
    EXPECT_EQ(deleteUsnJournal(h, {first.UsnJournalID, 3, 0}), kErrorSuccess);
    EXPECT_EQ(queryUsnJournal(h, &data), kErrorJournalNotActive);

    createJournal(h);
    const UsnJournalData second = query(h);
    EXPECT_NE(second.UsnJournalID, first.UsnJournalID);
    EXPECT_EQ(read(h, everything(first.UsnJournalID), &out), kErrorInvalidParameter) << "the old id reads nothing";
    EXPECT_EQ(read(h, everything(second.UsnJournalID), &out), kErrorSuccess);
}

TEST_F(JournalContract, ReadsGiveWholeRecordsInUsnOrderChainedByTheNextUsn) {
    VolumeHandle h = withRecords();
    const UsnJournalData data = query(h);
    const std::vector<UsnRecord> all = readAll(h, 0, 65536);
    ASSERT_GT(all.size(), 20u);
    for (std::size_t i = 1; i < all.size(); ++i) EXPECT_GT(all[i].Usn, all[i - 1].Usn);
    EXPECT_GE(all.front().Usn, data.FirstUsn);
    EXPECT_LT(all.back().Usn, data.NextUsn);
    // Small buffers give the same records, each once, and nothing in between.
    for (std::uint32_t size : {200u, 333u, 1000u}) {
        const std::vector<UsnRecord> again = readAll(h, 0, size);
        ASSERT_EQ(again.size(), all.size()) << size;
        for (std::size_t i = 0; i < all.size(); ++i) EXPECT_EQ(again[i].Usn, all[i].Usn) << size;
    }
    // At the end: the next USN alone.
    std::vector<std::uint8_t> out;
    ASSERT_EQ(read(h, everything(data.UsnJournalID, data.NextUsn), &out), kErrorSuccess);
    ASSERT_EQ(out.size(), 8u);
    EXPECT_EQ(static_cast<std::int64_t>(usnOutputHeader(out)), data.NextUsn);
    // A buffer that cannot hold the next USN, or one record.
    EXPECT_EQ(read(h, everything(data.UsnJournalID), &out, 7), kErrorInvalidParameter);
    EXPECT_EQ(read(h, everything(data.UsnJournalID), &out, 64), kErrorInsufficientBuffer);
    EXPECT_TRUE(out.empty());
}

TEST_F(JournalContract, TheReasonMaskAndTheCloseFilterChooseRecords) {
    VolumeHandle h = withRecords();
    const UsnJournalData data = query(h);
    const std::vector<UsnRecord> all = readAll(h);
    std::size_t closed = 0, created = 0;
    for (const UsnRecord& r : all) {
        closed += (r.Reason & kUsnReasonClose) != 0;
        created += (r.Reason & kUsnReasonFileCreate) != 0;
    }
    ASSERT_GT(closed, 0u);
    ASSERT_LT(closed, all.size()) << "the journal needs records that are not closed";
    auto count = [&](const ReadUsnJournalData& first, std::uint32_t mustHave) {
        ReadUsnJournalData in = first;
        std::size_t n = 0;
        for (int guard = 0; guard < 10000; ++guard) {
            std::vector<std::uint8_t> out;
            EXPECT_EQ(read(h, in, &out), kErrorSuccess);
            if (out.size() <= 8) break;
            for (const UsnRecord& r : decodeUsnOutput(out)) {
                EXPECT_NE(r.Reason & mustHave, 0u) << usnReasonNames(r.Reason);
                ++n;
            }
            in.StartUsn = static_cast<std::int64_t>(usnOutputHeader(out));
        }
        return n;
    };
    EXPECT_EQ(count({0, 0xFFFFFFFF, 1, 0, 0, data.UsnJournalID}, kUsnReasonClose), closed);
    EXPECT_EQ(count({0, kUsnReasonFileCreate, 0, 0, 0, data.UsnJournalID}, kUsnReasonFileCreate), created);
}

TEST_F(JournalContract, DroppedRecordsAnswer1181AndStartZeroReadsFromTheFirstKept) {
    VolumeHandle h = withRecords();
    dropOldest(h);
    const UsnJournalData data = query(h);
    ASSERT_GT(data.FirstUsn, 8);
    std::vector<std::uint8_t> out;
    EXPECT_EQ(read(h, everything(data.UsnJournalID, 8), &out), kErrorJournalEntryDeleted);
    EXPECT_TRUE(out.empty());
    const std::vector<UsnRecord> kept = readAll(h, 0);
    ASSERT_FALSE(kept.empty());
    EXPECT_GE(kept.front().Usn, data.FirstUsn);
    EXPECT_EQ(read(h, everything(data.UsnJournalID, data.FirstUsn), &out), kErrorSuccess);
}

TEST_F(JournalContract, EnumerationListsEachItemOnceInReferenceOrderThenEnds) {
    VolumeHandle h = withRecords();
    std::uint64_t root = 0;
    ASSERT_EQ(getFileIndex("C:\\", &root), kErrorSuccess);
    std::vector<UsnRecord> items;
    MftEnumData in{0, 0, query(h).NextUsn};
    std::vector<std::uint8_t> out(300);
    long rc = kErrorSuccess;
    for (int guard = 0; guard < 10000; ++guard) {
        std::uint32_t got = 0;
        rc = enumUsnData(h, in, out.data(), static_cast<std::uint32_t>(out.size()), &got);
        if (rc != kErrorSuccess) break;
        ASSERT_GT(got, 8u);
        for (auto& r : decodeUsnOutput({out.data(), got})) items.push_back(r);
        in.StartFileReferenceNumber = usnOutputHeader({out.data(), got});
    }
    EXPECT_EQ(rc, kErrorHandleEof);
    ASSERT_GT(items.size(), 5u);
    std::set<std::uint64_t> folders{root};
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) {
            EXPECT_LT(items[i - 1].FileReferenceNumber, items[i].FileReferenceNumber);
        }
        EXPECT_NE(items[i].FileReferenceNumber, root);
        if (items[i].FileAttributes & kFileAttributeDirectory) folders.insert(items[i].FileReferenceNumber);
    }
    // Every item hangs in a folder the enumeration lists, or in the root.
    std::size_t inRoot = 0;
    for (const UsnRecord& r : items) {
        EXPECT_TRUE(folders.count(r.ParentFileReferenceNumber)) << name(r);
        inRoot += r.ParentFileReferenceNumber == root;
    }
    EXPECT_GT(inRoot, 0u);
    std::uint32_t got = 0;
    EXPECT_EQ(enumUsnData(h, in, out.data(), 8, &got), kErrorHandleEof);
    EXPECT_EQ(enumUsnData(h, in, out.data(), 4, &got), kErrorInvalidParameter);
}

// The clock is the test's: a waiting read ends at its time-out, or when a
// record comes.
TEST_F(JournalContract, AWaitingReadEndsAtItsTimeOutOrWhenARecordComes) {
    VolumeHandle h = withRecords();
    const UsnJournalData data = query(h);
    useManualClock(1'800'000'000'000);
    auto waitingRead = [&](std::int64_t start, std::vector<std::uint8_t>* out, std::atomic<bool>* done) {
        const ReadUsnJournalData in{start, 0xFFFFFFFF, 0, 5, 1, data.UsnJournalID};
        return std::thread([&h, in, out, done] {
            read(h, in, out);
            *done = true;
        });
    };
    std::vector<std::uint8_t> out;
    std::atomic<bool> done{false};
    const std::int64_t began = nowMillis();
    std::thread reader = waitingRead(data.NextUsn, &out, &done);
    while (!done) {
        advanceClock(100);
        std::this_thread::yield();
    }
    reader.join();
    EXPECT_GE(nowMillis() - began, 5000) << "the read waited for its time-out";
    EXPECT_EQ(out.size(), 8u) << "nothing came within the time-out";

    done = false;
    reader = waitingRead(data.NextUsn, &out, &done);
    addDirectory(h, "arrives-late");
    reader.join();
    useSystemClock();
    const std::vector<UsnRecord> got = decodeUsnOutput(out);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(name(got.back()), "arrives-late");
}

TEST_F(JournalContract, SizesCodesAndHandlesAnswerWithWindowsErrors) {
    VolumeHandle none;
    UsnJournalData data{};
    EXPECT_EQ(queryUsnJournal(none, &data), kErrorInvalidHandle);
    VolumeHandle h = withRecords();
    std::uint32_t got = 99;
    EXPECT_EQ(deviceIoControl(h, 0x00090000, nullptr, 0, nullptr, 0, &got), kErrorInvalidFunction);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(deviceIoControl(h, kFsctlQueryUsnJournal, nullptr, 0, &data, 40, &got), kErrorInvalidParameter);
    const CreateUsnJournalData create{0x800000, 0x100000};
    EXPECT_EQ(deviceIoControl(h, kFsctlCreateUsnJournal, &create, 8, nullptr, 0, &got), kErrorInvalidParameter);
    const ReadUsnJournalData in = everything(query(h).UsnJournalID);
    std::uint8_t buffer[64];
    EXPECT_EQ(deviceIoControl(h, kFsctlReadUsnJournal, &in, 32, buffer, 64, &got), kErrorInvalidParameter);
    const MftEnumData enumIn{0, 0, 0};
    EXPECT_EQ(deviceIoControl(h, kFsctlEnumUsnData, &enumIn, 16, buffer, 64, &got), kErrorInvalidParameter);
    EXPECT_EQ(deviceIoControl(h, kFsctlQueryUsnJournal, nullptr, 0, &data, sizeof data, &got), kErrorSuccess);
    EXPECT_EQ(got, sizeof data);
}

#if defined(_WIN32)
// The Win32 backend's reads of the real journal, in buffers of every size,
// give back the records Windows' listing shows, and the root folder's index
// is the one the records name.
TEST_F(JournalContract, TheRealJournalReadThroughTheBackendIsTheWindowsListing) {
    const auto listed = ntfs_sample::readListing();
    if (listed.empty()) GTEST_SKIP() << ntfs_sample::kMissing;
    VolumeHandle h = withRecords();
    const UsnJournalData data = query(h);
    EXPECT_EQ(data.UsnJournalID, ntfs_sample::kJournalId);
    EXPECT_EQ(data.NextUsn, ntfs_sample::kNextUsn);
    for (std::uint32_t size : {10000u, 200u}) {
        SCOPED_TRACE(size);
        ntfs_sample::expectAsListed(readAll(h, 0, size), listed);
    }
    std::uint64_t root = 0;
    ASSERT_EQ(getFileIndex("C:\\", &root), kErrorSuccess);
    EXPECT_EQ(root, ntfs_sample::kRootReference);
}
#endif
