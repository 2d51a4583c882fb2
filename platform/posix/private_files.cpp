#include "platform/private_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace platform {

void restrictNewFiles() { ::umask(077); }

namespace {

// One folder level: made 0700, or an existing real folder of ours set to 0700.
bool makeOneFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) == 0) return true;
    if (errno != EEXIST) return false;
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return false;
    if (S_ISLNK(info.st_mode)) {
        errno = ELOOP;
        return false;
    }
    if (!S_ISDIR(info.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    if (info.st_uid == ::geteuid() && (info.st_mode & 07777) != 0700) return ::chmod(path.c_str(), 0700) == 0;
    return true;
}

}  // namespace

bool makePrivateDirectory(const std::string& path) {
    if (path.empty()) {
        errno = ENOENT;
        return false;
    }
    // Missing parents are made private too; parents that exist are left as
    // they are (the install directory may be shared, or reached through a
    // link the administrator made).
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        if (path[slash - 1] == '/') continue;
        const std::string part = path.substr(0, slash);
        struct stat info {};
        if (::stat(part.c_str(), &info) == 0) continue;
        if (!makeOneFolder(part)) return false;
    }
    std::string last = path;
    while (last.size() > 1 && last.back() == '/') last.pop_back();
    return makeOneFolder(last);
}

bool makePrivateFile(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return errno == ENOENT;
    if (!S_ISREG(info.st_mode)) {
        errno = S_ISLNK(info.st_mode) ? ELOOP : EINVAL;
        return false;
    }
    if (info.st_uid != ::geteuid() || (info.st_mode & 07777) == 0600) return true;
    return ::chmod(path.c_str(), 0600) == 0;
}

std::FILE* openRegularFile(const std::string& path, const char* mode) {
    const std::string m = mode ? mode : "";
    int flags = 0;
    if (m == "r" || m == "rb") flags = O_RDONLY;
    else if (m == "r+" || m == "rb+" || m == "r+b") flags = O_RDWR;
    else if (m == "w" || m == "wb") flags = O_WRONLY | O_CREAT | O_TRUNC;
    else if (m == "a" || m == "ab") flags = O_WRONLY | O_CREAT | O_APPEND;
    else if (m == "a+" || m == "ab+" || m == "a+b") flags = O_RDWR | O_CREAT | O_APPEND;
    else {
        errno = EINVAL;
        return nullptr;
    }
    // O_NONBLOCK keeps a FIFO from blocking the open; it is checked and
    // refused right after, and taken off for a regular file.
    const int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) return nullptr;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return nullptr;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::FILE* file = ::fdopen(fd, m.c_str());
    if (!file) ::close(fd);
    return file;
}

long makeReadableByAll(const std::string& path) {
    return ::chmod(path.c_str(), 0644) == 0 ? 0 : errno;
}

bool isRegularFileNoFollow(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool prepareProgramFolder(const std::string& folder, std::string* problem) {
    auto fail = [&](const std::string& why) {
        if (problem) *problem = why;
        return false;
    };
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return fail(std::string("cannot be created: ") + std::strerror(errno));
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() ||
        (info.st_mode & 077) != 0) {
        char text[96];
        std::snprintf(text, sizeof text, "is not a private folder of this user (owner %ld, mode %03o)",
                      static_cast<long>(info.st_uid), static_cast<unsigned>(info.st_mode & 07777));
        return fail(text);
    }
    const std::string parent = std::filesystem::path(folder).parent_path().string();
    struct stat above {};
    if (::stat(parent.empty() ? "." : parent.c_str(), &above) != 0 || (above.st_mode & 022) != 0 ||
        (above.st_uid != ::geteuid() && above.st_uid != 0))
        return fail("lies in a folder that others may write");
    return true;
}

std::FILE* createProgramFile(const std::string& path, std::string* problem) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        if (problem) *problem = std::string("the old file cannot be removed: ") + std::strerror(errno);
        return nullptr;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (problem) *problem = std::strerror(errno);
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd, "wb");
    if (!file) {
        if (problem) *problem = std::strerror(errno);
        ::close(fd);
    }
    return file;
}

bool sealProgramFile(std::FILE* file, ProgramFileId* id) {
    struct stat info {};
    if (!file || ::fchmod(::fileno(file), 0700) != 0 || ::fstat(::fileno(file), &info) != 0) return false;
    if (id) *id = {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
    return true;
}

bool isSameProgramFile(const std::string& path, const ProgramFileId& id) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() &&
           static_cast<std::uint64_t>(info.st_dev) == id.volume &&
           static_cast<std::uint64_t>(info.st_ino) == id.file && (info.st_mode & 07777) == 0700;
}

}  // namespace platform
