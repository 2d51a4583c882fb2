// Windows paths of the agent ("c:\\data\\a.txt") as paths of this system,
// through the drive map. Shared by the file answers of the simulated WMI
// service and by the security service.
#pragma once

#include <string>

namespace platform::posix {

// The local path, or "" when the text is not an absolute path on a mapped
// drive (or holds a NUL). Backslashes become slashes; a trailing separator is
// dropped except for the drive's root.
std::string localPathOf(const std::string& windowsPath);

}  // namespace platform::posix
