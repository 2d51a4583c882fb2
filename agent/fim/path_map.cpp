#include "agent/fim/path_map.h"

#include <cstdio>

#include "platform/fs.h"
#include "platform/private_files.h"

namespace {

constexpr std::uint64_t kTerminator = 0xFFFFFFFFFFFFFFFFull;

template <class T>
void putLittleEndian(std::string& out, T value) {
    for (std::size_t i = 0; i < sizeof(T); ++i)
        out += static_cast<char>(static_cast<std::uint64_t>(value) >> (8 * i) & 0xFF);
}

template <class T>
bool getLittleEndian(std::string_view bytes, std::size_t* at, T* value) {
    if (*at > bytes.size() || bytes.size() - *at < sizeof(T)) return false;
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i)
        v |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[*at + i])) << (8 * i);
    *at += sizeof(T);
    *value = static_cast<T>(v);
    return true;
}

}  // namespace

bool DirectoryPathMap::Add(std::uint64_t reference, std::u16string name, std::uint64_t parent) {
    if (index.count(reference) != 0) return false;
    index.emplace(reference, names.size());
    names.push_back(std::move(name));
    parents.push_back(parent);
    return true;
}

bool DirectoryPathMap::Rename(std::uint64_t reference, std::u16string name, std::uint64_t parent) {
    auto it = index.find(reference);
    if (it == index.end()) return false;
    names[it->second] = std::move(name);
    parents[it->second] = parent;
    return true;
}

void DirectoryPathMap::Remove(std::uint64_t reference) {
    auto it = index.find(reference);
    if (it == index.end()) return;
    names[it->second].clear();
    index.erase(it);
}

void DirectoryPathMap::Clear() {
    names.clear();
    parents.clear();
    index.clear();
}

bool reconstructPath(const DirectoryPathMap& map, std::uint64_t reference, std::u16string* path) {
    std::u16string built;
    // Each step climbs one known directory; more steps than directories
    // means the parents loop (a damaged back-up file).
    for (std::size_t steps = 0; steps <= map.index.size(); ++steps) {
        auto it = map.index.find(reference);
        if (it == map.index.end()) return false;
        const std::size_t slot = it->second;
        built = built.empty() ? map.names[slot] : map.names[slot] + u"\\" + built;
        reference = map.parents[slot];
        if (reference == 0) {
            *path = std::move(built);
            return true;
        }
    }
    return false;
}

std::string encodeBackup(const BackupHeader& header, const DirectoryPathMap& map) {
    std::string out;
    putLittleEndian<std::uint16_t>(out, header.drive);
    putLittleEndian<std::uint64_t>(out, header.journalId);
    putLittleEndian<std::uint64_t>(out, static_cast<std::uint64_t>(header.startUsn));
    for (const auto& [reference, slot] : map.index) {
        const std::u16string& name = map.names[slot];
        putLittleEndian<std::uint64_t>(out, reference);
        putLittleEndian<std::uint64_t>(out, map.parents[slot]);
        putLittleEndian<std::uint32_t>(out, static_cast<std::uint32_t>(name.size()));
        for (char16_t unit : name) putLittleEndian<std::uint16_t>(out, unit);
    }
    putLittleEndian<std::uint64_t>(out, kTerminator);
    return out;
}

bool decodeBackup(std::string_view bytes, BackupHeader* header, DirectoryPathMap* map) {
    std::size_t at = 0;
    std::uint16_t drive = 0;
    std::uint64_t journalId = 0, startUsn = 0;
    if (!getLittleEndian(bytes, &at, &drive) || !getLittleEndian(bytes, &at, &journalId) ||
        !getLittleEndian(bytes, &at, &startUsn))
        return false;
    header->drive = drive;
    header->journalId = journalId;
    header->startUsn = static_cast<std::int64_t>(startUsn);
    for (;;) {
        std::uint64_t reference = 0, parent = 0;
        std::uint32_t length = 0;
        if (!getLittleEndian(bytes, &at, &reference)) return false;
        if (reference == kTerminator) return true;
        if (!getLittleEndian(bytes, &at, &parent) || !getLittleEndian(bytes, &at, &length))
            return false;
        if ((bytes.size() - at) / 2 < length) return false;
        std::u16string name(length, u'\0');
        for (std::uint32_t i = 0; i < length; ++i) getLittleEndian(bytes, &at, &name[i]);
        map->Add(reference, std::move(name), parent);
    }
}

bool writeBackupFile(const std::string& path, const BackupHeader& header, const DirectoryPathMap& map) {
    return writeFileWhole(path, encodeBackup(header, map));
}

bool writeFileWhole(const std::string& path, const std::string& bytes) {
    const std::string scratch = path + ".tmp";
    std::FILE* out = platform::openRegularFile(scratch, "wb");
    if (!out) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    const bool closed = std::fclose(out) == 0;
    if (written && closed && platform::renameFile(scratch, path) == 0) return true;
    platform::removeFile(scratch);
    return false;
}

bool readBackupFile(const std::string& path, BackupHeader* header, DirectoryPathMap* map) {
    std::string bytes;
    if (!platform::readFileWhole(path, &bytes)) return false;
    return decodeBackup(bytes, header, map);
}
