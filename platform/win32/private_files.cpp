// The agent's private files on Windows: the install directory's inherited
// DACL keeps others out, so these refuse reparse points (links and
// junctions) and otherwise do what the plain calls do. Paths are UTF-8.
#include "platform/private_files.h"

#include "platform/win32/win32_util.h"
// after windows.h
#include <fcntl.h>
#include <io.h>
#include <sddl.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace platform {

namespace {

using win32::widen;

DWORD attributesOf(const std::string& path) { return GetFileAttributesW(widen(path).c_str()); }

bool isReparsePoint(const std::string& path) {
    const DWORD attributes = attributesOf(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

std::string errorText(const char* what, DWORD error) { return std::string(what) + " (" + std::to_string(error) + ")"; }

}  // namespace

void restrictNewFiles() {}

long makeReadableByAll(const std::string&) { return 0; }

bool makePrivateDirectory(const std::string& path) {
    if (isReparsePoint(path)) {
        errno = ELOOP;
        return false;
    }
    std::error_code ec;
    const std::filesystem::path folder(widen(path));
    std::filesystem::create_directories(folder, ec);
    return std::filesystem::is_directory(folder, ec);
}

bool makePrivateFile(const std::string& path) {
    if (!isReparsePoint(path)) return true;
    errno = ELOOP;
    return false;
}

std::FILE* openRegularFile(const std::string& path, const char* mode) {
    if (isReparsePoint(path)) {
        errno = ELOOP;
        return nullptr;
    }
    return _wfopen(widen(path).c_str(), widen(mode ? mode : "").c_str());
}

bool isRegularFileNoFollow(const std::string& path) {
    const DWORD attributes = attributesOf(path);
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) == 0;
}

bool prepareProgramFolder(const std::string& folder, std::string* problem) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)",
                                                              SDDL_REVISION_1, &descriptor, nullptr)) {
        if (problem) *problem = errorText("cannot get its security descriptor", GetLastError());
        return false;
    }
    const std::wstring wide = widen(folder);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    bool ok = CreateDirectoryW(wide.c_str(), &attributes) != 0;
    if (!ok && GetLastError() == ERROR_ALREADY_EXISTS) {
        const DWORD kind = GetFileAttributesW(wide.c_str());
        ok = kind != INVALID_FILE_ATTRIBUTES && (kind & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
             (kind & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
             SetFileSecurityW(wide.c_str(), DACL_SECURITY_INFORMATION, descriptor) != 0;
        if (!ok && problem) *problem = errorText("cannot be made private", GetLastError());
    } else if (!ok && problem) {
        *problem = errorText("cannot be created", GetLastError());
    }
    LocalFree(descriptor);
    return ok;
}

std::FILE* createProgramFile(const std::string& path, std::string* problem) {
    const std::wstring wide = widen(path);
    if (!DeleteFileW(wide.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
        if (problem) *problem = errorText("the old file cannot be removed", GetLastError());
        return nullptr;
    }
    // CREATE_NEW fails on anything of that name, a link included.
    HANDLE h = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        if (problem) *problem = errorText("cannot be created", GetLastError());
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        if (problem) *problem = "no file descriptor";
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, "wb");
    if (!file) {
        _close(fd);
        if (problem) *problem = "no stream";
    }
    return file;
}

namespace {

bool identityOf(HANDLE h, ProgramFileId* id) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info)) return false;
    if (id) {
        id->volume = info.dwVolumeSerialNumber;
        id->file = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    }
    return (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

}  // namespace

bool sealProgramFile(std::FILE* file, ProgramFileId* id) {
    if (!file || std::fflush(file) != 0) return false;
    const intptr_t os = _get_osfhandle(_fileno(file));
    return os != -1 && identityOf(reinterpret_cast<HANDLE>(os), id);
}

bool isSameProgramFile(const std::string& path, const ProgramFileId& id) {
    win32::UniqueHandle h(CreateFileW(widen(path).c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    ProgramFileId now;
    return h && identityOf(h.get(), &now) && now.volume == id.volume && now.file == id.file;
}

}  // namespace platform
