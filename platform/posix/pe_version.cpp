// The version resource of a Windows executable or library (PE file): the
// FileVersion and CompanyName texts of its VS_VERSIONINFO, read with every
// offset checked against the file, so a damaged or hostile file gives no
// value instead of a crash.
#include "platform/posix/pe_version.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "platform/text.h"

namespace platform::posix {

namespace {

constexpr std::uint32_t kResourceTypeVersion = 16;  // RT_VERSION
constexpr std::size_t kMaxResource = 1 << 20;       // a version resource is a few KiB
constexpr int kMaxEntries = 4096;

class Reader {
public:
    explicit Reader(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
    bool read(std::uint64_t at, void* out, std::size_t n) const {
        if (at > size_ || n > size_ - at) return false;
        return pread(fd_, out, n, static_cast<off_t>(at)) == static_cast<ssize_t>(n);
    }
    bool u16(std::uint64_t at, std::uint16_t& v) const {
        std::uint8_t b[2];
        if (!read(at, b, 2)) return false;
        v = static_cast<std::uint16_t>(b[0] | (b[1] << 8));
        return true;
    }
    bool u32(std::uint64_t at, std::uint32_t& v) const {
        std::uint8_t b[4];
        if (!read(at, b, 4)) return false;
        v = static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
            (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
        return true;
    }

private:
    int fd_;
    std::uint64_t size_;
};

struct Section {
    std::uint32_t virtualAddress, virtualSize, rawSize, rawPointer;
};

// The file offset of a relative virtual address.
bool rvaToOffset(const std::vector<Section>& sections, std::uint32_t rva, std::uint64_t& offset) {
    for (const Section& s : sections) {
        const std::uint32_t span = s.virtualSize ? s.virtualSize : s.rawSize;
        if (rva >= s.virtualAddress && rva - s.virtualAddress < span && rva - s.virtualAddress < s.rawSize) {
            offset = static_cast<std::uint64_t>(s.rawPointer) + (rva - s.virtualAddress);
            return true;
        }
    }
    return false;
}

// The entry of a resource directory with the given id (any when id is 0),
// as its OffsetToData field.
bool findEntry(const Reader& r, std::uint64_t directory, std::uint32_t id, std::uint32_t& target) {
    std::uint16_t named = 0, ids = 0;
    if (!r.u16(directory + 12, named) || !r.u16(directory + 14, ids)) return false;
    const int total = named + ids;
    if (total > kMaxEntries) return false;
    for (int i = 0; i < total; ++i) {
        std::uint32_t name = 0, data = 0;
        if (!r.u32(directory + 16 + 8 * i, name) || !r.u32(directory + 20 + 8 * i, data)) return false;
        if (id == 0 || (!(name & 0x80000000u) && name == id)) {
            target = data;
            return true;
        }
    }
    return false;
}

std::uint16_t at16(const std::vector<std::uint8_t>& b, std::size_t i) {
    return static_cast<std::uint16_t>(b[i] | (b[i + 1] << 8));
}

// A zero-terminated UTF-16 text at b[i..end); `next` is just past its terminator.
std::u16string text16(const std::vector<std::uint8_t>& b, std::size_t i, std::size_t end, std::size_t& next) {
    std::u16string s;
    while (i + 1 < end) {
        const char16_t c = at16(b, i);
        i += 2;
        if (c == 0) break;
        s.push_back(c);
    }
    next = i;
    return s;
}

std::size_t align4(std::size_t v) { return (v + 3) & ~static_cast<std::size_t>(3); }

// Walks the blocks of a version resource (each: length, value length, type,
// key, padding, value, padding, children) and collects the String values of
// the first StringTable of StringFileInfo.
void walkBlocks(const std::vector<std::uint8_t>& b, std::size_t begin, std::size_t end, int depth,
                bool inStringTable, VersionStrings& out) {
    std::size_t at = begin;
    while (depth < 4 && at + 6 <= end) {
        const std::size_t length = at16(b, at);
        const std::size_t valueLength = at16(b, at + 2);
        const std::uint16_t type = at16(b, at + 4);
        if (length < 6 || length > end - at) return;
        const std::size_t blockEnd = at + length;
        std::size_t afterKey = 0;
        const std::u16string key = text16(b, at + 6, blockEnd, afterKey);
        std::size_t value = align4(afterKey);
        if (inStringTable) {
            // A String: its value is valueLength UTF-16 units (terminator included).
            if (value < blockEnd) {
                std::size_t unused = 0;
                const std::size_t limit = type == 1 ? std::min(blockEnd, value + 2 * valueLength) : blockEnd;
                std::u16string v = text16(b, value, limit, unused);
                const std::string k = utf16ToUtf8(key);
                if (k == "FileVersion" && !out.fileVersion) out.fileVersion = utf16ToUtf8(v);
                if (k == "CompanyName" && !out.companyName) out.companyName = utf16ToUtf8(v);
            }
        } else {
            const std::string k = utf16ToUtf8(key);
            std::size_t children = value;
            if (depth == 0) children = align4(value + valueLength);  // after VS_FIXEDFILEINFO
            if (depth == 0 && k == "VS_VERSION_INFO") {
                walkBlocks(b, children, blockEnd, 1, false, out);
            } else if (depth == 1 && k == "StringFileInfo") {
                walkBlocks(b, children, blockEnd, 2, false, out);
            } else if (depth == 2) {
                // The first string table (one language) answers.
                walkBlocks(b, children, blockEnd, 3, true, out);
                return;
            }
            if (depth == 0) return;
        }
        at = align4(blockEnd);
    }
}

}  // namespace

VersionStrings readPeVersionStrings(const std::string& path) {
    VersionStrings out;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return out;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return out;
    }
    const Reader r(fd, static_cast<std::uint64_t>(st.st_size));
    auto done = [&] {
        ::close(fd);
        return out;
    };

