#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "testserver/decoders/decoders.h"
#include "tests/testserver/bytes.h"
#include "tests/testserver/test_zip.h"

using namespace decoders;
using namespace testbytes;

namespace {

std::string tempPath(const char* name) {
    return std::string("/tmp/ambrik-decoders-") + std::to_string(getpid()) + "-" + name;
}

}  // namespace

// ---- Packed records ----------------------------------------------------------------

TEST(PackedRecords, RawLogRecordDecodesEveryFieldInOrder) {
    const std::string bytes = rawLogRecord("Anmeldung fehlgeschlagen \xc3\xbc");
    std::vector<PackedRecord> records;
    ASSERT_FALSE(decodeRecords(bytes, rawLogSchema().format, records));
    ASSERT_EQ(records.size(), 1u);
    const PackedRecord& r = records[0];
    EXPECT_EQ(r.length, bytes.size());
    ASSERT_EQ(r.fields.size(), 23u);
    EXPECT_EQ(r.fields[0].text, "Windows");
    EXPECT_EQ(r.fields[1].number, 101);
    EXPECT_EQ(r.fields[2].text, "alpha.localhost");
    EXPECT_EQ(r.fields[3].number, 1700000000);
    EXPECT_EQ(r.fields[4].number, 14);
    EXPECT_EQ(r.fields[5].number, 4625);
    EXPECT_EQ(r.fields[6].number, 4);
    EXPECT_EQ(r.fields[20].text, "C:\\Windows\\System32\\lsass.exe");
    EXPECT_EQ(r.fields[21].text, "801,");
    EXPECT_EQ(r.fields[22].text, "Anmeldung fehlgeschlagen \xc3\xbc");

    std::string json;
    ASSERT_FALSE(toJsonLines(FileKind::RawLog, bytes, json));
    EXPECT_NE(json.find("\"eventId\":4625"), std::string::npos) << json;
    EXPECT_NE(json.find("\"message\":\"Anmeldung fehlgeschlagen \xc3\xbc\""), std::string::npos) << json;
    EXPECT_EQ(json.back(), '\n');
}

TEST(PackedRecords, NumbersAreBigEndianAndSigned) {
    // An event id of 70000 is stored as its low 16 bits, 4464; 32- and 64-bit
    // fields are signed, 16-bit ones unsigned.
    const std::string bytes = record(fieldD(70000) + fieldD(0xFFFF) + fieldL(0xFFFFFFFF) + fieldZ(~0ull) +
                                     fieldZ(0x0102030405060708ull));
    std::vector<PackedRecord> records;
    ASSERT_FALSE(decodeRecords(bytes, "ddlzz", records));
    EXPECT_EQ(records[0].fields[0].number, 4464);
    EXPECT_EQ(records[0].fields[1].number, 65535);
    EXPECT_EQ(records[0].fields[2].number, -1);
    EXPECT_EQ(records[0].fields[3].number, -1);
    EXPECT_EQ(records[0].fields[4].number, 0x0102030405060708ll);
}

TEST(PackedRecords, EmptyTextsStillCarryAllFields) {
    // Every empty text is the three bytes 03 00 00.
    std::string fields = fieldS("") + fieldZ(0) + fieldS("") + fieldL(0) + fieldD(0) + fieldD(0) + fieldD(0);
    for (int i = 0; i < 16; ++i) fields += std::string("\x03\x00\x00", 3);
    const std::string bytes = record(fields);
    EXPECT_EQ(bytes.size(), 2u + 3 + 9 + 3 + 5 + 3 * 3 + 16 * 3);
    std::vector<PackedRecord> records;
    ASSERT_FALSE(decodeRecords(bytes, rawLogSchema().format, records));
    EXPECT_EQ(records[0].fields.size(), 23u);
}

TEST(PackedRecords, ChangeIndexRecordsFollowEachOther) {
    const std::string first = changeIndexRecord("c:\\data\\a.txt", "CREATED");
    const std::string bytes = first + changeIndexRecord("c:\\data\\b.txt", "DELETED");
    std::vector<PackedRecord> records;
    ASSERT_FALSE(decodeRecords(bytes, changeIndexSchema().format, records));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].offset, first.size());
    EXPECT_EQ(records[1].fields[1].text, "c:\\data\\b.txt");
    EXPECT_EQ(records[1].fields[3].text, "DELETED");
    EXPECT_EQ(records[1].fields[5].number, 104);
    EXPECT_EQ(records[1].fields[6].number, 1001);
    std::string json;
    ASSERT_FALSE(toJsonLines(FileKind::ChangeIndex, bytes, json));
    EXPECT_NE(json.find("\"path\":\"c:\\\\data\\\\a.txt\",\"time\":1700000100,\"changeType\":\"CREATED\""),
              std::string::npos)
        << json;
}

