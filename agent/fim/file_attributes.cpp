// Attribute collection for files and directories, and the directory walk.
#include "agent/fim/file_attributes.h"

#include <mutex>

#include "agent/fim/attribute_sets.h"
#include "agent/fim/dacl_text.h"
#include "agent/fim/file_worker.h"
#include "agent/fim/hash_wrappers.h"
#include "agent/fim/wmi_util.h"
#include "agent/server/upgrade.h"
#include "agent/settings/settings.h"
#include "common/log.h"
#include "platform/files.h"
#include "platform/security.h"

namespace sec = platform::security;

namespace {

std::mutex checksumMutex;
bool checksumsOn = false;

// Turns the file-system redirection of a 32-bit process on 64-bit Windows off
// around work on a system32 path, and back on afterwards.
class RedirectionOff {
public:
    explicit RedirectionOff(const std::string& path, bool logIt) {
        if (path.find("system32") != std::string::npos && IsWow64() && DisableFsRedirection()) {
            off_ = true;
            if (logIt) LogInfo("\nDisabledFsRedirection");
        }
    }
    ~RedirectionOff() {
        if (off_) RevertFsRedirection();
    }
    RedirectionOff(const RedirectionOff&) = delete;
    RedirectionOff& operator=(const RedirectionOff&) = delete;

private:
    bool off_ = false;
};

void storeChecksumFailure(FileAttributeRecord& record, const hlException& e, bool md5, bool sha1) {
    if (md5) {
        LogError("\n Exception while calculating MD5-checksum..with error %s:", e.error_message().c_str());
        record.md5 = e.error_message();
    }
    if (sha1) {
        LogError("\n Exception while calculating SHA1-checksum..with error %s:", e.error_message().c_str());
        record.sha1 = e.error_message();
    }
}

std::string withoutTrailingSeparator(const std::string& path) {
    std::string p = path;
    if (!p.empty() && p.back() == '\\') p.pop_back();
    return p;
}

}  // namespace

void setChecksumSwitch() {
    std::lock_guard<std::mutex> lock(checksumMutex);
    checksumsOn = true;
}

bool checksumSwitch() {
    std::lock_guard<std::mutex> lock(checksumMutex);
    return checksumsOn;
}

void resetChecksumSwitch() {
    std::lock_guard<std::mutex> lock(checksumMutex);
    checksumsOn = false;
}

std::string escapeForDatabase(const std::string& text) {
    if (DatabaseFlag() == 1) return text;
    std::string out;
    out.reserve(text.size() + 8);
    for (char c : text) {
        out += c;
        if (c == '\\') out += '\\';
    }
    return out;
}

// ---------------------------------------------------------------- checksums

void computeChecksums(FileAttributeRecord& record) {
    try {
        FileDigests digests = hashFileMd5AndSha1(record.path);
        record.md5 = std::move(digests.md5);
        record.sha1 = std::move(digests.sha1);
    } catch (const hlException& e) {
        storeChecksumFailure(record, e, true, true);
    }
}

void computeMd5(FileAttributeRecord& record) {
    try {
        md5wrapper md5;
        record.md5 = md5.getHashFromFile(record.path);
    } catch (const hlException& e) {
        storeChecksumFailure(record, e, true, false);
    }
}

void computeSha1(FileAttributeRecord& record) {
    try {
        sha1wrapper sha1;
        record.sha1 = sha1.getHashFromFile(record.path);
    } catch (const hlException& e) {
        storeChecksumFailure(record, e, false, true);
    }
}

// ---------------------------------------------------------------- WMI, owner, DACL

void queryWmiAttributes(FileAttributeRecord& record) {
    const std::string quoted = wqlQuote(record.path);
    const std::string query = std::string(record.isFile ? "SELECT * FROM CIM_DATAFILE where Name ='"
                                                        : "SELECT * FROM CIM_Directory where Name ='") +
                              quoted + "'";
    WmiUtil wmi;
    int objects = 0;
    if (wmi.connected() && wmi.execQuery(query) == 0)
        while (wmi.nextObjectAttributes(record)) ++objects;
    if (objects == 0) LogError("\nWMI query for file %s failed", quoted.c_str());
}

