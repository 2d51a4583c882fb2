// USN_RECORD_V2 bytes: the layout, the alignment, long names, and buffers
// that end inside a record or carry a damaged one.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "platform/journal.h"
#include "tests/platform/journal/ntfs_sample.h"

using namespace platform;

namespace {

UsnRecord sample(const std::u16string& name, std::uint32_t reason = kUsnReasonFileCreate | kUsnReasonClose) {
    UsnRecord r;
    r.FileReferenceNumber = 0x0001000000000ABCull;
    r.ParentFileReferenceNumber = 0x0005000000000005ull;
    r.Usn = 0x1234;
    r.TimeStamp = fileTimeFromUnix(1700000000, 500);
    r.Reason = reason;
    r.SourceInfo = 7;
    r.SecurityId = 9;
    r.FileAttributes = kFileAttributeDirectory;
    r.FileName = name;
    return r;
}

template <typename T>
T at(const std::vector<std::uint8_t>& b, std::size_t offset) {
    T v;
    std::memcpy(&v, b.data() + offset, sizeof v);
    return v;
}

// An output buffer as the journal returns it: the next USN, then records.
std::vector<std::uint8_t> output(std::uint64_t next, const std::vector<UsnRecord>& records) {
    std::vector<std::uint8_t> out(8);
    std::memcpy(out.data(), &next, 8);
    for (const auto& r : records) appendUsnRecord(&out, r);
    return out;
}

}  // namespace

TEST(UsnRecordBytes, FieldsSitAtTheWindowsOffsets) {
    const auto bytes = encodeUsnRecord(sample(u"ab"));
    ASSERT_EQ(bytes.size(), 64u);  // 60 + 4 name bytes, padded to 8
    EXPECT_EQ(at<std::uint32_t>(bytes, 0), 64u);
    EXPECT_EQ(at<std::uint16_t>(bytes, 4), 2);
    EXPECT_EQ(at<std::uint16_t>(bytes, 6), 0);
    EXPECT_EQ(at<std::uint64_t>(bytes, 8), 0x0001000000000ABCull);
    EXPECT_EQ(at<std::uint64_t>(bytes, 16), 0x0005000000000005ull);
    EXPECT_EQ(at<std::int64_t>(bytes, 24), 0x1234);
    EXPECT_EQ(at<std::int64_t>(bytes, 32), fileTimeFromUnix(1700000000, 500));
    EXPECT_EQ(at<std::uint32_t>(bytes, 40), kUsnReasonFileCreate | kUsnReasonClose);
    EXPECT_EQ(at<std::uint32_t>(bytes, 44), 7u);
    EXPECT_EQ(at<std::uint32_t>(bytes, 48), 9u);
    EXPECT_EQ(at<std::uint32_t>(bytes, 52), kFileAttributeDirectory);
    EXPECT_EQ(at<std::uint16_t>(bytes, 56), 4);   // FileNameLength in bytes
    EXPECT_EQ(at<std::uint16_t>(bytes, 58), 60);  // FileNameOffset
    EXPECT_EQ(at<std::uint16_t>(bytes, 60), u'a');
    EXPECT_EQ(at<std::uint16_t>(bytes, 62), u'b');
}

TEST(UsnRecordBytes, EveryLengthIsAMultipleOfEightAndDecodesBack) {
    std::u16string name;
    for (int n = 0; n <= 17; ++n) {
        const UsnRecord r = sample(name);
        const auto bytes = encodeUsnRecord(r);
        EXPECT_EQ(bytes.size() % 8, 0u) << n;
        EXPECT_EQ(bytes.size(), usnRecordLength(name.size()));
        EXPECT_GE(bytes.size(), 60u + 2 * name.size());
        EXPECT_LT(bytes.size(), 60u + 2 * name.size() + 8);
        UsnRecord back;
        ASSERT_TRUE(decodeUsnRecord(bytes, 0, &back));
        EXPECT_EQ(back.FileName, name);
        EXPECT_EQ(back.RecordLength, bytes.size());
        EXPECT_EQ(back.Reason, r.Reason);
        EXPECT_EQ(back.FileReferenceNumber, r.FileReferenceNumber);
        name.push_back(static_cast<char16_t>(u'a' + n));
    }
}

TEST(UsnRecordBytes, ANameOfThreeHundredUnitsIsKeptWhole) {
    const std::u16string name(300, u'\u00e9');
    const auto out = output(4096, {sample(u"first"), sample(name), sample(u"last")});
    const auto records = decodeUsnOutput(out);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[1].FileName, name);
    EXPECT_EQ(records[1].RecordLength, usnRecordLength(300));
    EXPECT_EQ(records[2].FileName, u"last");
    EXPECT_EQ(usnOutputHeader(out), 4096u);
}

