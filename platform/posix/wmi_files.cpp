// CIM_DataFile and CIM_Directory answered from the local file system.
//
// The Windows path of the query is translated through the drive map; an item
// on a drive that is not mapped is not found. Times are DMTF texts in the
// agent's local offset: CreationDate is the birth time where the file system
// keeps one (statx), the change time elsewhere. FileSize is a decimal text as
// WMI gives 64-bit numbers. An item whose name starts with a dot is hidden;
// Compressed and Encrypted are the file system's own attributes. Version and
// Manufacturer are the FileVersion and CompanyName of a Windows program's or
// library's version resource, null for other files, so a Windows program kept
// here reports what Windows would report. Every item that is not a directory
// answers CIM_DataFile; a symbolic link answers as itself.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <optional>

#include "platform/clock.h"
#include "platform/posix/local_path.h"
#include "platform/posix/pe_version.h"
#include "platform/posix/wmi_internal.h"

namespace platform::wmi::sim {

namespace {

Variant timeValue(std::int64_t seconds, std::uint32_t nanoseconds) {
    return textValue(formatDmtf(seconds, localUtcOffsetMinutes(seconds), static_cast<int>(nanoseconds / 1000)));
}

Variant timeValue(const struct statx_timestamp& t) { return timeValue(t.tv_sec, t.tv_nsec); }

Variant optionalText(const std::optional<std::string>& text) { return text ? textValue(*text) : nullValue(); }

}  // namespace

ObjectPtr makeFileObject(const std::string& windowsPath, bool isFile) {
    const std::string local = posix::localPathOf(windowsPath);
    if (local.empty()) return nullptr;

    struct statx st {};
    // A symbolic link answers as itself (a file of 0 bytes without a version
    // resource), never as what it points to.
    if (statx(AT_FDCWD, local.c_str(), AT_STATX_SYNC_AS_STAT | AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME,
              &st) != 0)
        return nullptr;
    const bool link = S_ISLNK(st.stx_mode);
    const bool directory = S_ISDIR(st.stx_mode);
    if (isFile == directory) return nullptr;

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
    p.emplace_back("CreationDate", timeValue((st.stx_mask & STATX_BTIME) ? st.stx_btime : st.stx_ctime));
    p.emplace_back("LastModified", timeValue(st.stx_mtime));
    p.emplace_back("LastAccessed", timeValue(st.stx_atime));
    p.emplace_back("Encrypted", booleanValue((st.stx_attributes & STATX_ATTR_ENCRYPTED) != 0));
    p.emplace_back("Compressed", booleanValue((st.stx_attributes & STATX_ATTR_COMPRESSED) != 0));
    p.emplace_back("Hidden", booleanValue(hidden));
    p.emplace_back("System", booleanValue(false));
    p.emplace_back("Archive", booleanValue(isFile));
    p.emplace_back("Readable", booleanValue(access(local.c_str(), R_OK) == 0));
    p.emplace_back("Writeable", booleanValue(writeable));
    p.emplace_back("Status", textValue("OK"));
    if (isFile) {
        p.emplace_back("FileSize",
                       textValue(std::to_string(link ? 0ull : static_cast<unsigned long long>(st.stx_size))));
        const posix::VersionStrings version = link ? posix::VersionStrings{} : posix::readPeVersionStrings(local);
        p.emplace_back("Version", optionalText(version.fileVersion));
        p.emplace_back("Manufacturer", optionalText(version.companyName));
    }
    return std::make_unique<PropertyObject>(std::move(p));
}

}  // namespace platform::wmi::sim
