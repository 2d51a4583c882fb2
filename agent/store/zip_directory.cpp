#include "agent/store/zip_directory.h"

#include <minizip/zip.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <new>
#include <system_error>

#include "common/log.h"
#include "platform/private_files.h"

namespace {

constexpr std::size_t kChunkBytes = 16000;

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f) std::fclose(f);
    }
};

// The names of a folder's entries except "." and "..", in name order (the
// order the server's platform lists them in), or false when the folder cannot
// be read.
bool listFolder(const std::string& folder, std::vector<std::string>& names) {
    std::error_code ec;
    std::filesystem::directory_iterator it(folder.empty() ? "." : folder, ec);
    if (ec) return false;
    for (const std::filesystem::directory_iterator end; it != end; it.increment(ec)) {
        if (ec) return false;
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return true;
}

enum class AddResult { Added, Skipped, Failed };

// Copies one file into a new entry of the zip.
AddResult addFile(zipFile zip, const std::string& path, const std::string& name, char* buffer) {
    // Only regular files of the folder itself are sent: a folder, or a link
    // someone placed to have another file sent, is skipped and left alone.
    std::unique_ptr<std::FILE, FileCloser> file(platform::openRegularFile(path, "rb"));
    if (!file) {
        LogError("\n Unable to open filename: %s", path.c_str());
        return errno == ELOOP || errno == EINVAL || errno == EISDIR ? AddResult::Skipped : AddResult::Failed;
    }
    zip_fileinfo info{};  // no time stamp, no attributes
    if (zipOpenNewFileInZip3(zip, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                             9, 0, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr,
                             0) != ZIP_OK) {
        LogError("\n Unable to open new file in zip for filename: %s", name.c_str());
        return AddResult::Failed;
    }
    bool ok = true;
    for (;;) {
        std::size_t n = std::fread(buffer, 1, kChunkBytes, file.get());
        if (n > 0 && zipWriteInFileInZip(zip, buffer, static_cast<unsigned>(n)) < 0) {
            LogError("\n Error writing to file");
            ok = false;
            break;
        }
        if (n < kChunkBytes) {
            if (std::ferror(file.get())) {
                LogError("\n Unable to read filename: %s", path.c_str());
                ok = false;
            } else {
                LogInfo("\n Finished writing to zip");
            }
            break;
        }
    }
    if (zipCloseFileInZip(zip) != ZIP_OK) {
        LogError("\n Error while closing file in zip");
        ok = false;
    }
    return ok ? AddResult::Added : AddResult::Failed;
}

}  // namespace

int zipDirectory(const std::string& folderText, const std::string& zipPath,
                 std::vector<std::string>* added) {
    std::string folder = folderText;
    std::replace(folder.begin(), folder.end(), '\\', '/');
    if (added) added->clear();

    std::vector<std::string> names;
    if (!listFolder(folder, names)) return 0;
    if (names.size() > kZipMaxNames) {
        LogError("\n %zu names in %s: the first %zu go into this zip, the rest wait for the next",
                 names.size(), folder.c_str(), kZipMaxNames);
        names.resize(kZipMaxNames);
    }

    zipFile zip = zipOpen2(zipPath.c_str(), APPEND_STATUS_CREATE, nullptr, nullptr);
    if (!zip) {
        LogError("Error opening zip file %s", zipPath.c_str());
        return 0;
    }

    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kChunkBytes]);
    if (!buffer) LogError("\n Buffer malloc failed");
    bool complete = buffer != nullptr;
    std::vector<std::string> stored;
    const std::string prefix =
        folder.empty() || folder.back() == '/' ? folder : folder + "/";
    for (std::size_t i = 0; complete && i < names.size(); ++i) {
        const std::string path = prefix + names[i];
        switch (addFile(zip, path, names[i], buffer.get())) {
            case AddResult::Added: stored.push_back(path); break;
            case AddResult::Skipped: break;
            case AddResult::Failed: complete = false; break;
        }
    }

    if (zipClose(zip, nullptr) != ZIP_OK) {
        LogError("Error closing zip file %s", zipPath.c_str());
        complete = false;
    }
    if (!complete) {
        std::remove(zipPath.c_str());
        return 0;
    }
    if (added) *added = std::move(stored);
    return 1;
}
