// Zip archives through minizip's unzip side.
#include <minizip/unzip.h>

#include <memory>

#include "testserver/decoders/decoders.h"

namespace decoders {

namespace {

struct UnzipCloser {
    void operator()(void* handle) const { unzClose(static_cast<unzFile>(handle)); }
};
using UnzipHandle = std::unique_ptr<void, UnzipCloser>;

std::string unzipMessage(int code) {
    switch (code) {
        case UNZ_ERRNO: return "read error";
        case UNZ_PARAMERROR: return "bad parameter";
        case UNZ_BADZIPFILE: return "corrupt zip structure";
        case UNZ_INTERNALERROR: return "internal unzip error";
        case UNZ_CRCERROR: return "CRC mismatch";
        default: return "unzip error " + std::to_string(code);
    }
}

}  // namespace

DecodeError readZip(const std::string& path, std::vector<ZipEntry>& out, std::uint64_t maxEntryBytes) {
    UnzipHandle zip(unzOpen64(path.c_str()));
    if (!zip)
        return decodeFailure(0, "not a readable zip archive (no valid end of central directory): " + path);
    unz_global_info64 global{};
    if (int rc = unzGetGlobalInfo64(zip.get(), &global); rc != UNZ_OK)
        return decodeFailure(0, unzipMessage(rc));
    int rc = unzGoToFirstFile(zip.get());
    for (std::uint64_t index = 0; rc == UNZ_OK; ++index, rc = unzGoToNextFile(zip.get())) {
        const std::uint64_t directoryOffset = unzGetOffset64(zip.get());
        unz_file_info64 info{};
        if (int r = unzGetCurrentFileInfo64(zip.get(), &info, nullptr, 0, nullptr, 0, nullptr, 0); r != UNZ_OK)
            return decodeFailure(directoryOffset, "entry " + std::to_string(index) + ": " + unzipMessage(r));
        std::string name(info.size_filename, '\0');
        if (int r = unzGetCurrentFileInfo64(zip.get(), &info, name.data(), name.size(), nullptr, 0, nullptr, 0);
            r != UNZ_OK)
            return decodeFailure(directoryOffset, "entry " + std::to_string(index) + ": " + unzipMessage(r));
        const std::string label = "entry \"" + name + "\"";
        if (info.uncompressed_size > maxEntryBytes)
            return decodeFailure(directoryOffset, label + " unpacks to " + std::to_string(info.uncompressed_size) +
                                                      " bytes, above the limit of " + std::to_string(maxEntryBytes));
        if (int r = unzOpenCurrentFile(zip.get()); r != UNZ_OK)
            return decodeFailure(directoryOffset, label + ": " + unzipMessage(r));
        ZipEntry entry;
        entry.name = name;
        entry.compressedSize = info.compressed_size;
        entry.method = static_cast<int>(info.compression_method);
        entry.crc = static_cast<std::uint32_t>(info.crc);
        entry.dosDate = static_cast<std::uint32_t>(info.dosDate);
        const std::uint64_t dataOffset = unzGetCurrentFileZStreamPos64(zip.get());
        char buffer[16384];
        while (true) {
            const int n = unzReadCurrentFile(zip.get(), buffer, sizeof buffer);
            if (n == 0) break;
            if (n < 0) {
                unzCloseCurrentFile(zip.get());
                return decodeFailure(dataOffset, label + ": " + unzipMessage(n) + " after " +
                                                     std::to_string(entry.data.size()) + " unpacked bytes");
            }
            if (entry.data.size() + static_cast<std::size_t>(n) > maxEntryBytes) {
                unzCloseCurrentFile(zip.get());
                return decodeFailure(dataOffset, label + " unpacks past the limit of " +
                                                     std::to_string(maxEntryBytes) + " bytes");
            }
            entry.data.append(buffer, static_cast<std::size_t>(n));
        }
        // Closing checks the CRC once the whole entry was read.
        if (int r = unzCloseCurrentFile(zip.get()); r != UNZ_OK)
            return decodeFailure(dataOffset, label + ": " + unzipMessage(r));
        out.push_back(std::move(entry));
    }
    if (rc != UNZ_END_OF_LIST_OF_FILE) return decodeFailure(unzGetOffset64(zip.get()), unzipMessage(rc));
    return {};
}

}  // namespace decoders
