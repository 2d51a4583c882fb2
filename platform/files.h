// Files by their Windows paths ("c:\\data\\a.txt"): directory enumeration as
// FindFirstFileW and FindNextFileW give it, and opening a file for binary
// reading as _wfopen with "rb" does.
//
// Windows backend: the calls themselves. POSIX backend: the path goes
// through the drive map; "." and ".." are listed as on Windows; names
// Windows cannot hold (a control character, a backslash, bytes that are not
// UTF-8) are left out of listings; a symbolic
// link is listed as itself, a file of 0 bytes (never as a directory, so a
// walk never follows a link into a cycle), and is never opened: reading it
// fails as reading a reparse point does. Files are opened non-blocking and
// only when they are regular files, so a FIFO or a device never holds a
// reader up.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace platform {

// One entry of a directory listing (the WIN32_FIND_DATAW fields in use).
struct FindData {
    std::string name;  // UTF-8
    bool directory = false;
    std::uint64_t size = 0;  // nFileSizeHigh:nFileSizeLow
};

class FindHandle {
public:
    virtual ~FindHandle() = default;
};
using FindHandlePtr = std::unique_ptr<FindHandle>;

// FindFirstFileW on a pattern "dir\\*". Null (and the Windows error in
// *error when given) when the directory cannot be listed.
FindHandlePtr findFirstFile(const std::string& pattern, FindData& first, std::uint32_t* error = nullptr);
// FindNextFileW: false at the end of the listing or on an error.
bool findNextFile(FindHandle& handle, FindData& next);

// Opens a file for binary reading; null on failure.
struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f) std::fclose(f);
    }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;
FilePtr openFileForReading(const std::string& path);

// The creation and last write times (FILETIME, UTC) of a file or folder,
// the item itself and not what a link names. false when it cannot be read
// (gone, no access); a creation time of 0 means the file system keeps none.
struct FileTimes {
    std::int64_t creation = 0;
    std::int64_t lastWrite = 0;
};
bool getFileTimes(const std::string& path, FileTimes* times);

// The file-system redirection of a 32-bit process on 64-bit Windows, whose
// switches are looked up by name at run time. Elsewhere (and in a 64-bit
// process) there is nothing to switch: isWow64Process is false and the
// switches succeed without changing anything.
bool isWow64Process();
bool disableFsRedirection();
bool revertFsRedirection();

}  // namespace platform