TEST(PackedRecords, EveryTruncationIsReportedInsideTheInput) {
    const std::string first = rawLogRecord();
    const std::string bytes = first + rawLogRecord("second");
    for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
        std::vector<PackedRecord> records;
        const DecodeError e = decodeRecords(bytes.substr(0, cut), rawLogSchema().format, records);
        if (cut == 0 || cut == first.size()) {
            EXPECT_FALSE(e) << cut;
            continue;
        }
        ASSERT_TRUE(e) << "cut at " << cut;
        EXPECT_EQ(e.offset, cut < first.size() ? 0u : first.size()) << cut;
        EXPECT_EQ(records.size(), cut < first.size() ? 0u : 1u);
    }
}

TEST(PackedRecords, CorruptionNamesTheOffendingByte) {
    std::vector<PackedRecord> records;
    // An unknown tag in the third field.
    std::string fields = fieldS("FIM") + fieldS("p");
    const std::size_t badAt = 2 + fields.size();
    DecodeError e = decodeRecords(record(fields + "\x05\x00\x00\x00\x00"), "", records);
    ASSERT_TRUE(e);
    EXPECT_EQ(e.offset, badAt);
    EXPECT_NE(e.message.find("unknown field tag 5"), std::string::npos);

    // A text length that runs past the record (the record length is right).
    e = decodeRecords(record("\x03\x00\x10" "abc"), "s", records);
    ASSERT_TRUE(e);
    EXPECT_EQ(e.offset, 2u);

    // A record length below its own two bytes.
    e = decodeRecords(std::string("\x00\x01", 2), "", records);
    ASSERT_TRUE(e);
    EXPECT_EQ(e.offset, 0u);

    // A field of the wrong type for the layout.
    e = decodeRecords(record(fieldD(1) + fieldS("x")), "ss", records);
    ASSERT_TRUE(e);
    EXPECT_NE(e.message.find("field 1"), std::string::npos) << e.message;

    // A record whose fields are complete but too few.
    e = decodeRecords(record(fieldS("FIM")), changeIndexSchema().format, records);
    ASSERT_TRUE(e);
    EXPECT_NE(e.message.find("expected 9"), std::string::npos);

    std::string json;
    EXPECT_TRUE(toJsonLines(FileKind::RawLog, std::string("\x00\x50\x03", 3), json));
    EXPECT_NE(json.find("{\"error\":"), std::string::npos);
    EXPECT_NE(json.find("\"offset\":0}"), std::string::npos);
}

// ---- Text rows ------------------------------------------------------------------------

namespace {
const char* kEnclosed =
    "|**|NULL|**|14|**|2008-11-03 14:00:00|**|5|**|Security|**|Security|**|528|**|admin|**|CORP|**|2|**|0|**|0|**|0|"
    "**|3|**|0|**|**|\n";
const char* kPlain =
    "|**|14|**|2008-11-03 14:00:00|**|5|**|Security|**|Security|**|528|**|admin|**|CORP|**|2|**|0|**|0|**|0|**|3|**|"
    "0|**|**|\n";
const char* kTab = "14\t2008-11-03 14:00:00\t5\tSecurity\tSecurity\t528\tadmin\tCORP\t2\t0\t0\t0\t3\t0\n";
}  // namespace

// The Windows agent's lines end in CR LF (text mode), and read the same.
TEST(Rows, TheAggregateLineReadsTheSameInAllThreeFormats) {
    auto crlf = [](std::string line) { return line.insert(line.size() - 1, "\r"); };
    const std::string windows[] = {crlf(kEnclosed), crlf(kPlain), crlf(kTab)};
    for (const char* line : {kEnclosed, kPlain, kTab, windows[0].c_str(), windows[1].c_str(), windows[2].c_str()}) {
        std::vector<Row> rows;
        RowFormat format;
        ASSERT_FALSE(decodeRows(line, std::nullopt, 15, rows, format)) << line;
        ASSERT_EQ(rows.size(), 1u);
        ASSERT_EQ(rows[0].values.size(), 15u) << line;
        EXPECT_EQ(rows[0].values[1], "14");
        EXPECT_EQ(rows[0].values[2], "2008-11-03 14:00:00");
        EXPECT_EQ(rows[0].values[6], "528");
        EXPECT_EQ(rows[0].values[13], "3");
        EXPECT_EQ(rows[0].values[14], "0");
        if (line == kEnclosed || line == windows[0]) {
            EXPECT_EQ(format, RowFormat::Enclosed);
            EXPECT_EQ(rows[0].values[0], std::nullopt);
        } else {
            EXPECT_EQ(format, line == kPlain || line == windows[1] ? RowFormat::Plain : RowFormat::Tab);
            EXPECT_EQ(rows[0].values[0], "");
        }
    }
}