TEST(UsnRecordBytes, TheIteratorVisitsEachRecordOnceAndStopsAtTheEnd) {
    const auto out = output(1, {sample(u"a"), sample(u"bb"), sample(u"ccc")});
    std::vector<std::u16string> names;
    for (std::size_t o = kUsnOutputHeaderSize; o < out.size(); o = nextUsnRecordOffset(out, o)) {
        UsnRecord r;
        ASSERT_TRUE(decodeUsnRecord(out, o, &r));
        names.push_back(r.FileName);
    }
    EXPECT_EQ(names, (std::vector<std::u16string>{u"a", u"bb", u"ccc"}));
    // Only the next USN: no record.
    EXPECT_TRUE(decodeUsnOutput(output(77, {})).empty());
    EXPECT_TRUE(decodeUsnOutput(std::vector<std::uint8_t>(3)).empty());
    EXPECT_EQ(usnOutputHeader(std::vector<std::uint8_t>(3)), 0u);
}

TEST(UsnRecordBytes, ARecordStraddlingTheEndOfTheBufferIsNotRead) {
    auto out = output(1, {sample(u"whole"), sample(u"cut-off-name")});
    const std::size_t secondAt = 8 + usnRecordLength(5);
    for (std::size_t cut = secondAt + 1; cut < out.size(); cut += 7) {
        std::vector<std::uint8_t> shorter(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(cut));
        UsnRecord r;
        EXPECT_FALSE(decodeUsnRecord(shorter, secondAt, &r)) << cut;
        EXPECT_EQ(nextUsnRecordOffset(shorter, secondAt), shorter.size());
        ASSERT_EQ(decodeUsnOutput(shorter).size(), 1u) << cut;
    }
}

TEST(UsnRecordBytes, DamagedRecordsEndTheWalkInsteadOfLoopingOrOverrunning) {
    const auto good = output(1, {sample(u"x"), sample(u"y")});
    struct Damage {
        const char* what;
        std::size_t offset;
        std::uint32_t value;
        int bytes;
    } damages[] = {
        {"zero length", 8, 0, 4},
        {"length below the header", 8, 56, 4},
        {"length not a multiple of 8", 8, 65, 4},
        {"length past the buffer", 8, 4096, 4},
        {"version 3", 12, 3, 2},
        {"odd name length", 8 + 56, 3, 2},
        {"name past the record", 8 + 56, 200, 2},
        {"name offset inside the header", 8 + 58, 10, 2},
    };
    for (const auto& d : damages) {
        auto bad = good;
        std::memcpy(bad.data() + d.offset, &d.value, d.bytes);
        UsnRecord r;
        EXPECT_FALSE(decodeUsnRecord(bad, 8, &r)) << d.what;
        EXPECT_TRUE(decodeUsnOutput(bad).empty()) << d.what;
    }
    UsnRecord r;
    EXPECT_FALSE(decodeUsnRecord(good, good.size() + 8, &r));
    EXPECT_EQ(nextUsnRecordOffset(good, good.size() + 8), good.size());
}

TEST(UsnRecordBytes, ReasonsReadAsNamesAndTimesAsFiletimes) {
    EXPECT_EQ(usnReasonNames(kUsnReasonFileCreate | kUsnReasonDataExtend | kUsnReasonClose),
              "DATA_EXTEND|FILE_CREATE|CLOSE");
    EXPECT_EQ(usnReasonNames(kUsnReasonRenameOldName), "RENAME_OLD_NAME");
    EXPECT_EQ(usnReasonNames(0), "");
    EXPECT_EQ(usnReasonNames(0x01000000 | kUsnReasonFileDelete), "FILE_DELETE|0x01000000");
    EXPECT_EQ(fileTimeFromUnix(0), 116444736000000000LL);
    EXPECT_EQ(unixSecondsFromFileTime(fileTimeFromUnix(1700000000, 999999999)), 1700000000);
    EXPECT_EQ(unixSecondsFromFileTime(0), -11644473600LL);
}

// A real volume's journal stream decodes exactly as Windows' own listing of
// it shows: every record, in order, with each field. The listing's times are
// the local time of the machine that wrote it, so they must differ from the
// decoded UTC times by one whole-quarter-hour offset shared by all records.
TEST(UsnRecordBytes, ARealJournalDecodesAsTheWindowsListingShows) {
    std::string damage;
    const auto sample = ntfs_sample::readJournal(&damage);
    const auto listed = ntfs_sample::readListing();
    if (!sample || listed.empty()) GTEST_SKIP() << ntfs_sample::kMissing;
    ASSERT_TRUE(damage.empty()) << damage;
    std::vector<UsnRecord> records;
    for (const auto& s : *sample) records.push_back(s.record);
    ASSERT_GT(listed.size(), 100u);
    ASSERT_EQ(records.size(), listed.size());

    ntfs_sample::expectAsListed(records, listed);
    EXPECT_EQ(records.back().Usn + records.back().RecordLength, 29792);
}
