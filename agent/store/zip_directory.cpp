#include "agent/store/zip_directory.h"

#include <minizip/zip.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <new>

#include "common/log.h"
#include "platform/fs.h"
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
    std::vector<platform::DirectoryEntry> entries;
    if (platform::listDirectory(folder.empty() ? "." : folder, &entries) != 0) return false;
    for (platform::DirectoryEntry& entry : entries) names.push_back(std::move(entry.name));
    std::sort(names.begin(), names.end());
    return true;
}

// minizip's stdio file functions, with the zip itself opened through the
// platform: its path is UTF-8 on every system (the stock open would take it
// through the ANSI code page on Windows).
voidpf openZipStream(voidpf, const void* path, int mode) {
    const char* how = (mode & ZLIB_FILEFUNC_MODE_CREATE) != 0     ? "wb"
                      : (mode & ZLIB_FILEFUNC_MODE_EXISTING) != 0 ? "r+b"
                                                                  : "rb";
    return path ? platform::openRegularFile(static_cast<const char*>(path), how) : nullptr;
}

zipFile createZip(const std::string& zipPath) {
    zlib_filefunc64_def functions{};
    fill_fopen64_filefunc(&functions);
    functions.zopen64_file = openZipStream;
    return zipOpen2_64(zipPath.c_str(), APPEND_STATUS_CREATE, nullptr, &functions);
}

// Bit 11 of an entry's flags: its name is UTF-8. Set only for names that
// are not plain ASCII, whose bytes mean the same either way.
constexpr uLong kUtf8NameFlag = 1u << 11;

uLong nameFlags(const std::string& name) {
    for (const char c : name)
        if (static_cast<unsigned char>(c) >= 0x80) return kUtf8NameFlag;
    return 0;
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
    // What zipOpenNewFileInZip3 writes, with the name's encoding flag.
    if (zipOpenNewFileInZip4_64(zip, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, 9, 0,
                                -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0, 0, nameFlags(name),
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

    zipFile zip = createZip(zipPath);
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
        platform::removeFile(zipPath);
        return 0;
    }
    if (added) *added = std::move(stored);
    return 1;
}
