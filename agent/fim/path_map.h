// The directories of one volume by file reference number, from which the
// full path of a change is rebuilt, and the volume's back-up file that keeps
// them (with the journal read position) across restarts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// Directories only. Slots are never reused: a removed directory leaves an
// empty name behind.
struct DirectoryPathMap {
    std::vector<std::u16string> names;
    std::vector<std::uint64_t> parents;
    std::unordered_map<std::uint64_t, std::size_t> index;

    // false (nothing changes) when the reference is already known.
    bool Add(std::uint64_t reference, std::u16string name, std::uint64_t parent);
    // false when the reference is unknown.
    bool Rename(std::uint64_t reference, std::u16string name, std::uint64_t parent);
    void Remove(std::uint64_t reference);
    void Clear();
};

// The path of a directory reference ("C:\\dir\\sub"): false when a
// reference on the way is unknown, or the parents loop.
bool reconstructPath(const DirectoryPathMap& map, std::uint64_t reference, std::u16string* path);

// The back-up file: drive letter (UTF-16 unit), journal id, start USN, one
// entry per directory (reference, parent, name length in units, UTF-16LE
// name), then the terminator 0xFFFFFFFFFFFFFFFF; little-endian throughout.
struct BackupHeader {
    char16_t drive = 0;
    std::uint64_t journalId = 0;
    std::int64_t startUsn = 0;
};
std::string encodeBackup(const BackupHeader& header, const DirectoryPathMap& map);
// false when the bytes end before the terminator or an entry is cut short;
// the entries read so far are in map either way.
bool decodeBackup(std::string_view bytes, BackupHeader* header, DirectoryPathMap* map);

// Writes the file whole or not at all: the bytes go to a scratch file that
// replaces the back-up only once completely written.
bool writeBackupFile(const std::string& path, const BackupHeader& header, const DirectoryPathMap& map);
bool readBackupFile(const std::string& path, BackupHeader* header, DirectoryPathMap* map);
// Writes bytes to path.tmp and renames it over path, so a crash leaves the
// old file or the new one, never half of one.
bool writeFileWhole(const std::string& path, const std::string& bytes);
