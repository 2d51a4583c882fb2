// The agent's writers against the server's decoders: both are written from
// the file layouts independently, so a disagreement is a fault in one of them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "agent/store/data_files.h"
#include "agent/store/zip_directory.h"
#include "testserver/decoders/decoders.h"

namespace fs = std::filesystem;

TEST(AgentFiles, PackedRawLogRecordsDecodeToTheValuesPacked) {
    const std::string message = "Fehler beim Anmelden \xc3\xbc";
    std::vector<PackValue> values = {std::string_view("Windows"), std::int64_t{-7}, std::string_view("alpha.localhost"),
                                     std::int64_t{1700000000}, std::int64_t{14}, std::int64_t{70000},
                                     std::int64_t{4}};
    for (int i = 0; i < 15; ++i) values.emplace_back(std::string_view(i % 2 ? "" : "text"));
    values.emplace_back(std::string_view(message));
    std::vector<std::uint8_t> buffer(kRawLogRecordCapacity);
    const std::size_t packed = packFields(std::span(buffer).subspan(2), kRawLogFormat, values);
    ASSERT_GT(packed, 0u);
    buffer[0] = static_cast<std::uint8_t>((packed + 2) >> 8);
    buffer[1] = static_cast<std::uint8_t>((packed + 2) & 0xFF);
    const std::string bytes(reinterpret_cast<const char*>(buffer.data()), packed + 2);

    std::vector<decoders::PackedRecord> records;
    const decoders::DecodeError e = decoders::decodeRecords(bytes, decoders::rawLogSchema().format, records);
    ASSERT_FALSE(e) << e.describe();
    ASSERT_EQ(records.size(), 1u);
    const auto& f = records[0].fields;
    EXPECT_EQ(f[0].text, "Windows");
    EXPECT_EQ(f[1].number, -7);
    EXPECT_EQ(f[3].number, 1700000000);
    EXPECT_EQ(f[5].number, 4464);  // the low 16 bits of 70000
    EXPECT_EQ(f[6].number, 4);
    EXPECT_EQ(f[7].text, "text");
    EXPECT_EQ(f[8].text, "");
    EXPECT_EQ(f[22].text, message);
}

TEST(AgentFiles, ZippedFoldersUnpackToTheSameFiles) {
    const fs::path dir = fs::temp_directory_path() / ("ambrik-agent-files-" + std::to_string(getpid()));
    fs::create_directories(dir / "serverdata");
    std::string raw(40000, '\0');
    for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<char>(i * 7 % 251);
    std::ofstream(dir / "serverdata" / "rawlogs", std::ios::binary) << raw;
    std::ofstream(dir / "serverdata" / "aggregate", std::ios::binary) << "|**|NULL|**|1|**|**|\n";
    const std::string zip = (dir / "logdata_1001.zip").string();
    ASSERT_EQ(zipDirectory((dir / "serverdata").string() + "/", zip), 1);

    std::vector<decoders::ZipEntry> entries;
    const decoders::DecodeError e = decoders::readZip(zip, entries);
    ASSERT_FALSE(e) << e.describe();
    ASSERT_EQ(entries.size(), 2u);
    for (const auto& entry : entries) {
        EXPECT_EQ(entry.method, 8) << entry.name;
        if (entry.name == "rawlogs")
            EXPECT_EQ(entry.data, raw);
        else
            EXPECT_EQ(entry.name, "aggregate");
    }
    fs::remove_all(dir);
}