    char mz[2];
    std::uint32_t peAt = 0, signature = 0;
    if (!r.read(0, mz, 2) || mz[0] != 'M' || mz[1] != 'Z' || !r.u32(0x3C, peAt) || !r.u32(peAt, signature) ||
        signature != 0x00004550u)
        return done();
    const std::uint64_t coff = peAt + 4ull;
    std::uint16_t sectionCount = 0, optionalSize = 0, magic = 0;
    if (!r.u16(coff + 2, sectionCount) || !r.u16(coff + 16, optionalSize) || !r.u16(coff + 20, magic))
        return done();
    const std::uint64_t optional = coff + 20;
    std::uint64_t directories = 0, countAt = 0;
    if (magic == 0x10b) {
        countAt = optional + 92;
        directories = optional + 96;
    } else if (magic == 0x20b) {
        countAt = optional + 108;
        directories = optional + 112;
    } else {
        return done();
    }
    std::uint32_t directoryCount = 0, resourceRva = 0, resourceSize = 0;
    if (!r.u32(countAt, directoryCount) || directoryCount < 3 ||
        directories + 24 > optional + optionalSize || !r.u32(directories + 16, resourceRva) ||
        !r.u32(directories + 20, resourceSize) || resourceRva == 0)
        return done();

    std::vector<Section> sections;
    const std::uint64_t table = optional + optionalSize;
    for (std::uint16_t i = 0; i < sectionCount && i < 96; ++i) {
        Section s{};
        const std::uint64_t at = table + 40ull * i;
        if (!r.u32(at + 8, s.virtualSize) || !r.u32(at + 12, s.virtualAddress) || !r.u32(at + 16, s.rawSize) ||
            !r.u32(at + 20, s.rawPointer))
            return done();
        sections.push_back(s);
    }
    std::uint64_t root = 0;
    if (!rvaToOffset(sections, resourceRva, root)) return done();

    // Type RT_VERSION, then the first name, then the first language.
    std::uint32_t entry = 0;
    if (!findEntry(r, root, kResourceTypeVersion, entry) || !(entry & 0x80000000u)) return done();
    if (!findEntry(r, root + (entry & 0x7FFFFFFFu), 0, entry) || !(entry & 0x80000000u)) return done();
    if (!findEntry(r, root + (entry & 0x7FFFFFFFu), 0, entry) || (entry & 0x80000000u)) return done();
    std::uint32_t dataRva = 0, dataSize = 0;
    std::uint64_t dataAt = 0;
    if (!r.u32(root + entry, dataRva) || !r.u32(root + entry + 4, dataSize) || dataSize > kMaxResource ||
        !rvaToOffset(sections, dataRva, dataAt))
        return done();
    std::vector<std::uint8_t> data(dataSize);
    if (dataSize < 6 || !r.read(dataAt, data.data(), dataSize)) return done();
    walkBlocks(data, 0, data.size(), 0, false, out);
    return done();
}

}  // namespace platform::posix
