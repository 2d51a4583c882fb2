// Directory listings and file reads of Windows paths on a POSIX system.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/files.h"
#include "platform/journal.h"
#include "platform/posix/local_path.h"
#include "platform/posix/windows_names.h"

namespace platform {

namespace {

constexpr std::uint32_t kFileNotFound = 2;
constexpr std::uint32_t kPathNotFound = 3;
constexpr std::uint32_t kAccessDenied = 5;
constexpr std::uint32_t kDirectory = 267;  // ERROR_DIRECTORY: not a directory name

class DirFindHandle : public FindHandle {
public:
    explicit DirFindHandle(DIR* dir) : dir_(dir) {}
    ~DirFindHandle() override { closedir(dir_); }
    DirFindHandle(const DirFindHandle&) = delete;
    DirFindHandle& operator=(const DirFindHandle&) = delete;

    bool next(FindData& out) {
        errno = 0;
        const struct dirent* e = readdir(dir_);
        while (e && !posix::windowsCanHoldName(e->d_name)) e = readdir(dir_);
        if (!e) return false;
        out = FindData{};
        out.name = e->d_name;
        struct stat st {};
        if (fstatat(dirfd(dir_), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return true;  // vanished: a file of 0 bytes
        if (S_ISDIR(st.st_mode)) {
            out.directory = true;
        } else if (S_ISREG(st.st_mode)) {
            out.size = static_cast<std::uint64_t>(st.st_size);
        }
        // A symbolic link is listed as itself: a file of 0 bytes, never the
        // size of what it points to.
        return true;
    }

private:
    DIR* dir_;
};

}  // namespace

FindHandlePtr findFirstFile(const std::string& pattern, FindData& first, std::uint32_t* error) {
    auto fail = [&](std::uint32_t code) {
        if (error) *error = code;
        return FindHandlePtr();
    };
    // Only the "every entry" pattern is used: "dir\\*".
    if (pattern.size() < 2 || pattern.compare(pattern.size() - 2, 2, "\\*") != 0) return fail(kPathNotFound);
    const std::string local = posix::localPathOf(pattern.substr(0, pattern.size() - 1));
    if (local.empty()) return fail(kPathNotFound);
    const int fd = ::open(local.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return fail(errno == ENOENT ? kPathNotFound : errno == ENOTDIR ? kDirectory
                    : errno == EACCES || errno == EPERM ? kAccessDenied : kFileNotFound);
    DIR* dir = fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return fail(kFileNotFound);
    }
    auto handle = std::make_unique<DirFindHandle>(dir);
    if (!handle->next(first)) return fail(kFileNotFound);
    if (error) *error = 0;
    return handle;
}

bool findNextFile(FindHandle& handle, FindData& next) {
    auto* h = dynamic_cast<DirFindHandle*>(&handle);
    return h && h->next(next);
}

FilePtr openFileForReading(const std::string& path) {
    const std::string local = posix::localPathOf(path);
    if (local.empty()) return nullptr;
    // A symbolic link is never read through (O_NOFOLLOW fails on it), so a
    // link in a watched folder cannot hand out what it points to.
    const int fd = ::open(local.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    // Reads of a regular file never block; the flag only kept the open from waiting.
    std::FILE* f = fdopen(fd, "rb");
    if (!f) ::close(fd);
    return FilePtr(f);
}

bool getFileTimes(const std::string& path, FileTimes* times) {
    const std::string local = posix::localPathOf(path);
    if (local.empty()) return false;
    struct statx st {};
    if (statx(AT_FDCWD, local.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME | STATX_MTIME, &st) != 0) return false;
    times->creation = (st.stx_mask & STATX_BTIME) != 0 ? fileTimeFromUnix(st.stx_btime.tv_sec, st.stx_btime.tv_nsec) : 0;
    times->lastWrite = fileTimeFromUnix(st.stx_mtime.tv_sec, st.stx_mtime.tv_nsec);
    return true;
}

bool isWow64Process() { return false; }
bool disableFsRedirection() { return true; }
bool revertFsRedirection() { return true; }

}  // namespace platform
