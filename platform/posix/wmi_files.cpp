// CIM_DataFile and CIM_Directory answered from the local file system.
//
// The Windows path of the query is translated through the drive map of
// platform/volumes.h (by default drive C is the root of the file system, so
// "c:\\data\\a.txt" is /data/a.txt); unmapped drives have no items.
// Times are DMTF texts in the agent's local offset, FileSize is a decimal text
// as WMI gives 64-bit numbers, and the flags come from the mode bits: an item
// whose name starts with a dot is hidden.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>

#include "platform/clock.h"
#include "platform/posix/wmi_internal.h"
#include "platform/volumes.h"

namespace platform::wmi::sim {

namespace {

Variant timeValue(const struct timespec& t) {
    const std::int64_t seconds = t.tv_sec;
    return textValue(formatDmtf(seconds, localUtcOffsetMinutes(seconds),
                                static_cast<int>(t.tv_nsec / 1000)));
}

}  // namespace

ObjectPtr makeFileObject(const std::string& windowsPath, bool isFile) {
    if (windowsPath.size() < 3 || windowsPath[1] != ':' || windowsPath[2] != '\\') return nullptr;
    std::string local;
    if (!localPathOf(windowsPath, &local)) return nullptr;

    struct stat st {};
    if (stat(local.c_str(), &st) != 0) return nullptr;
    if (isFile ? !S_ISREG(st.st_mode) : !S_ISDIR(st.st_mode)) return nullptr;

    // Name, Drive, Path, FileName and Extension as WMI splits a name.
    std::string name = toLower(windowsPath);
    while (name.size() > 3 && name.back() == '\\') name.pop_back();
    const std::size_t slash = name.rfind('\\');
    const std::string leaf = name.substr(slash + 1);
    const std::string parent = name.substr(2, slash - 1);  // "\\dir\\"
    std::string fileName = leaf;
    std::string extension;
    if (isFile) {
        const std::size_t dot = leaf.rfind('.');
        if (dot != std::string::npos && dot > 0) {
            fileName = leaf.substr(0, dot);
            extension = leaf.substr(dot + 1);
        }
    }
    const bool hidden = !leaf.empty() && leaf[0] == '.';
    const bool writeable = access(local.c_str(), W_OK) == 0;

    std::vector<std::pair<std::string, Variant>> p;
    p.reserve(20);
    p.emplace_back("Name", textValue(name));
    p.emplace_back("Caption", textValue(name));
    p.emplace_back("Drive", textValue(name.substr(0, 2)));
    p.emplace_back("Path", textValue(parent));
    p.emplace_back("FileName", textValue(fileName));
    p.emplace_back("Extension", textValue(extension));
    p.emplace_back("CreationDate", timeValue(st.st_ctim));
    p.emplace_back("LastModified", timeValue(st.st_mtim));
    p.emplace_back("LastAccessed", timeValue(st.st_atim));
    p.emplace_back("Encrypted", booleanValue(false));
    p.emplace_back("Compressed", booleanValue(false));
    p.emplace_back("Hidden", booleanValue(hidden));
    p.emplace_back("System", booleanValue(false));
    p.emplace_back("Archive", booleanValue(isFile));
    p.emplace_back("Readable", booleanValue(access(local.c_str(), R_OK) == 0));
    p.emplace_back("Writeable", booleanValue(writeable));
    p.emplace_back("Status", textValue("OK"));
    if (isFile) {
        p.emplace_back("FileSize", textValue(std::to_string(static_cast<long long>(st.st_size))));
        // No version resources are read on this system.
        p.emplace_back("Version", nullValue());
        p.emplace_back("Manufacturer", nullValue());
    }
    return std::make_unique<PropertyObject>(std::move(p));
}

}  // namespace platform::wmi::sim
