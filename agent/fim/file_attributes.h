// File and directory attributes for the integrity data sets: the WMI
// properties of an item, its owner account, its DACL as text, MD5 and SHA-1 of
// its content, and for directories the files, folders and bytes below them.
//
// Every source fails on its own: a failure leaves its field empty (or holds
// the error text the field is given) and the record is still produced. On
// the file worker the stop ends a collection before its next item or read
// block by throwing FileWorkStopped (file_worker.h).
#pragma once

#include <cstdint>
#include <string>

// One file or folder. Texts are UTF-8; paths are Windows paths.
struct FileAttributeRecord {
    std::string path;
    std::string parentPath;
    std::string version;
    std::string vendor;
    std::string createdTime;
    std::string modifiedTime;
    std::string lastAccessTime;
    std::string encrypted;
    std::string hidden;
    std::string compressed;
    std::string system;
    std::string status;
    std::string owner;
    std::string dacl;
    std::string md5;
    std::string sha1;
    std::string error;
    std::int64_t LOC_ID = 0;
    std::int64_t TEMPL_ID = 0;
    std::int64_t size = 0;
    std::int32_t fileCount = 0;
    std::int32_t folderCount = 0;
    std::uint8_t isFile = 1;
};

// One item of a tree view: parent ".null" for a monitored location itself.
struct TreeViewEntry {
    std::string path;
    std::string parentPath;
    std::uint8_t isFile = 1;
    std::uint8_t hasChild = 0;
    std::int64_t LOC_ID = 0;
    std::int64_t TEMPL_ID = 0;
};

inline constexpr const char* kTreeViewRootParent = ".null";

// Walk modes: which data set the items below a directory go to.
inline constexpr int kWalkModeBase = 0;
inline constexpr int kWalkModePeriodic = 2;
inline constexpr int kWalkModeNew = 3;

// The checksum switch: turned on by the monitor configuration when a location
// asks for checksums, never turned off.
void setChecksumSwitch();
bool checksumSwitch();
// Tests only.
void resetChecksumSwitch();

// Database escaping: for database flags 0 and 2 every backslash is doubled;
// for flag 1 the text stays as it is.
std::string escapeForDatabase(const std::string& text);

// Fills version to status, owner, dacl and, with the checksum switch on, md5
// and sha1 of a file (record.path set, isFile 1).
void collectFileAttributes(FileAttributeRecord& record);
// Walks a directory (record.path set, isFile 0) in the given mode, handing
// every item below to the active data set, then fills the directory's own
// WMI fields, owner and dacl. 0 (with the error text) when it cannot be listed.
int collectDirectoryAttributes(FileAttributeRecord& record, int mode, std::int64_t locId, std::int64_t templId);

// The counts of a walk: files, folders and bytes below a directory.
struct DirStats {
    std::int64_t size = 0;
    std::int32_t fileCount = 0;
    std::int32_t folderCount = 0;
};
// The walk: `path` ends in "\\"; nested 0 clears the stats first.
int getDirStats(const std::string& path, DirStats& stats, int nested, int mode, std::int64_t locId,
                std::int64_t templId);
// Counts only; `path` without the trailing "\\".
int getFileAndFolderCount(const std::string& path, DirStats& stats, int nested);

void queryWmiAttributes(FileAttributeRecord& record);
void FileOwnerInfo(FileAttributeRecord& record);
void GetDACLInfo(FileAttributeRecord& record);
// Both digests from one read of the file; a file that cannot be read gets the
// "Cannot read file" message in md5 and in sha1.
void computeChecksums(FileAttributeRecord& record);
void computeMd5(FileAttributeRecord& record);
void computeSha1(FileAttributeRecord& record);

// Logs a record's fields (debugging).
void logFileAttributes(const FileAttributeRecord& record);