TEST(Rows, FormatIsDetectedWithoutAKnownColumnCount) {
    std::vector<Row> rows;
    RowFormat format;
    ASSERT_FALSE(decodeRows(std::string(kEnclosed) + kEnclosed, std::nullopt, 0, rows, format));
    EXPECT_EQ(format, RowFormat::Enclosed);
    EXPECT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].offset, std::string(kEnclosed).size());
    std::string json;
    ASSERT_FALSE(toJsonLines(FileKind::Aggregate, kPlain, json));
    EXPECT_NE(json.find("\"format\":\"plain\",\"NULL\":\"\",\"HOUROFDAY\":\"14\""), std::string::npos) << json;
    EXPECT_EQ(detectKind("upload-entry", kEnclosed), FileKind::Aggregate);
    EXPECT_EQ(detectKind("upload-entry", kTab), FileKind::Aggregate);
}

TEST(Rows, BrokenRowsAreReportedAtTheirStart) {
    std::vector<Row> rows;
    RowFormat format;
    // A row with one column too many (a value holding the separator).
    const std::string good = "|**|NULL|**|a|**|b|**|**|\n";
    const std::string extra = "|**|NULL|**|a|**|b|**|c|**|**|\n";
    DecodeError e = decodeRows(good + extra, RowFormat::Enclosed, 0, rows, format);
    ASSERT_TRUE(e);
    EXPECT_EQ(e.offset, good.size());
    EXPECT_EQ(rows.size(), 1u);
    // A last row cut before its end.
    rows.clear();
    const std::string cut = std::string(kEnclosed) + std::string(kEnclosed).substr(0, 30);
    e = decodeRows(cut, std::nullopt, 15, rows, format);
    ASSERT_TRUE(e);
    EXPECT_EQ(e.offset, std::string(kEnclosed).size());
    // An enclosed row that lost its leading separator.
    rows.clear();
    e = decodeRows("NULL|**|a|**|**|\n", RowFormat::Enclosed, 0, rows, format);
    EXPECT_TRUE(e);
}

TEST(Rows, FileIntegrityExportsUseTheirColumnNames) {
    const std::string tree = "|**|NULL|**|901|**|0|**|1001|**|c:\\\\data\\\\a.txt|**|1|**|0|**|.null|**|**|\n";
    std::string json;
    ASSERT_FALSE(toJsonLines(kindFromFileName("data/basedata/treeviewconfig"), tree, json));
    EXPECT_NE(json.find("\"LOC_ID\":\"901\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"PARENT_FILENAME\":\".null\""), std::string::npos) << json;
    const std::string trend = "|**|NULL|**|14|**|2026-12-07 14:00:00|**|1001|**|1|**|2|**|0|**|0|**|**|\n";
    EXPECT_EQ(detectKind("x", trend), FileKind::Trend);
    EXPECT_EQ(detectKind("x", tree), FileKind::TreeView);
}

TEST(RenameConfig, LinesCarryTheLocationAndPath) {
    std::vector<RenameEntry> entries;
    ASSERT_FALSE(decodeRenameConfig("12+file+c:\\data\\old.txt\n0+file+c:\\data\\moved\n", entries));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].locationId, 12);
    EXPECT_EQ(entries[0].path, "c:\\data\\old.txt");
    EXPECT_EQ(entries[1].offset, 24u);
    EXPECT_EQ(entries[1].locationId, 0);
    entries.clear();
    ASSERT_FALSE(decodeRenameConfig("12+file+c:\\data\\old.txt\r\n", entries));  // as the Windows agent writes it
    EXPECT_EQ(entries.at(0).path, "c:\\data\\old.txt");
    entries.clear();
    EXPECT_EQ(decodeRenameConfig("12+file+a\nx1+file+b\n", entries).offset, 10u);
    EXPECT_TRUE(decodeRenameConfig("12 c:\\a\n", entries));
    EXPECT_TRUE(decodeRenameConfig("12+file+no line end", entries));
}

// ---- Volume back-up file ------------------------------------------------------------------

