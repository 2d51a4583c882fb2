// The version texts of a Windows executable or library kept on this system.
#pragma once

#include <optional>
#include <string>

namespace platform::posix {

// FileVersion and CompanyName of the first string table of the file's
// VS_VERSIONINFO resource; each none when the file is not a PE file, has no
// version resource or lacks that text.
struct VersionStrings {
    std::optional<std::string> fileVersion;
    std::optional<std::string> companyName;
};
VersionStrings readPeVersionStrings(const std::string& path);

}  // namespace platform::posix
