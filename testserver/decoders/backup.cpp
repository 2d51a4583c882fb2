// The volume back-up file: little-endian header (drive letter as one UTF-16
// unit, journal id, next USN), then entries of (reference, parent, name
// length in UTF-16 units, UTF-16LE name), ended by the reference
// 0xFFFFFFFFFFFFFFFF.
#include "testserver/decoders/decoders.h"

#include <unordered_map>
#include <unordered_set>

namespace decoders {

namespace {

constexpr std::uint64_t kTerminator = 0xFFFFFFFFFFFFFFFFull;

std::uint64_t readLittleEndian(std::string_view bytes, std::size_t at, std::size_t width) {
    std::uint64_t v = 0;
    for (std::size_t i = width; i > 0; --i)
        v = (v << 8) | static_cast<unsigned char>(bytes[at + i - 1]);
    return v;
}

void appendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// UTF-16LE to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf16ToUtf8(std::string_view bytes) {
    std::string out;
    const std::size_t units = bytes.size() / 2;
    for (std::size_t i = 0; i < units; ++i) {
        std::uint32_t u = static_cast<std::uint32_t>(readLittleEndian(bytes, 2 * i, 2));
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            const auto low = static_cast<std::uint32_t>(readLittleEndian(bytes, 2 * (i + 1), 2));
            if (low >= 0xDC00 && low <= 0xDFFF) {
                appendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD;
        appendUtf8(out, u);
    }
    return out;
}

}  // namespace

DecodeError decodeVolumeBackup(std::string_view bytes, VolumeBackup& out) {
    if (bytes.size() < 18)
        return decodeFailure(bytes.size(), "header of 18 bytes is truncated (" + std::to_string(bytes.size()) +
                                               " bytes)");
    out.drive = static_cast<std::uint16_t>(readLittleEndian(bytes, 0, 2));
    out.journalId = readLittleEndian(bytes, 2, 8);
    out.startUsn = readLittleEndian(bytes, 10, 8);
    std::size_t pos = 18;
    while (true) {
        const std::size_t entryStart = pos;
        if (bytes.size() - pos < 8)
            return decodeFailure(entryStart, "file ends before its terminator");
        const std::uint64_t reference = readLittleEndian(bytes, pos, 8);
        pos += 8;
        if (reference == kTerminator) {
            out.terminated = true;
            if (pos != bytes.size())
                return decodeFailure(pos, std::to_string(bytes.size() - pos) + " bytes after the terminator");
            return {};
        }
        if (bytes.size() - pos < 12) return decodeFailure(entryStart, "truncated entry header");
        BackupEntry entry;
        entry.offset = entryStart;
        entry.reference = reference;
        entry.parent = readLittleEndian(bytes, pos, 8);
        const std::uint64_t units = readLittleEndian(bytes, pos + 8, 4);
        pos += 12;
        if ((bytes.size() - pos) / 2 < units)
            return decodeFailure(entryStart, "name of " + std::to_string(units) +
                                                 " UTF-16 units runs past the end of the file");
        entry.name = utf16ToUtf8(bytes.substr(pos, units * 2));
        pos += units * 2;
        out.entries.push_back(std::move(entry));
    }
}

namespace {

using ReferenceIndex = std::unordered_map<std::uint64_t, const BackupEntry*>;

std::optional<std::string> pathThrough(const ReferenceIndex& byReference, std::uint64_t reference) {
    std::unordered_set<std::uint64_t> seen;
    std::string path;
    while (reference != 0) {
        auto it = byReference.find(reference);
        if (it == byReference.end() || !seen.insert(reference).second) return std::nullopt;
        path = path.empty() ? it->second->name : it->second->name + "\\" + path;
        reference = it->second->parent;
    }
    return path;
}

ReferenceIndex indexOf(const VolumeBackup& backup) {
    ReferenceIndex byReference;
    for (const BackupEntry& e : backup.entries) byReference.emplace(e.reference, &e);
    return byReference;
}

}  // namespace

std::optional<std::string> backupPath(const VolumeBackup& backup, std::uint64_t reference) {
    return pathThrough(indexOf(backup), reference);
}

std::vector<std::optional<std::string>> backupPaths(const VolumeBackup& backup) {
    const ReferenceIndex byReference = indexOf(backup);
    std::vector<std::optional<std::string>> paths;
    paths.reserve(backup.entries.size());
    for (const BackupEntry& e : backup.entries) paths.push_back(pathThrough(byReference, e.reference));
    return paths;
}

}  // namespace decoders
