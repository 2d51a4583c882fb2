#include "agent/store/transfer.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "agent/scheduler/scheduler.h"
#include "agent/server/http_client.h"
#include "agent/server/protocol.h"
#include "agent/service/settings.h"
#include "agent/store/data_files.h"
#include "agent/store/event_store.h"
#include "agent/store/zip_directory.h"
#include "common/log.h"
#include "platform/clock.h"

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

// Zips serverdata/, uploads the zip and deletes exactly the files that went
// into it once the server has them. A zip that could not take every file is
// not sent: the files stay whole for the next transfer.
void zipAndUpload(const std::string& zipName) {
    std::vector<std::string> zipped;
    if (zipDirectory(kServerDataDir, zipName, &zipped) != 1) {
        LogError("\n Could not zip %s completely; the data files stay for the next transfer",
                 kServerDataDir);
        std::remove(zipName.c_str());
        return;
    }
    if (HttpUploadFile(RequestUrl<Request::Upload>(), zipName) == 0) {
        LogInfo("\n Transfer done. Deleting files");
        for (const std::string& path : zipped) std::remove(path.c_str());
    } else {
        LogInfo("\n Transfer failed. ");
    }
    std::remove(zipName.c_str());
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
    LogInfo("\n Transfer data engaged");
    std::lock_guard dataLock(eventDataMutex);
    std::unique_lock<std::mutex> driveLock;
    if (std::mutex* lock = driveSetLock()) driveLock = std::unique_lock<std::mutex>(*lock);

    if (!ServerIsUp()) {
        LogInfo("\n Server down or no data present.");
        return;
    }
    if (!HaveAgentId()) {
        // The zip is named after the agent and the server files it under
        // that id: until registration has given one, everything waits.
        LogInfo("\n No agent id yet; the data waits for the next transfer.");
        return;
    }
    char zipName[64];
    std::snprintf(zipName, sizeof zipName, "logdata_%lld.zip", static_cast<long long>(AgentId()));

    if (countCurrentEvents() > 0) {
        LogInfo("\n Zip Name: %s", zipName);
        rotateAndAggregate();
        zipAndUpload(zipName);
    } else if (serverDataLeft()) {
        // No new events, but an earlier upload failed: send what it left
        // rather than let it wait for the next event (or be dropped by a
        // restart).
        LogInfo("\n Data files left by an earlier transfer; sending them");
        LogInfo("\n Zip Name: %s", zipName);
        zipAndUpload(zipName);
    } else {
        LogInfo("\n Server down or no data present.");
    }
}
