// On Windows a drive letter is the volume: paths are kept as they are.
#include "platform/volumes.h"

#include <windows.h>

#include <cctype>

namespace platform {

namespace {

bool driveExists(char letter) {
    const DWORD drives = GetLogicalDrives();
    const int index = std::toupper(static_cast<unsigned char>(letter)) - 'A';
    return index >= 0 && index < 26 && (drives & (1u << index)) != 0;
}

}  // namespace

bool volumeDirectory(char driveLetter, std::string* directory) {
    if (!driveExists(driveLetter)) return false;
    if (directory) {
        *directory = std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(driveLetter))));
        *directory += ":\\";
    }
    return true;
}

std::vector<std::pair<char, std::string>> mappedVolumes() {
    std::vector<std::pair<char, std::string>> volumes;
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        std::string dir;
        if (volumeDirectory(letter, &dir)) volumes.emplace_back(letter, dir);
    }
    return volumes;
}

// The journals are kept by NTFS itself.
std::string journalDirectory() { return std::string(); }

bool localPathOf(const std::string& windowsPath, std::string* localPath) {
    if (windowsPath.size() < 2 || windowsPath[1] != ':' || !std::isalpha(static_cast<unsigned char>(windowsPath[0])))
        return false;
    if (windowsPath.find('\0') != std::string::npos || !driveExists(windowsPath[0])) return false;
    if (localPath) *localPath = windowsPath;
    return true;
}

bool windowsPathOf(const std::string& localPath, std::string* windowsPath) {
    if (!localPathOf(localPath, nullptr)) return false;
    if (windowsPath) *windowsPath = localPath;
    return true;
}

}  // namespace platform
