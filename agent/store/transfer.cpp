#include "agent/store/transfer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "agent/scheduler/scheduler.h"
#include "agent/server/http_client.h"
#include "agent/server/protocol.h"
#include "agent/settings/settings.h"
#include "agent/store/data_files.h"
#include "agent/store/event_store.h"
#include "agent/store/transfer_pipeline.h"
#include "agent/store/zip_directory.h"
#include "common/log.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/private_files.h"

namespace {

constexpr std::int32_t kTransferIntervalSeconds = 180;

std::mutex g_driveSetLockGuard;
std::mutex* g_driveSetLock = nullptr;

std::mutex* driveSetLock() {
    std::lock_guard lock(g_driveSetLockGuard);
    return g_driveSetLock;
}

// Whether serverdata/ still holds data files, left by an upload that failed.
bool serverDataLeft() {
    for (const char* path : {kRawLogsFilePath, kAggregateFilePath}) {
        platform::FileStatus status;
        if (platform::fileStatus(path, &status) == 0 && status.size > 0) return true;
    }
    return false;
}

// Removes the waiting folder once it is empty.
void removeSendingDirIfEmpty() { platform::removeDirectory(kSendingDir); }

std::string sendingPath(const std::string& dataPath) {
    return kSendingDir + platform::pathLeaf(dataPath);
}

// Puts the files of an upload that failed (or was cut short by a stop or a
// crash) back into serverdata/, before what collectors wrote meanwhile, so
// the next zip holds both in their order. The caller holds eventDataMutex.
void restoreSendingFiles() {
    std::vector<platform::DirectoryEntry> entries;
    if (platform::listDirectory(kSendingDir, &entries) != 0) return;
    for (const platform::DirectoryEntry& entry : entries) {
        const std::string waiting = platform::joinFolderPath(kSendingDir, entry.name);
        const std::string target = kServerDataDir + entry.name;
        if (platform::fileStatus(target, nullptr) == 0 && !appendFileTo(target, waiting)) {
            LogError("\n Could not join %s to %s: %s; both are kept", target.c_str(), waiting.c_str(),
                     std::strerror(errno));
            continue;
        }
        const long moved = platform::renameFile(waiting, target);
        if (moved != 0) LogError("\n Could not move %s back to %s: error %ld", waiting.c_str(), target.c_str(), moved);
    }
    removeSendingDirIfEmpty();
}

// Zips serverdata/ and moves the files that went into the zip aside. A zip
// that could not take every file is not sent: the files stay whole for the
// next transfer. The caller holds eventDataMutex. Gives the moved files.
bool zipServerData(const std::string& zipName, std::vector<std::string>& moved) {
    std::vector<std::string> zipped;
    if (zipDirectory(kServerDataDir, zipName, &zipped) != 1) {
        LogError("\n Could not zip %s completely; the data files stay for the next transfer",
                 kServerDataDir);
        platform::removeFile(zipName);
        return false;
    }
    platform::makeDirectories(kSendingDir);
    for (const std::string& path : zipped) {
        const std::string aside = sendingPath(path);
        const long renamed = platform::renameFile(path, aside);
        if (renamed != 0) {
            // A file that cannot wait aside would be sent twice: this zip
            // is not sent, and everything stays for the next transfer.
            LogError("\n Could not move %s aside for the upload: error %ld", path.c_str(), renamed);
            restoreSendingFiles();
            platform::removeFile(zipName);
            return false;
        }
        moved.push_back(aside);
    }
    return true;
}

// Uploads the zip outside eventDataMutex: a server that accepts and then
// stalls holds up the transfer, not the collectors. Exactly the files that
// went into a successful upload are deleted.
bool uploadServerData(const std::string& zipName, const std::vector<std::string>& moved) {
    const bool uploaded = HttpUploadFile(RequestUrl<Request::Upload>(), zipName) == 0;
    if (uploaded) {
        LogInfo("\n Transfer done. Deleting files");
        for (const std::string& path : moved) platform::removeFile(path);
        std::lock_guard dataLock(eventDataMutex);
        removeSendingDirIfEmpty();
    } else {
        LogInfo("\n Transfer failed. ");
        std::lock_guard dataLock(eventDataMutex);
        restoreSendingFiles();
        // What the refused upload carried waits in serverdata/ again.
        recordStagedFiles(DataSet::Events, kServerDataDir);
    }
    platform::removeFile(zipName);
    if (uploaded) recordStagedFiles(DataSet::Events, kSendingDir);
    return uploaded;
}

// The batch the transfer worker runs: rotation and zip under the locks,
// then the upload outside them.
BatchResult runEventTransfer() {
    LogInfo("\n Transfer data engaged");
    char zipName[64];
    std::vector<std::string> moved;
    {
        std::lock_guard dataLock(eventDataMutex);
        std::unique_lock<std::mutex> driveLock;
        if (std::mutex* lock = driveSetLock()) driveLock = std::unique_lock<std::mutex>(*lock);
        restoreSendingFiles();

        if (!ServerIsUp()) {
            LogInfo("\n Server down or no data present.");
            return BatchResult::Nothing;
        }
        if (!HaveAgentId()) {
            // The zip is named after the agent and the server files it under
            // that id: until registration has given one, everything waits.
            LogInfo("\n No agent id yet; the data waits for the next transfer.");
            return BatchResult::Nothing;
        }
        std::snprintf(zipName, sizeof zipName, "logdata_%lld.zip", static_cast<long long>(AgentId()));

        if (countCurrentEvents() > 0) {
            LogInfo("\n Zip Name: %s", zipName);
            rotateAndAggregate();
        } else if (serverDataLeft()) {
            // No new events, but an earlier upload failed: send what it left
            // rather than let it wait for the next event (or be dropped by a
            // restart).
            LogInfo("\n Data files left by an earlier transfer; sending them");
            LogInfo("\n Zip Name: %s", zipName);
        } else {
            LogInfo("\n Server down or no data present.");
            return BatchResult::Nothing;
        }
        if (!zipServerData(zipName, moved)) return BatchResult::Failed;
        recordStagedFiles(DataSet::Events, kSendingDir);
    }
    return uploadServerData(zipName, moved) ? BatchResult::Uploaded : BatchResult::Failed;
}

}  // namespace

void setTransferDriveSetLock(std::mutex* lock) {
    std::lock_guard guard(g_driveSetLockGuard);
    g_driveSetLock = lock;
}

int scheduleTransfer() {
    auto repeat = makePeriodic(kTransferIntervalSeconds, kUnitSeconds, -1);
    if (!repeat) {
        LogError("\n Unable to allocate RepeatCondStruct memory ");
        return 0;
    }
    if (!repeat->detail) {
        LogError("\n Error allocating PeriodicStruct");
        return 0;
    }
    const auto firstFire =
        static_cast<std::uint32_t>(platform::nowSeconds() + kTransferIntervalSeconds);
    int id = scheduleEntry("DEFAULT", firstFire, [] { transferEventData(nullptr); },
                           std::move(repeat));
    if (id == 0) {
        LogError("\n Unable to schedule the data transfer");
        return 0;
    }
    return 1;
}

void transferEventData(void* /*userArgument*/) {
    // A batch that still waits for the worker takes the newest data too.
    handOverBatch(DataSet::Events, runEventTransfer);
}
