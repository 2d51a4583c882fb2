// Drive letters mapped to directories by the registry's Volumes key.
#include "platform/volumes.h"

#include <algorithm>
#include <cctype>

#include "platform/registry.h"

namespace platform {

namespace {

// The letter values of the key, or none when the key is absent.
struct VolumeMap {
    std::vector<std::pair<char, std::string>> letters;
    std::string journalDir;
};

std::string normalisedDirectory(std::string dir) {
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}

VolumeMap readMap() {
    VolumeMap map;
    RegistryKey key(nullptr, nullptr);
    if (regOpenKey(RegistryRoot::LocalMachine, kVolumesKey, RegistryAccess::QueryValue, &key) == kErrorSuccess) {
        RegistryValue value;
        for (std::uint32_t i = 0; regEnumValue(key, i, &value) == kErrorSuccess; ++i) {
            if (value.type != kRegSz && value.type != kRegExpandSz) continue;
            if (value.name.size() == 1 && std::isalpha(static_cast<unsigned char>(value.name[0]))) {
                // Only absolute directories name a volume; anything else would
                // resolve against whatever the current directory happens to be.
                if (value.data.empty() || value.data[0] != '/') continue;
                const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(value.name[0])));
                bool seen = false;
                for (const auto& l : map.letters) seen = seen || l.first == letter;
                if (!seen) map.letters.emplace_back(letter, normalisedDirectory(value.data));
            } else if (value.name.size() == 10 && (value.name[0] == 'J' || value.name[0] == 'j')) {
                std::string lower;
                for (char c : value.name) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                if (lower == "journaldir" && !value.data.empty()) map.journalDir = value.data;
            }
        }
    }
    if (map.letters.empty()) map.letters.emplace_back('C', "/");
    if (map.journalDir.empty()) map.journalDir = kDefaultJournalDir;
    if (map.journalDir.back() != '/') map.journalDir += '/';
    std::sort(map.letters.begin(), map.letters.end());
    return map;
}

}  // namespace

bool volumeDirectory(char driveLetter, std::string* directory) {
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(driveLetter)));
    for (const auto& [l, dir] : readMap().letters) {
        if (l != letter) continue;
        if (directory) *directory = dir;
        return true;
    }
    return false;
}

std::vector<std::pair<char, std::string>> mappedVolumes() { return readMap().letters; }

std::string journalDirectory() { return readMap().journalDir; }

bool localPathOf(const std::string& windowsPath, std::string* localPath) {
    if (windowsPath.size() < 2 || windowsPath[1] != ':' ||
        !std::isalpha(static_cast<unsigned char>(windowsPath[0])))
        return false;
    if (windowsPath.find('\0') != std::string::npos) return false;
    // Windows takes "/" as a separator too.
    std::string path = windowsPath;
    for (char& c : path)
        if (c == '/') c = '\\';
    if (path.size() > 2 && path[2] != '\\') return false;
    std::string dir;
    if (!volumeDirectory(windowsPath[0], &dir)) return false;
    std::string local = dir;
    std::size_t pos = 3;
    while (pos < path.size()) {
        std::size_t end = path.find('\\', pos);
        if (end == std::string::npos) end = path.size();
        const std::string part = path.substr(pos, end - pos);
        pos = end + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") return false;
        if (local.back() != '/') local += '/';
        local += part;
    }
    if (localPath) *localPath = local;
    return true;
}

bool windowsPathOf(const std::string& localPath, std::string* windowsPath) {
    if (localPath.empty() || localPath[0] != '/') return false;
    const std::string path = normalisedDirectory(localPath);
    std::size_t best = 0;
    char bestLetter = 0;
    std::string rest;
    for (const auto& [letter, dir] : readMap().letters) {
        std::string tail;
        if (dir == "/") {
            tail = path.substr(1);
        } else if (path == dir) {
            tail.clear();
        } else if (path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 && path[dir.size()] == '/') {
            tail = path.substr(dir.size() + 1);
        } else {
            continue;
        }
        if (bestLetter == 0 || dir.size() > best) {
            best = dir.size();
            bestLetter = letter;
            rest = tail;
        }
    }
    if (!bestLetter) return false;
    std::string out(1, bestLetter);
    out += ":\\";
    for (char c : rest) out += c == '/' ? '\\' : c;
    if (windowsPath) *windowsPath = out;
    return true;
}

}  // namespace platform
