// Files for the decoder, server and inspect tests: zips written with
// minizip's zip side the way the agent writes its uploads (bare names,
// deflate level 9, no time stamps), and whole-file reads.
#pragma once

#include <minizip/zip.h>

#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace testbytes {

using ZipEntries = std::vector<std::pair<std::string, std::string>>;

// Writes the entries into a new zip; false when minizip refused a step.
inline bool writeZip(const std::string& path, const ZipEntries& entries) {
    zipFile zip = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
    if (!zip) return false;
    bool ok = true;
    for (const auto& [name, data] : entries) {
        zip_fileinfo info{};
        ok = ok &&
             zipOpenNewFileInZip3(zip, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, 9, 0,
                                  -MAX_WBITS, 8, Z_DEFAULT_STRATEGY, nullptr, 0) == ZIP_OK &&
             zipWriteInFileInZip(zip, data.data(), static_cast<unsigned>(data.size())) == ZIP_OK &&
             zipCloseFileInZip(zip) == ZIP_OK;
    }
    return zipClose(zip, nullptr) == ZIP_OK && ok;
}

inline std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void writeAll(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace testbytes
