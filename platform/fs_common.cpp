// The parts of the file service that build on the backend's calls: folders
// with their parents, whole trees, whole files and path texts.
#include <cerrno>
#include <cstdio>

#include "platform/errors.h"
#include "platform/fs.h"
#include "platform/private_files.h"

namespace platform {

namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

long codeOfErrno(int err) {
    switch (err) {
        case ENOENT: return kErrorFileNotFound;
        case ENOTDIR: return kErrorPathNotFound;
        case EACCES:
        case EPERM: return kErrorAccessDenied;
        default: return kErrorInvalidParameter;
    }
}

}  // namespace

std::string joinFolderPath(const std::string& folder, const std::string& name) {
    if (folder.empty() || isSeparator(folder.back())) return folder + name;
    return folder + kPathSeparator + name;
}

std::string pathLeaf(const std::string& path) {
    const std::size_t at = path.find_last_of("/\\");
    return at == std::string::npos ? path : path.substr(at + 1);
}

long makeDirectories(const std::string& path) {
    const long made = makeDirectory(path);
    if (made != kErrorPathNotFound) return made;
    std::string parent = path;
    while (!parent.empty() && isSeparator(parent.back())) parent.pop_back();
    const std::size_t at = parent.find_last_of("/\\");
    if (at == std::string::npos || at == 0) return made;
    parent.resize(at);
    // "c:" is a drive, not a folder to make.
    if (parent.size() == 2 && parent[1] == ':') return made;
    const long above = makeDirectories(parent);
    return above == kErrorSuccess ? makeDirectory(path) : above;
}

long removeTree(const std::string& path) {
    std::vector<DirectoryEntry> entries;
    const long listed = listDirectory(path, &entries);
    if (listed != kErrorSuccess) {
        FileStatus status;
        const long found = fileStatus(path, &status);
        if (found == kErrorFileNotFound || found == kErrorPathNotFound) return kErrorSuccess;
        return found == kErrorSuccess && !status.directory ? removeFile(path) : listed;
    }
    long first = kErrorSuccess;
    for (const DirectoryEntry& entry : entries) {
        const std::string child = joinFolderPath(path, entry.name);
        long removed = entry.directory ? removeTree(child) : removeFile(child);
        // A link to a folder is, on Windows, removed as a folder.
        if (removed != kErrorSuccess && !entry.directory && !entry.regular) removed = removeDirectory(child);
        if (first == kErrorSuccess) first = removed;
    }
    const long last = removeDirectory(path);
    return first != kErrorSuccess ? first : last;
}

long resizeFile(const std::string& path, std::uint64_t size) {
    std::FILE* file = openRegularFile(path, "r+");
    if (!file) return codeOfErrno(errno);
    const long cut = truncateOpenFile(file, size);
    const bool closed = std::fclose(file) == 0;
    return cut != kErrorSuccess ? cut : (closed ? kErrorSuccess : kErrorAccessDenied);
}

bool readFileWhole(const std::string& path, std::string* bytes, std::uint64_t maxBytes) {
    std::FILE* file = openRegularFile(path, "rb");
    if (!file) return false;
    std::string content;
    char buffer[64 * 1024];
    const std::uint64_t limit = maxBytes + 1;
    while (content.size() < limit) {
        const std::uint64_t room = limit - content.size();
        const std::size_t want = room < sizeof buffer ? static_cast<std::size_t>(room) : sizeof buffer;
        const std::size_t got = std::fread(buffer, 1, want, file);
        content.append(buffer, got);
        if (got < want) break;
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        errno = EIO;
        return false;
    }
    if (bytes) *bytes = std::move(content);
    return true;
}

}  // namespace platform
