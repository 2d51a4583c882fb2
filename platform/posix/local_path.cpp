// Drive C is the root of the file system; other drives are not mapped.
//
// Windows names are case-insensitive and the agent keeps many paths in lower
// case (the monitored locations, the items of the change journal), so a path
// that does not exist as written is looked up component by component: an
// exact name wins, else the one entry that matches it without regard to ASCII
// case.
#include "platform/posix/local_path.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>

namespace platform::posix {

namespace {

bool sameIgnoringCase(const char* a, const std::string& b) {
    std::size_t i = 0;
    for (; a[i] && i < b.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return a[i] == '\0' && i == b.size();
}

// The entry of `directory` named `name` without regard to case; "" when none
// or more than one match.
std::string matchIgnoringCase(const std::string& directory, const std::string& name) {
    DIR* dir = opendir(directory.c_str());
    if (!dir) return std::string();
    std::string found;
    int matches = 0;
    while (const struct dirent* e = readdir(dir)) {
        if (sameIgnoringCase(e->d_name, name)) {
            found = e->d_name;
            ++matches;
        }
    }
    closedir(dir);
    return matches == 1 ? found : std::string();
}

std::string resolveCase(const std::string& local) {
    struct stat st {};
    if (lstat(local.c_str(), &st) == 0 || local == "/") return local;
    std::string resolved;
    std::size_t at = 1;
    while (at <= local.size()) {
        std::size_t end = local.find('/', at);
        if (end == std::string::npos) end = local.size();
        const std::string name = local.substr(at, end - at);
        at = end + 1;
        if (name.empty()) continue;
        const std::string parent = resolved.empty() ? "/" : resolved;
        std::string candidate = resolved + "/" + name;
        if (lstat(candidate.c_str(), &st) != 0) {
            const std::string match = matchIgnoringCase(parent, name);
            if (match.empty()) return local;  // missing: the caller reports it
            candidate = resolved + "/" + match;
        }
        resolved = candidate;
    }
    return resolved.empty() ? local : resolved;
}

}  // namespace

std::string localPathOf(const std::string& windowsPath) {
    if (windowsPath.size() < 3 || windowsPath[1] != ':' ||
        (windowsPath[2] != '\\' && windowsPath[2] != '/') ||
        std::tolower(static_cast<unsigned char>(windowsPath[0])) != 'c')
        return std::string();
    if (windowsPath.find('\0') != std::string::npos) return std::string();
    std::string local = windowsPath.substr(2);
    for (char& c : local)
        if (c == '\\') c = '/';
    while (local.size() > 1 && local.back() == '/') local.pop_back();
    return resolveCase(local);
}

}  // namespace platform::posix