void FileOwnerInfo(FileAttributeRecord& record) {
    sec::FileHandlePtr handle;
    if (const sec::WinError rc = sec::openForSecurity(record.path, record.isFile == 0, handle)) {
        LogError("\nFileOwnerInfo: Unable to get handle for %s = %d\n", record.path.c_str(), static_cast<int>(rc));
        logWindowsErrorDetails(rc);
        return;
    }
    sec::Sid owner;
    if (const sec::WinError rc = sec::getOwnerSid(*handle, owner)) {
        LogError("\n FileOwnerInfo: GetSecurityInfo for %s error = %d\n", record.path.c_str(),
                 static_cast<int>(rc));
        logWindowsErrorDetails(rc);
        return;
    }
    std::string domain, name;
    const sec::WinError rc = sec::lookupAccountSid(owner, 3000, domain, name);
    if (rc == sec::ERROR_SUCCESS_) {
        record.owner = accountText(domain, name, DatabaseFlag());
    } else if (rc == sec::ERROR_NONE_MAPPED_) {
        LogError("\nFileOwnerInfo:Account owner not found for specified SID.\n");
    } else {
        LogError("\nFileOwnerInfo: Error in LookupAccountSid().\n");
        logWindowsErrorDetails(rc);
    }
}

void GetDACLInfo(FileAttributeRecord& record) {
    const std::string& path = record.path;
    sec::FileHandlePtr handle;
    if (const sec::WinError rc = sec::openForSecurity(path, record.isFile == 0, handle)) {
        LogError("GetDACLInfo: Unable to get handle for %s = %d\n", path.c_str(), static_cast<int>(rc));
        logWindowsErrorDetails(rc);
        record.dacl = std::string("ACLINFO: ") + "ACETYPE: ERROR," + "ACCESS_MASK: ERROR";
        return;
    }
    const std::string failed = std::string("ACLINFO: ") + "ACETYPE: ERROR" + "ACCESS_MASK: ERROR";
    sec::SecurityDescriptor descriptor;
    std::uint32_t needed = 0;
    sec::WinError rc = sec::getUserObjectSecurity(*handle, 0, descriptor, needed);
    if (rc != sec::ERROR_INSUFFICIENT_BUFFER_) {
        LogError("\nGetDACLInfo: error in getting SEC_DESC for file: %s with error %d", path.c_str(),
                 static_cast<int>(rc));
        record.dacl = failed;
        return;
    }
    rc = sec::getUserObjectSecurity(*handle, needed, descriptor, needed);
    if (rc != sec::ERROR_SUCCESS_) {
        LogError("\nGetDACLInfo 2: error in getting SEC_DESC for file: %s with error %d", path.c_str(),
                 static_cast<int>(rc));
        record.dacl = failed;
        return;
    }
    record.dacl = daclTextOfDescriptor(descriptor, path, record.isFile != 0, DatabaseFlag());
}

// ---------------------------------------------------------------- collection

void collectFileAttributes(FileAttributeRecord& record) {
    throwIfFileWorkStopped();
    LogInfo("\nRetrieving File Attributes for : %s", record.path.c_str());
    queryWmiAttributes(record);
    GetDACLInfo(record);
    FileOwnerInfo(record);
    RedirectionOff redirection(record.path, true);
    // Both digests come from one read of the file.
    if (checksumSwitch()) computeChecksums(record);
}

int collectDirectoryAttributes(FileAttributeRecord& record, int mode, std::int64_t locId, std::int64_t templId) {
    LogInfo("\nRetrieving Directory Attributes for : %s ", record.path.c_str());
    DirStats stats;
    if (!getDirStats(record.path + "\\", stats, 0, mode, locId, templId)) {
        record.error = "Unable to locate the directory or access denied";
        return 0;
    }
    record.size = stats.size;
    record.fileCount = stats.fileCount;
    record.folderCount = stats.folderCount;
    queryWmiAttributes(record);
    GetDACLInfo(record);
    FileOwnerInfo(record);
    return 1;
}

namespace {

bool dataSetJobActive() { return collectionFlag() || updateFlag() || newDataFlag(); }

}  // namespace

