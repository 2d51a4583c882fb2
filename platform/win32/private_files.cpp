#include "platform/private_files.h"

#include <windows.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace platform {

namespace {

bool isReparsePoint(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace

void restrictNewFiles() {}

bool makePrivateDirectory(const std::string& path) {
    if (isReparsePoint(path)) {
        errno = ELOOP;
        return false;
    }
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    return std::filesystem::is_directory(path, ec);
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
    return std::fopen(path.c_str(), mode);
}

bool isRegularFileNoFollow(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) == 0;
}

}  // namespace platform
