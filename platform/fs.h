// The agent's own files and folders by the paths of the machine it runs on
// (relative ones against the current directory): folders, file status, the
// current directory, and the size of an open file. Windows paths of
// monitored hosts go through files.h instead.
//
// Results are Windows codes: 0 success, 2 file not found, 3 path not found,
// 5 access denied, 267 not a folder; other POSIX errors give 31.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

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
