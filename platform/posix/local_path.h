// Windows paths of the agent ("c:\\data\\a.txt") as paths of this system,
// through the drive map. Shared by the file answers of the simulated WMI
// service and by the security service.
#pragma once

#include <string>

namespace platform::posix {

// The local path, or "" when the text is not an absolute path on a mapped
// drive (or holds a NUL). Backslashes become slashes; a trailing separator is
// dropped except for the drive's root. A path that does not exist as written
// is matched without regard to ASCII case, component by component, as
// Windows names are (an exact name wins; an ambiguous one is left as written).
std::string localPathOf(const std::string& windowsPath);

}  // namespace platform::posix