int getDirStats(const std::string& path, DirStats& stats, int nested, int mode, std::int64_t locId,
                std::int64_t templId) {
    LogInfo("\nDirectory for stats: %s", path.c_str());
    if (nested == 0) stats = DirStats{};
    RedirectionOff redirection(path, false);
    platform::FindData entry;
    platform::FindHandlePtr find = platform::findFirstFile(path + "*", entry);
    if (!find) {
        LogError("\ngetDirStats:: Invalid handle!!");
        return 0;
    }
    const std::string parent = withoutTrailingSeparator(path);
    do {
        throwIfFileWorkStopped();
        if (entry.directory) {
            if (entry.name == "." || entry.name == "..") continue;
            ++stats.folderCount;
            if (dataSetJobActive()) {
                FileAttributeRecord record;
                record.path = path + entry.name;
                record.isFile = 0;
                record.LOC_ID = locId;
                record.TEMPL_ID = templId;
                queryWmiAttributes(record);
                GetDACLInfo(record);
                FileOwnerInfo(record);
                DirStats own;
                getFileAndFolderCount(record.path, own, 0);
                record.size = own.size;
                record.fileCount = own.fileCount;
                record.folderCount = own.folderCount;
                TreeViewEntry tree;
                tree.path = escapeForDatabase(record.path);
                tree.parentPath = escapeForDatabase(parent);
                tree.isFile = 0;
                tree.hasChild = (own.fileCount != 0 || own.folderCount != 0) ? 1 : 0;
                tree.LOC_ID = locId;
                tree.TEMPL_ID = templId;
                record.path = tree.path;
                handWalkItem(mode, std::move(record), std::move(tree));
            }
            getDirStats(path + entry.name + "\\", stats, 1, mode, locId, templId);
        } else {
            ++stats.fileCount;
            stats.size += static_cast<std::int64_t>(entry.size);
            if (dataSetJobActive()) {
                FileAttributeRecord record;
                record.path = path + entry.name;
                record.isFile = 1;
                record.LOC_ID = locId;
                record.TEMPL_ID = templId;
                collectFileAttributes(record);
                TreeViewEntry tree;
                tree.path = escapeForDatabase(record.path);
                tree.parentPath = escapeForDatabase(parent);
                tree.isFile = 1;
                tree.hasChild = 0;
                tree.LOC_ID = locId;
                tree.TEMPL_ID = templId;
                record.path = tree.path;
                handWalkItem(mode, std::move(record), std::move(tree));
            }
        }
    } while (platform::findNextFile(*find, entry));
    return 1;
}

int getFileAndFolderCount(const std::string& path, DirStats& stats, int nested) {
    if (nested == 0) stats = DirStats{};
    platform::FindData entry;
    platform::FindHandlePtr find = platform::findFirstFile(path + "\\" + "*", entry);
    if (!find) {
        LogError("\ngetFileAndFolderCount: Invalid handle!!");
        return 0;
    }
    do {
        throwIfFileWorkStopped();
        if (entry.directory) {
            if (entry.name == "." || entry.name == "..") continue;
            ++stats.folderCount;
            getFileAndFolderCount(path + "\\" + entry.name, stats, 1);
        } else {
            ++stats.fileCount;
            stats.size += static_cast<std::int64_t>(entry.size);
        }
    } while (platform::findNextFile(*find, entry));
    return 1;
}

void logFileAttributes(const FileAttributeRecord& record) {
    LogTrace("\n file name :%s", record.path.c_str());
    LogTrace("\n version info :%s", record.version.c_str());
    LogTrace("\n vendor info :%s", record.vendor.c_str());
    LogTrace("\n createdtime info :%s", record.createdTime.c_str());
    LogTrace("\n modifiedtime info :%s", record.modifiedTime.c_str());
    LogTrace("\n lastaccesstime info :%s", record.lastAccessTime.c_str());
    LogTrace("\n encrypted info :%s", record.encrypted.c_str());
    LogTrace("\n hidden info :%s", record.hidden.c_str());
    LogTrace("\n compressed info :%s", record.compressed.c_str());
    LogTrace("\n system info :%s", record.system.c_str());
    LogTrace("\n status info :%s", record.status.c_str());
    LogTrace("\n size info :%ld", static_cast<long>(record.size));
}
