#include "agent/fim/local_paths.h"

#if __has_include("platform/volumes.h")
#include "platform/volumes.h"

bool fimLocalPath(const std::string& windowsPath, std::string* localPath) {
    return platform::localPathOf(windowsPath, localPath);
}
#else
// Until the drive map is part of the platform layer: drive C is "/".
bool fimLocalPath(const std::string& windowsPath, std::string* localPath) {
    if (windowsPath.size() < 2 || windowsPath[1] != ':' || (windowsPath[0] | 0x20) != 'c')
        return false;
    std::string local = "/";
    for (std::size_t i = 2; i < windowsPath.size(); ++i) {
        const char c = windowsPath[i] == '\\' ? '/' : windowsPath[i];
        if (c == '/' && local.back() == '/') continue;
        local += c;
    }
    *localPath = local;
    return true;
}
#endif
