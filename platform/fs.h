// The agent's own files and folders by the paths of the machine it runs on
// (relative ones against the current directory): folders, file status,
// listings, removing, renaming and copying, the current directory, and the
// size of an open file. Paths are UTF-8 everywhere; on Windows they go to the
// wide calls, never through the ANSI code page. Windows paths of monitored
// hosts go through files.h instead.
//
// Results are Windows codes: 0 success, 2 file not found, 3 path not found,
// 5 access denied, 267 not a folder; other POSIX errors give 31.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace platform {

// The separator of the paths this backend builds ("\\" on Windows, "/" on
// POSIX). Both backends also accept "/".
#if defined(_WIN32)
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

struct FileStatus {
    bool directory = false;
    bool regular = false;  // a plain file (not a folder, device, pipe or link)
    std::uint64_t size = 0;
    std::int64_t modifiedSeconds = 0;  // since 1970 UTC
};

// Status of the path, following links. 0 and *status, or the error.
long fileStatus(const std::string& path, FileStatus* status);

// Creates one folder (its parent must exist); POSIX mode 0775 before the
// process's umask. A folder that is already there is success; anything else
// of that name gives 183 (already exists).
long makeDirectory(const std::string& path);

// Creates the folder and its missing parents (as makeDirectory does).
long makeDirectories(const std::string& path);

// One entry of a folder listing. A symbolic link (a reparse point on
// Windows) is neither a folder nor a regular file, whatever it points to.
struct DirectoryEntry {
    std::string name;  // UTF-8
    bool directory = false;
    bool regular = false;
    std::uint64_t size = 0;  // of a regular file
};

// The entries of a folder except "." and "..", in the order the system
// lists them. 0 and *entries, or the error (3 for a missing folder, 267
// for a file).
long listDirectory(const std::string& path, std::vector<DirectoryEntry>* entries);

// Removes a file (or a link itself); a missing one gives 2.
long removeFile(const std::string& path);
// Removes an empty folder; one that still holds entries gives 145 (not
// empty) and stays.
long removeDirectory(const std::string& path);
// Removes a folder with everything in it (links are removed, never
// followed). A folder that is not there is success.
long removeTree(const std::string& path);
// Renames a file, replacing one of the new name.
long renameFile(const std::string& from, const std::string& to);
// Copies a file, replacing one of the new name.
long copyFile(const std::string& from, const std::string& to);
// Cuts a file back (or extends it with zeros) to a size.
long resizeFile(const std::string& path, std::uint64_t size);

// Reads a whole regular file (opened as openRegularFile does) into *bytes:
// at most maxBytes + 1 of them, so a caller can tell a file over its limit.
// False with errno when the file cannot be opened or read.
bool readFileWhole(const std::string& path, std::string* bytes, std::uint64_t maxBytes = UINT64_MAX - 1);

// folder + name with a separator between them unless folder ends in one
// (or is empty).
std::string joinFolderPath(const std::string& folder, const std::string& name);
// The last part of a path (after the last "/" or "\\").
std::string pathLeaf(const std::string& path);

// The current directory of the process, and changing it.
long currentDirectory(std::string* path);
long setCurrentDirectory(const std::string& path);

// Size of an open file, and cutting it back to a size (for undoing a
// failed append). The stream must be flushed or unbuffered.
long openFileSize(std::FILE* file, std::uint64_t* size);
long truncateOpenFile(std::FILE* file, std::uint64_t size);

// A file for reading and writing in binary, in the system's temporary
// folder, for this process alone and removed by the system when it is closed
// or the process ends (POSIX: mode 0600 and unlinked at once; Windows: opened
// without sharing and deleted on close): for a server answer too large to
// hold in memory. Null (with the error in *error when given) when none can
// be made.
std::FILE* openTemporaryFile(long* error = nullptr);

}  // namespace platform