namespace {
std::string utf16(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) out += le(c, 2);
    return out;
}
std::string backupEntry(std::uint64_t ref, std::uint64_t parent, const std::u16string& name) {
    return le(ref, 8) + le(parent, 8) + le(name.size(), 4) + utf16(name);
}
std::string sampleBackup() {
    return le(u'C', 2) + le(0x01D9AABBCCDDEEFFull, 8) + le(0x2A000, 8) + backupEntry(5, 0, u"C:") +
           backupEntry(0x0001000000000010ull, 5, u"data") +
           backupEntry(0x0002000000000011ull, 0x0001000000000010ull, u"\u00dcn\u00efcode \U0001F600") +
           le(~0ull, 8);
}
}  // namespace

TEST(VolumeBackup, HeaderEntriesAndPathsDecode) {
    const std::string bytes = sampleBackup();
    VolumeBackup backup;
    ASSERT_FALSE(decodeVolumeBackup(bytes, backup));
    EXPECT_EQ(backup.drive, u'C');
    EXPECT_EQ(backup.journalId, 0x01D9AABBCCDDEEFFull);
    EXPECT_EQ(backup.startUsn, 0x2A000u);
    ASSERT_EQ(backup.entries.size(), 3u);
    EXPECT_TRUE(backup.terminated);
    EXPECT_EQ(backup.entries[1].offset, 18u + 20 + 4);
    EXPECT_EQ(backup.entries[2].name, "\xc3\x9cn\xc3\xaf" "code \xf0\x9f\x98\x80");
    EXPECT_EQ(backupPath(backup, 0x0002000000000011ull), "C:\\data\\\xc3\x9cn\xc3\xaf" "code \xf0\x9f\x98\x80");
    EXPECT_EQ(backupPath(backup, 0x77), std::nullopt);
    std::string json;
    ASSERT_FALSE(toJsonLines(kindFromFileName("/opt/orbisk/agent/bin/data/Volume-C.db"), bytes, json));
    EXPECT_EQ(json.find("{\"kind\":\"backup\",\"drive\":\"C\""), 0u) << json;
    EXPECT_NE(json.find("\"path\":\"C:\\\\data\""), std::string::npos) << json;
}

TEST(VolumeBackup, TruncatedOrCorruptFilesAreRefused) {
    const std::string bytes = sampleBackup();
    for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
        VolumeBackup backup;
        const DecodeError e = decodeVolumeBackup(bytes.substr(0, cut), backup);
        ASSERT_TRUE(e) << cut;
        EXPECT_LE(e.offset, cut);
        EXPECT_FALSE(backup.terminated);
    }
    VolumeBackup backup;
    // Ends right before its terminator.
    DecodeError e = decodeVolumeBackup(bytes.substr(0, bytes.size() - 8), backup);
    EXPECT_EQ(e.offset, bytes.size() - 8);
    EXPECT_NE(e.message.find("terminator"), std::string::npos);
    // A name length of four billion units is refused, not allocated.
    backup = {};
    e = decodeVolumeBackup(bytes.substr(0, 18) + le(5, 8) + le(0, 8) + le(0xFFFFFFFF, 4) + "ab", backup);
    EXPECT_EQ(e.offset, 18u);
    // Bytes after the terminator are reported; the entries stay readable.
    backup = {};
    e = decodeVolumeBackup(bytes + "x", backup);
    EXPECT_EQ(e.offset, bytes.size());
    EXPECT_EQ(backup.entries.size(), 3u);
    // A lone surrogate becomes U+FFFD rather than broken UTF-8.
    backup = {};
    ASSERT_FALSE(decodeVolumeBackup(bytes.substr(0, 18) + backupEntry(9, 0, u"\xD800x") + le(~0ull, 8), backup));
    EXPECT_EQ(backup.entries[0].name, "\xef\xbf\xbdx");
}

// ---- Zip archives ------------------------------------------------------------------------

TEST(Zip, UploadArchiveEntriesAreUnpackedAndDecoded) {
    const std::string path = tempPath("upload.zip");
    const std::string raw = rawLogRecord() + rawLogRecord("second");
    ASSERT_TRUE(writeZip(path, {{"rawlogs", raw}, {"aggregate", kEnclosed}}));
    std::vector<ZipEntry> entries;
    ASSERT_FALSE(readZip(path, entries));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].name, "rawlogs");
    EXPECT_EQ(entries[0].data, raw);
    EXPECT_EQ(entries[0].method, 8);
    EXPECT_EQ(entries[1].data, kEnclosed);
    std::string json;
    ASSERT_FALSE(zipToJsonLines(path, json));
    EXPECT_EQ(json.find("{\"entry\":\"rawlogs\",\"kind\":\"rawlogs\",\"size\":"), 0u) << json;
    EXPECT_NE(json.find("\"message\":\"second\""), std::string::npos);
    EXPECT_NE(json.find("{\"entry\":\"aggregate\",\"kind\":\"aggregate\""), std::string::npos);
    std::remove(path.c_str());
}

