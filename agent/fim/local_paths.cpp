#include "agent/fim/local_paths.h"

#include "platform/volumes.h"

bool fimLocalPath(const std::string& windowsPath, std::string* localPath) {
    return platform::localPathOf(windowsPath, localPath);
}
