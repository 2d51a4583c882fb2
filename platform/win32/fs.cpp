// Folders, file status and the current directory on Windows (wide calls,
// UTF-8 paths).
#include "platform/fs.h"

#include "platform/win32/win32_util.h"
// after windows.h
#include <fcntl.h>
#include <io.h>

#include "platform/errors.h"

namespace platform {

namespace {

using win32::widen;

constexpr std::int64_t kTicksPerSecond = 10000000;
constexpr std::int64_t kEpochDifferenceSeconds = 11644473600;  // 1601 to 1970

HANDLE osHandleOf(std::FILE* file) { return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))); }

}  // namespace

long fileStatus(const std::string& path, FileStatus* status) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(widen(path).c_str(), GetFileExInfoStandard, &data))
        return static_cast<long>(GetLastError());
    if (status) {
        status->directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        status->regular = (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
        status->size = status->regular
                           ? (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow
                           : 0;
        const std::int64_t ticks = (static_cast<std::int64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                                   data.ftLastWriteTime.dwLowDateTime;
        status->modifiedSeconds = ticks / kTicksPerSecond - kEpochDifferenceSeconds;
    }
    return kErrorSuccess;
}

long makeDirectory(const std::string& path) {
    const std::wstring wide = widen(path);
    if (CreateDirectoryW(wide.c_str(), nullptr)) return kErrorSuccess;
    const DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS) {
        const DWORD kind = GetFileAttributesW(wide.c_str());
        if (kind != INVALID_FILE_ATTRIBUTES && (kind & FILE_ATTRIBUTE_DIRECTORY) != 0) return kErrorSuccess;
    }
    return static_cast<long>(error);
}

long listDirectory(const std::string& path, std::vector<DirectoryEntry>* entries) {
    const std::string folder = path.empty() ? std::string(".") : path;
    const std::wstring pattern = widen(joinFolderPath(folder, "*"));
    WIN32_FIND_DATAW data{};
    HANDLE h = FindFirstFileW(pattern.c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        const DWORD kind = GetFileAttributesW(widen(folder).c_str());
        if (kind != INVALID_FILE_ATTRIBUTES && (kind & FILE_ATTRIBUTE_DIRECTORY) == 0) return 267;
        if (error == ERROR_FILE_NOT_FOUND && kind != INVALID_FILE_ATTRIBUTES) {
            if (entries) entries->clear();  // a drive's root with nothing in it
            return kErrorSuccess;
        }
        return static_cast<long>(error);
    }
    std::vector<DirectoryEntry> found;
    do {
        DirectoryEntry one;
        one.name = win32::narrow(data.cFileName);
        if (one.name == "." || one.name == "..") continue;
        const bool link = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        one.directory = !link && (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        one.regular = !link && (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
        one.size = one.regular ? (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow : 0;
        found.push_back(std::move(one));
    } while (FindNextFileW(h, &data));
    const DWORD error = GetLastError();
    FindClose(h);
    if (error != ERROR_NO_MORE_FILES) return static_cast<long>(error);
    if (entries) *entries = std::move(found);
    return kErrorSuccess;
}

long removeFile(const std::string& path) {
    if (DeleteFileW(widen(path).c_str())) return kErrorSuccess;
    return static_cast<long>(GetLastError());
}

long removeDirectory(const std::string& path) {
    if (RemoveDirectoryW(widen(path).c_str())) return kErrorSuccess;
    return static_cast<long>(GetLastError());
}

long renameFile(const std::string& from, const std::string& to) {
    if (MoveFileExW(widen(from).c_str(), widen(to).c_str(), MOVEFILE_REPLACE_EXISTING)) return kErrorSuccess;
    return static_cast<long>(GetLastError());
}

long copyFile(const std::string& from, const std::string& to) {
    if (CopyFileW(widen(from).c_str(), widen(to).c_str(), FALSE)) return kErrorSuccess;
    return static_cast<long>(GetLastError());
}

long currentDirectory(std::string* path) {
    const DWORD needed = GetCurrentDirectoryW(0, nullptr);
    if (needed == 0) return static_cast<long>(GetLastError());
    std::wstring buffer(needed, L'\0');
    const DWORD got = GetCurrentDirectoryW(needed, buffer.data());
    if (got == 0 || got >= needed) return static_cast<long>(got == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER);
    if (path) *path = win32::narrow(buffer.data(), got);
    return kErrorSuccess;
}

long setCurrentDirectory(const std::string& path) {
    if (SetCurrentDirectoryW(widen(path).c_str())) return kErrorSuccess;
    return static_cast<long>(GetLastError());
}

long openFileSize(std::FILE* file, std::uint64_t* size) {
    if (!file) return kErrorInvalidHandle;
    LARGE_INTEGER value{};
    if (!GetFileSizeEx(osHandleOf(file), &value)) return static_cast<long>(GetLastError());
    if (size) *size = static_cast<std::uint64_t>(value.QuadPart);
    return kErrorSuccess;
}

long truncateOpenFile(std::FILE* file, std::uint64_t size) {
    if (!file) return kErrorInvalidHandle;
    // The C runtime's own call keeps its idea of the file position and size.
    const errno_t rc = _chsize_s(_fileno(file), static_cast<__int64>(size));
    return rc == 0 ? kErrorSuccess : (rc == EACCES ? kErrorAccessDenied : kErrorInvalidParameter);
}

std::FILE* openTemporaryFile(long* error) {
    auto fail = [error](long code) -> std::FILE* {
        if (error) *error = code;
        return nullptr;
    };
    wchar_t folder[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0) return fail(static_cast<long>(GetLastError()));
    if (length > MAX_PATH) return fail(ERROR_BUFFER_OVERFLOW);
    wchar_t name[MAX_PATH] = {};
    if (GetTempFileNameW(folder, L"amb", 0, name) == 0) return fail(static_cast<long>(GetLastError()));
    // GetTempFileNameW made the file; it is opened again, unshared, to be
    // deleted when the handle closes.
    HANDLE handle = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                                FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const long code = static_cast<long>(GetLastError());
        DeleteFileW(name);
        return fail(code);
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDWR | _O_BINARY);
    if (fd == -1) {
        CloseHandle(handle);
        return fail(ERROR_INVALID_HANDLE);
    }
    std::FILE* file = _fdopen(fd, "w+b");
    if (!file) {
        _close(fd);
        return fail(ERROR_INVALID_HANDLE);
    }
    return file;
}

}  // namespace platform
