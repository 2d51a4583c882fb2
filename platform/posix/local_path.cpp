// Drive C is the root of the file system; other drives are not mapped.
#include "platform/posix/local_path.h"

#include <cctype>

namespace platform::posix {

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
    return local;
}

}  // namespace platform::posix
