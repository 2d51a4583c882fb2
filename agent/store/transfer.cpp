#include "agent/store/transfer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
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
    std::error_code ec;
    for (const char* path : {kRawLogsFilePath, kAggregateFilePath})
        if (std::filesystem::file_size(path, ec) > 0 && !ec) return true;
    return false;
}

// Removes the waiting folder once it is empty.
void removeSendingDirIfEmpty() {
    std::error_code ec;
    if (std::filesystem::is_empty(kSendingDir, ec) && !ec) std::filesystem::remove(kSendingDir, ec);
}

std::string sendingPath(const std::string& dataPath) {
    return kSendingDir + std::filesystem::path(dataPath).filename().string();
}

// Puts the files of an upload that failed (or was cut short by a stop or a
// crash) back into serverdata/, before what collectors wrote meanwhile, so
// the next zip holds both in their order. The caller holds eventDataMutex.
void restoreSendingFiles() {
    std::error_code ec;
    if (!std::filesystem::is_directory(kSendingDir, ec)) return;
    for (const auto& entry : std::filesystem::directory_iterator(kSendingDir, ec)) {
        const std::string waiting = entry.path().string();
        const std::string target = kServerDataDir + entry.path().filename().string();
        if (std::filesystem::exists(target, ec) && !appendFileTo(target, waiting)) {
            LogError("\n Could not join %s to %s: %s; both are kept", target.c_str(), waiting.c_str(),
                     std::strerror(errno));
            continue;
        }
        std::filesystem::rename(waiting, target, ec);
        if (ec) LogError("\n Could not move %s back to %s: %s", waiting.c_str(), target.c_str(), ec.message().c_str());
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
        std::remove(zipName.c_str());
        return false;
    }
    std::error_code ec;
    std::filesystem::create_directories(kSendingDir, ec);
    for (const std::string& path : zipped) {
        const std::string aside = sendingPath(path);
        std::filesystem::rename(path, aside, ec);
        if (ec) {
            // A file that cannot wait aside would be sent twice: this zip
            // is not sent, and everything stays for the next transfer.
            LogError("\n Could not move %s aside for the upload: %s", path.c_str(), ec.message().c_str());
            restoreSendingFiles();
            std::remove(zipName.c_str());
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
        for (const std::string& path : moved) std::remove(path.c_str());
        std::lock_guard dataLock(eventDataMutex);
        removeSendingDirIfEmpty();
    } else {
        LogInfo("\n Transfer failed. ");
        std::lock_guard dataLock(eventDataMutex);
        restoreSendingFiles();
        // What the refused upload carried waits in serverdata/ again.
        recordStagedFiles(DataSet::Events, kServerDataDir);
    }
    std::remove(zipName.c_str());
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
