// Folders, file status and the current directory on POSIX.
#include "platform/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "platform/errors.h"

namespace platform {

namespace {

constexpr long kErrorAlreadyExists = 183;
constexpr long kErrorNotAFolder = 267;
constexpr long kErrorDirNotEmpty = 145;

long codeOf(int err) {
    switch (err) {
        case 0:
            return kErrorSuccess;
        case ENOENT:
            return kErrorFileNotFound;
        case ENOTDIR:
            return kErrorPathNotFound;
        case EACCES:
        case EPERM:
        case EROFS:
            return kErrorAccessDenied;
        case EEXIST:
            return kErrorAlreadyExists;
        case ENOTEMPTY:
            return kErrorDirNotEmpty;
        case EBADF:
            return kErrorInvalidHandle;
        case EINVAL:
            return kErrorInvalidParameter;
        default:
            return 31;  // ERROR_GEN_FAILURE
    }
}

// Windows tells a missing file (2) from a missing folder on the way (3),
// and a file where a folder is wanted (267) from a missing one.
long missingCode(const std::string& path, int err) {
    if (err != ENOENT && err != ENOTDIR) return codeOf(err);
    struct stat info {};
    if (err == ENOTDIR && ::stat(path.c_str(), &info) == 0) return kErrorNotAFolder;
    std::string parent = path;
    while (!parent.empty() && parent.back() == '/') parent.pop_back();
    const std::size_t slash = parent.rfind('/');
    parent = slash == std::string::npos ? "." : (slash == 0 ? "/" : parent.substr(0, slash));
    return ::stat(parent.c_str(), &info) == 0 && S_ISDIR(info.st_mode) ? kErrorFileNotFound : kErrorPathNotFound;
}

}  // namespace

long fileStatus(const std::string& path, FileStatus* status) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return missingCode(path, errno);
    if (status) {
        status->directory = S_ISDIR(info.st_mode);
        status->regular = S_ISREG(info.st_mode);
        status->size = status->regular ? static_cast<std::uint64_t>(info.st_size) : 0;
        status->modifiedSeconds = static_cast<std::int64_t>(info.st_mtime);
    }
    return kErrorSuccess;
}

long makeDirectory(const std::string& path) {
    if (::mkdir(path.c_str(), 0775) == 0) return kErrorSuccess;
    const int err = errno;
    struct stat info {};
    if (err == EEXIST) return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) ? kErrorSuccess
                                                                                         : kErrorAlreadyExists;
    return err == ENOENT || err == ENOTDIR ? kErrorPathNotFound : codeOf(err);
}

long listDirectory(const std::string& path, std::vector<DirectoryEntry>* entries) {
    // The folder itself is never reached through a link.
    const int fd = ::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    // Windows lists "folder\\*": a missing folder is a path not found (3).
    if (fd < 0) return errno == ENOENT ? kErrorPathNotFound : missingCode(path, errno);
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        const int err = errno;
        ::close(fd);
        return codeOf(err);
    }
    std::vector<DirectoryEntry> found;
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        DirectoryEntry one;
        one.name = name;
        struct stat info {};
        if (::fstatat(fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
            one.directory = S_ISDIR(info.st_mode);
            one.regular = S_ISREG(info.st_mode);
            one.size = one.regular ? static_cast<std::uint64_t>(info.st_size) : 0;
        }
        found.push_back(std::move(one));
        errno = 0;
    }
    const int err = errno;
    ::closedir(dir);
    if (err != 0) return codeOf(err);
    if (entries) *entries = std::move(found);
    return kErrorSuccess;
}

long removeFile(const std::string& path) {
    if (::unlink(path.c_str()) == 0) return kErrorSuccess;
    // Windows refuses to delete a folder as a file.
    return errno == EISDIR ? kErrorAccessDenied : missingCode(path, errno);
}

long removeDirectory(const std::string& path) {
    if (::rmdir(path.c_str()) == 0) return kErrorSuccess;
    return errno == EEXIST ? kErrorDirNotEmpty : missingCode(path, errno);
}

long renameFile(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) == 0) return kErrorSuccess;
    return missingCode(from, errno);
}

long copyFile(const std::string& from, const std::string& to) {
    std::error_code ec;
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, ec);
    if (!ec) return kErrorSuccess;
    return ec.category() == std::generic_category() || ec.category() == std::system_category()
               ? missingCode(from, ec.value())
               : kErrorInvalidParameter;
}

long currentDirectory(std::string* path) {
    std::string buffer(256, '\0');
    while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE) return codeOf(errno);
        buffer.resize(buffer.size() * 2);
    }
    if (path) *path = buffer.c_str();
    return kErrorSuccess;
}

long setCurrentDirectory(const std::string& path) {
    if (::chdir(path.c_str()) == 0) return kErrorSuccess;
    return missingCode(path, errno);
}

long openFileSize(std::FILE* file, std::uint64_t* size) {
    if (!file) return kErrorInvalidHandle;
    struct stat info {};
    if (::fstat(::fileno(file), &info) != 0) return codeOf(errno);
    if (size) *size = static_cast<std::uint64_t>(info.st_size);
    return kErrorSuccess;
}

long truncateOpenFile(std::FILE* file, std::uint64_t size) {
    if (!file) return kErrorInvalidHandle;
    if (::ftruncate(::fileno(file), static_cast<off_t>(size)) != 0) return codeOf(errno);
    return kErrorSuccess;
}

std::FILE* openTemporaryFile(long* error) {
    // tmpfile() creates the file 0600 and unlinks it at once: no name that
    // another user could open or replace.
    std::FILE* file = std::tmpfile();
    if (!file && error) *error = codeOf(errno);
    return file;
}

}  // namespace platform