TEST(Zip, DamagedArchivesGiveAnErrorNotACrash) {
    const std::string path = tempPath("damaged.zip");
    std::string payload;
    for (int i = 0; i < 200; ++i) payload += rawLogRecord("message number " + std::to_string(i));
    ASSERT_TRUE(writeZip(path, {{"rawlogs", payload}}));
    const std::string good = readAll(path);
    std::vector<ZipEntry> entries;

    writeAll(path, good.substr(0, good.size() / 2));  // lost its central directory
    DecodeError e = readZip(path, entries);
    EXPECT_TRUE(e);

    std::string flipped = good;
    flipped[60] = static_cast<char>(flipped[60] ^ 0x5A);  // inside the compressed data
    writeAll(path, flipped);
    entries.clear();
    e = readZip(path, entries);
    ASSERT_TRUE(e);
    EXPECT_GT(e.offset, 0u);
    EXPECT_NE(e.message.find("rawlogs"), std::string::npos) << e.message;

    writeAll(path, good);
    entries.clear();
    e = readZip(path, entries, 1000);  // unpacks beyond the limit
    ASSERT_TRUE(e);
    EXPECT_NE(e.message.find("limit"), std::string::npos);

    writeAll(path, "not a zip at all");
    entries.clear();
    EXPECT_TRUE(readZip(path, entries));
    std::string json;
    EXPECT_TRUE(zipToJsonLines(path, json));
    EXPECT_NE(json.find("{\"error\":"), std::string::npos);
    std::remove(path.c_str());
}

// ---- JSON text and kinds ----------------------------------------------------------------

TEST(Json, StringsAreAlwaysValidJson) {
    EXPECT_EQ(jsonString("a\"b\\c\n\t\x01"), "\"a\\\"b\\\\c\\n\\t\\u0001\"");
    EXPECT_EQ(jsonString("\xc3\xbc\xe2\x82\xac"), "\"\xc3\xbc\xe2\x82\xac\"");
    // Code-page bytes, a truncated sequence, an overlong form and a surrogate.
    EXPECT_EQ(jsonString("\xe9t\xe9"), "\"\\u00e9t\\u00e9\"");
    EXPECT_EQ(jsonString("\xe2\x82"), "\"\\u00e2\\u0082\"");
    EXPECT_EQ(jsonString("\xc0\xaf"), "\"\\u00c0\\u00af\"");
    EXPECT_EQ(jsonString("\xed\xa0\x80"), "\"\\u00ed\\u00a0\\u0080\"");
}

TEST(Kinds, NamesAndContentChooseTheDecoder) {
    EXPECT_EQ(kindFromFileName("serverdata/rawlogs"), FileKind::RawLog);
    EXPECT_EQ(kindFromFileName("data\\changedata\\changeindex"), FileKind::ChangeIndex);
    EXPECT_EQ(kindFromFileName("data/periodicdata/periodicconfig"), FileKind::Attributes);
    EXPECT_EQ(kindFromFileName("Volume-D.db"), FileKind::VolumeBackup);
    EXPECT_EQ(kindFromFileName("0003-logdata_1001.zip"), FileKind::Zip);
    EXPECT_EQ(kindFromFileName("notes.txt"), FileKind::Unknown);
    EXPECT_EQ(detectKind("copy", rawLogRecord()), FileKind::RawLog);
    EXPECT_EQ(detectKind("copy", changeIndexRecord("c:\\x", "MODIFIED")), FileKind::ChangeIndex);
    EXPECT_EQ(detectKind("copy", sampleBackup()), FileKind::VolumeBackup);
    EXPECT_EQ(detectKind("copy", "5+file+c:\\x\n"), FileKind::RenameConfig);
    EXPECT_EQ(detectKind("copy", std::string("PK\x03\x04", 4)), FileKind::Zip);
    EXPECT_EQ(detectKind("copy", "hello"), FileKind::Unknown);
    EXPECT_EQ(fileKindFromName("backup"), FileKind::VolumeBackup);
    EXPECT_EQ(fileKindFromName("nope"), std::nullopt);
}
