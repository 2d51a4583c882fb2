// The directory map, path reconstruction and the back-up file format.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "agent/fim/path_map.h"
#include "testserver/decoders/decoders.h"

namespace {

DirectoryPathMap sampleMap() {
    DirectoryPathMap map;
    map.Add(5, u"C:", 0);
    map.Add(10, u"Data", 5);
    map.Add(11, u"Sub", 10);
    map.Add(12, u"ÄÖ", 10);
    return map;
}

std::u16string pathOf(const DirectoryPathMap& map, std::uint64_t reference) {
    std::u16string path;
    return reconstructPath(map, reference, &path) ? path : u"<none>";
}

TEST(DirectoryPathMap, AddRenameRemoveAndPaths) {
    DirectoryPathMap map = sampleMap();
    EXPECT_FALSE(map.Add(10, u"Other", 5));
    EXPECT_EQ(pathOf(map, 11), u"C:\\Data\\Sub");
    EXPECT_EQ(pathOf(map, 5), u"C:");
    EXPECT_TRUE(map.Rename(10, u"Renamed", 5));
    EXPECT_EQ(pathOf(map, 11), u"C:\\Renamed\\Sub");
    EXPECT_FALSE(map.Rename(99, u"x", 5));
    map.Remove(10);
    EXPECT_EQ(map.names.size(), 4u);  // slots are not reused
    EXPECT_TRUE(map.names[1].empty());
    EXPECT_EQ(pathOf(map, 11), u"<none>");
    EXPECT_EQ(pathOf(map, 10), u"<none>");
    map.Clear();
    EXPECT_TRUE(map.index.empty());
}

TEST(DirectoryPathMap, LoopingParentsEndTheWalk) {
    DirectoryPathMap map;
    map.Add(1, u"a", 2);
    map.Add(2, u"b", 1);
    EXPECT_EQ(pathOf(map, 1), u"<none>");
}

TEST(BackupFile, RoundTripInTheDocumentedLayout) {
    const DirectoryPathMap map = sampleMap();
    const BackupHeader header{u'C', 0x1122334455667788ull, 0x2000};
    const std::string bytes = encodeBackup(header, map);
    // Header: letter, journal id, start USN, little-endian.
    EXPECT_EQ(bytes.substr(0, 2), std::string("C\0", 2));
    EXPECT_EQ(static_cast<unsigned char>(bytes[2]), 0x88);
    EXPECT_EQ(bytes.substr(bytes.size() - 8), std::string(8, '\xFF'));
    decoders::VolumeBackup decoded;
    ASSERT_FALSE(decoders::decodeVolumeBackup(bytes, decoded));
    EXPECT_TRUE(decoded.terminated);
    EXPECT_EQ(decoded.journalId, 0x1122334455667788ull);
    EXPECT_EQ(decoded.startUsn, 0x2000u);
    EXPECT_EQ(decoded.entries.size(), 4u);
    EXPECT_EQ(decoders::backupPath(decoded, 12).value_or(""), "C:\\Data\\ÄÖ");

    BackupHeader readHeader;
    DirectoryPathMap readMap;
    ASSERT_TRUE(decodeBackup(bytes, &readHeader, &readMap));
    EXPECT_EQ(readHeader.drive, u'C');
    EXPECT_EQ(readHeader.startUsn, 0x2000);
    EXPECT_EQ(pathOf(readMap, 12), u"C:\\Data\\ÄÖ");
}

TEST(BackupFile, EveryTruncationIsRefused) {
    const std::string bytes = encodeBackup({u'D', 7, 9}, sampleMap());
    for (std::size_t size = 0; size < bytes.size(); ++size) {
        BackupHeader header;
        DirectoryPathMap map;
        EXPECT_FALSE(decodeBackup(std::string_view(bytes).substr(0, size), &header, &map)) << size;
    }
    // A name length far beyond the file.
    std::string huge = encodeBackup({u'D', 7, 9}, DirectoryPathMap{});
    huge.resize(18);
    huge += std::string("\x01\0\0\0\0\0\0\0\x02\0\0\0\0\0\0\0\xff\xff\xff\x7f", 20);
    BackupHeader header;
    DirectoryPathMap map;
    EXPECT_FALSE(decodeBackup(huge, &header, &map));
}

TEST(BackupFile, WrittenWholeOrNotAtAll) {
    const auto dir = std::filesystem::temp_directory_path() / "ambrik-backup-file-test";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "Volume-C.db").string();
    ASSERT_TRUE(writeBackupFile(path, {u'C', 1, 2}, sampleMap()));
    BackupHeader header;
    DirectoryPathMap map;
    ASSERT_TRUE(readBackupFile(path, &header, &map));
    EXPECT_EQ(map.index.size(), 4u);
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    EXPECT_FALSE(writeBackupFile((dir / "missing" / "Volume-C.db").string(), {u'C', 1, 2}, map));
    EXPECT_FALSE(readBackupFile((dir / "none.db").string(), &header, &map));
    std::filesystem::remove_all(dir);
}

}  // namespace
