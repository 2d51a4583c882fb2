// The field packer, the raw-log records and the row writer, read back with
// the server's decoders.

#include <sys/stat.h>

#include <array>
#include <csignal>
#include <sys/resource.h>
#include <random>
#include <vector>

#include "agent/store/data_files.h"
#include "store_fixture.h"
#include "testserver/decoders/decoders.h"

namespace {

std::vector<decoders::PackedRecord> rawLogRecords(const std::string& bytes) {
    std::vector<decoders::PackedRecord> records;
    auto error = decoders::decodeRecords(bytes, kRawLogFormat, records);
    EXPECT_FALSE(error) << error.describe();
    return records;
}

bool validUtf8(const std::string& s) {
    for (std::size_t i = 0; i < s.size();) {
        auto c = static_cast<unsigned char>(s[i]);
        std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (std::size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

const RawLogHost kHost{"Windows", 0x0102030405060708, "dc01.corp.example"};

}  // namespace

TEST(PackFields, EncodesEachLetterBigEndianBehindItsTag) {
    std::array<std::uint8_t, 64> buffer{};
    std::array<PackValue, 4> values = {std::int64_t{0x12345}, std::int64_t{-2},
                                       std::string_view("ab"), std::int64_t{0x0102030405060708}};
    // 'x' is not a format letter: skipped without taking a value.
    std::size_t n = packFields(buffer, "dlxsz", values);
    const std::vector<std::uint8_t> expected = {1, 0x23, 0x45,                  // d: low 16 bits
                                                2, 0xFF, 0xFF, 0xFF, 0xFE,      // l
                                                3, 0, 2, 'a', 'b',              // s
                                                8, 1, 2, 3, 4, 5, 6, 7, 8};     // z
    ASSERT_EQ(n, expected.size());
    EXPECT_EQ(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + n), expected);
}

TEST(PackFields, RefusesWhatDoesNotFitWithoutWritingPastTheBuffer) {
    std::array<std::uint8_t, 16> storage{};
    storage.fill(0xAA);
    std::span<std::uint8_t> buffer(storage.data(), 8);  // the rest is a guard zone
    std::array<PackValue, 1> text = {std::string_view("0123456789")};
    EXPECT_EQ(packFields(buffer, "s", text), 0u);
    for (std::size_t i = 8; i < storage.size(); ++i) EXPECT_EQ(storage[i], 0xAA);

    std::array<PackValue, 1> number = {std::int64_t{1}};
    EXPECT_EQ(packFields(buffer, "s", number), 0u);  // wrong kind for the letter
    EXPECT_EQ(packFields(buffer, "dd", number), 0u);  // too few values
    EXPECT_EQ(packFields(buffer, "d", number), 3u);
}

TEST_F(StoreTest, RawLogRecordRoundTripsThroughTheDecoder) {
    EventRecord r = event(kHost.id, 70000, 1);
    r.remoteHost = "10.0.0.9";
    r.objectName = "C:\\Données\\bilan.xlsx";
    r.objectType = "File";
    r.targetUser = "bob";
    r.targetDomain = "CORP";
    r.groupName = "Admins";
    r.memberName = "bob";
    r.accesses = "objectmodified";
    r.processName = "excel.exe";
    r.notifiedIds = "12,40,";
    EventRecord empty = event(kHost.id, 1, 5);
    empty.logFile = empty.source = empty.user = empty.domain = empty.accessOrLogonType = "";
    empty.message = "";
    std::vector<EventRecord> events = {r, empty};
    ASSERT_TRUE(appendRawLogs(kHost, events.data(), 2));

    const std::string bytes = readFile("serverdata/rawlogs");
    auto records = rawLogRecords(bytes);
    ASSERT_EQ(records.size(), 2u);
    const auto& f = records[0].fields;
    ASSERT_EQ(f.size(), 23u);
    EXPECT_EQ(f[0].text, "Windows");
    EXPECT_EQ(f[1].number, kHost.id);
    EXPECT_EQ(f[2].text, "dc01.corp.example");
    EXPECT_EQ(f[3].number, r.eventTime);
    EXPECT_EQ(f[4].number, 3);
    EXPECT_EQ(f[5].number, 4464);  // 70000 keeps its low 16 bits
    EXPECT_EQ(f[6].number, 0);     // severity 1 (error) is written as 0
    const std::vector<std::string> texts = {r.logFile,    r.source,       r.user,
                                            r.domain,     r.accessOrLogonType, r.remoteHost,
                                            r.objectName, r.objectType,   r.targetUser,
                                            r.targetDomain, r.groupName,  r.memberName,
                                            r.accesses,   r.processName,  r.notifiedIds,
                                            r.message};
    for (std::size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(f[7 + i].text, texts[i]) << i;

    // Every empty text of the second record is still there, as 03 00 00.
    const auto& g = records[1].fields;
    ASSERT_EQ(g.size(), 23u);
    EXPECT_EQ(g[6].number, 4);
    for (std::size_t i = 7; i < 23; ++i) EXPECT_EQ(g[i].text, "") << i;
    EXPECT_EQ(records[0].length + records[1].length, bytes.size());
}

TEST_F(StoreTest, OversizedRawLogRecordIsCutToFitWholeAndCorrect) {
    EventRecord r = event(kHost.id, 4663, 4);
    // A message near its limit, multi-byte characters at every cut point, and
    // attribute texts at their own limits.
    r.message.clear();
    while (r.message.size() < 4490) r.message += "é";
    for (std::string* s : {&r.remoteHost, &r.objectName, &r.objectType, &r.targetUser,
                           &r.targetDomain, &r.groupName, &r.memberName, &r.accesses,
                           &r.processName})
        *s = std::string(255, 'a');
    r.notifiedIds = "1,2,3,";
    std::vector<EventRecord> events = {r, event(kHost.id, 1, 3)};
    ASSERT_TRUE(appendRawLogs(kHost, events.data(), 2));

    const std::string bytes = readFile("serverdata/rawlogs");
    auto records = rawLogRecords(bytes);
    ASSERT_EQ(records.size(), 2u);  // the record after it is intact too
    EXPECT_LE(records[0].length, kRawLogRecordCapacity);
    EXPECT_GE(records[0].length, kRawLogRecordCapacity - 3);  // only what had to go
    const auto& f = records[0].fields;
    ASSERT_EQ(f.size(), 23u);
    // Only the message was cut; it is a clean prefix of the original.
    EXPECT_LT(f[22].text.size(), r.message.size());
    EXPECT_EQ(r.message.compare(0, f[22].text.size(), f[22].text), 0);
    EXPECT_TRUE(validUtf8(f[22].text));
    for (int i = 12; i <= 20; ++i) EXPECT_EQ(f[i].text.size(), 255u) << i;
    EXPECT_EQ(f[21].text, "1,2,3,");
    EXPECT_EQ(records[1].fields[22].text, events[1].message);
}

TEST_F(StoreTest, WhenTheMessageIsNotEnoughTheLongestTextsAreCut) {
    EventRecord r = event(kHost.id, 4663, 4);
    r.message = std::string(100, 'm');
    r.notifiedIds = std::string(5000, '7');  // a text far beyond what a record holds
    r.objectName = std::string(4000, 'o');
    r.processName = "svchost.exe";
    std::vector<EventRecord> events = {r};
    ASSERT_TRUE(appendRawLogs(kHost, events.data(), 1));

    auto records = rawLogRecords(readFile("serverdata/rawlogs"));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_LE(records[0].length, kRawLogRecordCapacity);
    const auto& f = records[0].fields;
    EXPECT_EQ(f[22].text, "");                     // the message went first
    EXPECT_EQ(f[20].text, "svchost.exe");          // short texts are kept
    EXPECT_EQ(f[7].text, "Security");
    EXPECT_GT(f[21].text.size(), 2000u);           // the two long ones share the cut
    EXPECT_GT(f[13].text.size(), 2000u);
    EXPECT_LE(std::max(f[21].text.size(), f[13].text.size()) -
                  std::min(f[21].text.size(), f[13].text.size()), 1u);
}

TEST_F(StoreTest, RecordsOfAnyTextLengthsFitAndKeepPrefixesOfTheirTexts) {
    std::mt19937 random(11);
    std::vector<EventRecord> events;
    for (int i = 0; i < 200; ++i) {
        EventRecord r = event(kHost.id, i, 1 + i % 5);
        for (std::string* s : {&r.logFile, &r.source, &r.user, &r.domain, &r.accessOrLogonType,
                               &r.remoteHost, &r.objectName, &r.objectType, &r.targetUser,
                               &r.targetDomain, &r.groupName, &r.memberName, &r.accesses,
                               &r.processName, &r.notifiedIds, &r.message}) {
            // Mostly short texts, now and then one of several thousand bytes
            // with two-byte characters.
            std::size_t n = random() % 8 == 0 ? random() % 7000 : random() % 300;
            s->clear();
            while (s->size() < n) *s += (random() % 3 == 0) ? "ß" : "x";
        }
        events.push_back(std::move(r));
    }
    ASSERT_TRUE(appendRawLogs(kHost, events.data(), static_cast<int>(events.size())));

    auto records = rawLogRecords(readFile("serverdata/rawlogs"));
    ASSERT_EQ(records.size(), events.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        const EventRecord& r = events[i];
        const auto& f = records[i].fields;
        ASSERT_EQ(f.size(), 23u);
        EXPECT_LE(records[i].length, kRawLogRecordCapacity) << i;
        const std::vector<const std::string*> texts = {
            &r.logFile,    &r.source,     &r.user,       &r.domain,       &r.accessOrLogonType,
            &r.remoteHost, &r.objectName, &r.objectType, &r.targetUser,   &r.targetDomain,
            &r.groupName,  &r.memberName, &r.accesses,   &r.processName,  &r.notifiedIds,
            &r.message};
        std::size_t total = 82;
        bool cut = false;
        for (std::size_t k = 0; k < texts.size(); ++k) {
            const std::string& written = f[7 + k].text;
            total += texts[k]->size();
            cut = cut || written.size() < texts[k]->size();
            EXPECT_EQ(texts[k]->compare(0, written.size(), written), 0) << i << "/" << k;
            EXPECT_TRUE(validUtf8(written)) << i << "/" << k;
        }
        total += kHost.type.size() + kHost.name.size();
        EXPECT_EQ(cut, total > kRawLogRecordCapacity) << i;
        // The message goes first: a cut record keeps other texts only with an
        // empty message, or whole when only the message was cut.
        if (cut && !f[22].text.empty()) {
            for (std::size_t k = 0; k + 1 < texts.size(); ++k) {
                EXPECT_EQ(f[7 + k].text.size(), texts[k]->size()) << i << "/" << k;
            }
        }
    }
}

TEST_F(StoreTest, UnwritableRawLogFileIsReported) {
    std::filesystem::remove_all("serverdata");
    std::vector<EventRecord> events = {event(1, 1, 1)};
    EXPECT_FALSE(appendRawLogs(kHost, events.data(), 1));
    EXPECT_TRUE(appendRawLogs(kHost, events.data(), 0));
}

// A disk that fills up in the middle of a batch: the file is cut back to
// where the batch began, so what was written before stays decodable, and the
// reason is logged once per transfer period, not once per batch. (A file
// size limit stands in for the full disk: the write stops short the same way.)
TEST_F(StoreTest, BatchThatDoesNotFitLeavesTheFileAsItWasAndIsReportedOnce) {
    platform::advanceClock(3'600'000);  // away from any earlier test's report
    std::vector<EventRecord> events;
    for (int i = 0; i < 50; ++i) events.push_back(event(1, 4624 + i, 3));
    ASSERT_TRUE(appendRawLogs(kHost, events.data(), 50));
    const auto sizeBefore = std::filesystem::file_size("serverdata/rawlogs");

    struct sigaction ignore {}, old {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &old);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit limit = saved;
    limit.rlim_cur = sizeBefore + 3000;  // room for a few records of the next batch
    setrlimit(RLIMIT_FSIZE, &limit);
    const bool second = appendRawLogs(kHost, events.data(), 50);
    const bool third = appendRawLogs(kHost, events.data(), 50);
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &old, nullptr);

    EXPECT_FALSE(second);
    EXPECT_FALSE(third);
    EXPECT_EQ(std::filesystem::file_size("serverdata/rawlogs"), sizeBefore);
    EXPECT_EQ(rawLogRecords(readFile("serverdata/rawlogs")).size(), 50u);
    const std::string log = logText();
    const std::string line = "\n Unable to write to serverdata/rawlogs: File too large";
    EXPECT_NE(log.find(line), std::string::npos) << log;
    EXPECT_EQ(log.find(line), log.rfind(line));  // once

    // Once there is room again, batches are written whole.
    ASSERT_TRUE(appendRawLogs(kHost, events.data(), 50));
    EXPECT_EQ(rawLogRecords(readFile("serverdata/rawlogs")).size(), 100u);
}

// A link placed where the raw-log file goes is never written through, and a
// new data file admits only the agent's user.
TEST_F(StoreTest, RawLogsAreNeverWrittenThroughALink) {
    std::ofstream("elsewhere") << "keep";
    std::filesystem::create_symlink("../elsewhere", "serverdata/rawlogs");
    std::vector<EventRecord> events = {event(1, 1, 1)};
    EXPECT_FALSE(appendRawLogs(kHost, events.data(), 1));
    EXPECT_EQ(readFile("elsewhere"), "keep");

    std::filesystem::remove("serverdata/rawlogs");
    const mode_t old = ::umask(077);
    EXPECT_TRUE(appendRawLogs(kHost, events.data(), 1));
    ::umask(old);
    EXPECT_EQ(std::filesystem::status("serverdata/rawlogs").permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

namespace {

// The aggregate row of the format example, through exportQueryRows.
const char* kExampleRow =
    "select NULL, 14, '2008-11-03 14:00:00', 5, 'Security', 'Security', 528, 'admin', 'CORP', "
    "'2', 0, 0, 0, 3, 0";

}  // namespace

TEST_F(StoreTest, RowFormatsFollowTheDatabaseType) {
    const std::string values = "|**|14|**|2008-11-03 14:00:00|**|5|**|Security|**|Security|**|528|**|"
                               "admin|**|CORP|**|2|**|0|**|0|**|0|**|3|**|0|**|**|\n";
    ASSERT_TRUE(exportQueryRows(StoreDb::Event, kExampleRow, "enclosed", true));
    EXPECT_EQ(readFile("enclosed"), "|**|NULL" + values);

    setDatabaseType("mssql");
    ASSERT_TRUE(exportQueryRows(StoreDb::Event, kExampleRow, "plain", true));
    EXPECT_EQ(readFile("plain"), values);

    setDatabaseType("postgres");
    ASSERT_TRUE(exportQueryRows(StoreDb::Event, kExampleRow, "tab", true));
    EXPECT_EQ(readFile("tab"), "14\t2008-11-03 14:00:00\t5\tSecurity\tSecurity\t528\tadmin\tCORP\t2\t0\t0\t0\t3\t0\n");

    for (auto [file, format] : {std::pair{"enclosed", decoders::RowFormat::Enclosed},
                                std::pair{"plain", decoders::RowFormat::Plain},
                                std::pair{"tab", decoders::RowFormat::Tab}}) {
        std::vector<decoders::Row> rows;
        decoders::RowFormat used;
        auto error = decoders::decodeRows(readFile(file), format, 0, rows, used);
        ASSERT_FALSE(error) << file << ": " << error.describe();
        ASSERT_EQ(rows.size(), 1u) << file;
        EXPECT_EQ(rows[0].values.back(), "0") << file;
    }
}

TEST_F(StoreTest, ValuesAreWrittenByTheirOwnType) {
    ASSERT_TRUE(execSql("CREATE TABLE T (A INTEGER, B TEXT, C REAL, D BLOB)", StoreDb::Event));
    // The first row's NULLs must not decide how later rows are written.
    ASSERT_TRUE(execSql("insert into T values (NULL, NULL, NULL, NULL);"
                        "insert into T values (-9000000000, 'x|y', 2.5, x'00ff');"
                        "insert into T values (7, NULL, NULL, NULL);",
                        StoreDb::Event));
    ASSERT_TRUE(exportQueryRows(StoreDb::Event, "select * from T order by rowid", "typed", true));
    EXPECT_EQ(readFile("typed"),
              "|**|NULL|**|NULL|**|NULL|**|NULL|**|**|\n"
              "|**|-9000000000|**|x|y|**|2.500000|**|NULL|**|**|\n"
              "|**|7|**|NULL|**|NULL|**|NULL|**|**|\n");
}

TEST_F(StoreTest, ExportModesAndFailuresLeaveFilesAsExpected) {
    // No rows: the file is created (or kept, in append mode) and stays as it was.
    ASSERT_TRUE(exportQueryRows(StoreDb::Event, "select 1 where 0", "empty", true));
    EXPECT_TRUE(std::filesystem::exists("empty"));
    std::ofstream("kept") << "old line\n";
    ASSERT_TRUE(exportQueryRows(StoreDb::Event, "select 1 where 0", "kept", false));
    EXPECT_EQ(readFile("kept"), "old line\n");
    ASSERT_TRUE(exportQueryRows(StoreDb::Event, "select 1", "kept", false));
    EXPECT_EQ(readFile("kept"), "old line\n|**|1|**|**|\n");
    ASSERT_TRUE(exportQueryRows(StoreDb::Event, "select 2", "kept", true));
    EXPECT_EQ(readFile("kept"), "|**|2|**|**|\n");

    // A query that cannot be prepared does not touch the file.
    EXPECT_FALSE(exportQueryRows(StoreDb::Event, "select * from Missing", "untouched", true));
    EXPECT_FALSE(std::filesystem::exists("untouched"));
    EXPECT_NE(logText().find("\n SQL Error : no such table: Missing\n Query : select * from Missing"),
              std::string::npos);

    // A long row is written whole.
    const std::string longText(20000, 'L');
    ASSERT_TRUE(exportQueryRows(StoreDb::Event, "select '" + longText + "'", "long", true));
    EXPECT_EQ(readFile("long"), "|**|" + longText + "|**|**|\n");
}
