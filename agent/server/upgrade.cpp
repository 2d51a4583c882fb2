#include "agent/server/upgrade.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "agent/scheduler/scheduler.h"
#include "agent/server/http_client.h"
#include "agent/server/protocol.h"
#include "agent/settings/settings.h"
#include "common/log.h"
#include "common/process_helpers.h"
#include "platform/clock.h"
#include "platform/env.h"
#include "platform/files.h"
#include "platform/fs.h"
#include "platform/private_files.h"
#include "platform/process.h"

namespace {

constexpr std::int32_t kUpgradeCheckSeconds = 5400;
constexpr const char* kRenovoName = "Renovo.exe";
constexpr const char* kRenovoLibraries[] = {"libcurl.dll", "libeay32.dll", "ssleay32.dll"};
// The upgrade program is small; a larger or endless answer is not it.
constexpr std::int64_t kRenovoMaxBytes = std::int64_t{64} << 20;
constexpr long kRenovoDownloadSeconds = 600;

std::string joinPath(const std::string& folder, const std::string& name) {
    return folder + kPathSeparator + name;
}

// Windows command-line quoting for a program path (no trailing backslash in
// our paths, so a plain pair of quotes is enough).
std::string quoted(const std::string& path) { return "\"" + path + "\""; }

}  // namespace

#if defined(_WIN32)
std::string UpgradeFolder() { return joinPath(platform::getEnvironment("TEMP").value_or(""), "OrbiskAgent"); }
#else
// Under the install directory, where only root may write: a shared temporary
// folder would let any local user place or swap the program that root runs.
std::string UpgradeFolder() { return AgentInstallDir() + "OrbiskAgent"; }
#endif

namespace {

// The file written by the last download, started only if the path still
// names it.
platform::ProgramFileId g_downloaded;

bool PrepareUpgradeFolder(const std::string& folder) {
    std::string problem;
    if (platform::prepareProgramFolder(folder, &problem)) return true;
    LogError("\n Upgrade folder %s %s; upgrade skipped", folder.c_str(), problem.c_str());
    return false;
}

std::FILE* createRenovoFile(const std::string& path) {
    std::string problem;
    std::FILE* file = platform::createProgramFile(path, &problem);
    if (!file) LogError("\n Unable to create %s: %s", path.c_str(), problem.c_str());
    return file;
}

bool makeRenovoRunnable(std::FILE* file) { return platform::sealProgramFile(file, &g_downloaded); }

bool isTheDownloadedRenovo(const std::string& path) { return platform::isSameProgramFile(path, g_downloaded); }

}  // namespace

bool ScheduleUpgradeCheck() {
    LogError("\n Scheduling Upgrade Check...");
    auto condition = makePeriodic(kUpgradeCheckSeconds, kUnitSeconds, -1);
    if (!condition) {
        LogError("\n Unable to allocate RepeatCondStruct memory");
        return false;
    }
    if (!condition->detail) {
        LogError("\n Unable to allocate PeriodicStruct memory");
        return false;
    }
    const auto now = static_cast<std::uint32_t>(platform::nowSeconds());
    if (scheduleEntry("DEFAULT", now, [] { UpgradeCheck(); }, std::move(condition)) == 0) {
        LogError("\n Unable to schedule the upgrade check");
        return false;
    }
    return true;
}

void UpgradeCheck() {
    ResponseBuffer response;
    if (HttpGetToBuffer(RequestUrl<Request::Version>(), response) != 0) {
        LogError("\n Error while getting version.");
        return;
    }
    const std::string serverVersion = response.data.c_str();
    const std::string agentVersion = GetAgentSetting("AgentVersion").value_or("");
    LogError("\n Current version: %s, Version in server: %s", agentVersion.c_str(),
             serverVersion.c_str());
    // An empty answer names no version: there is nothing to upgrade to.
    if (serverVersion.empty()) {
        LogError("\n Server sent no version; upgrade skipped");
        return;
    }
    if (serverVersion != agentVersion) StartUpgrade(serverVersion);
}

int DownloadRenovo(const std::string& upgradeFolder) {
    const std::string target = joinPath(upgradeFolder, kRenovoName);
    std::FILE* file = createRenovoFile(target);
    if (!file) return 1;
    bool ok = HttpGetToStream(RequestUrl<Request::RenovoDownload>(), file, kRenovoMaxBytes,
                              kRenovoDownloadSeconds) == 0;
    if (ok && !makeRenovoRunnable(file)) {
        LogError("\n Unable to make %s executable: %s", target.c_str(), std::strerror(errno));
        ok = false;
    }
    if (std::fclose(file) != 0) ok = false;
    // Half a program is never left to be started later.
    if (!ok) platform::removeFile(target);
    return ok ? 0 : 1;
}

void CopyRenovoLibraries(const std::string& installDir, const std::string& upgradeFolder) {
    for (const char* library : kRenovoLibraries) {
        // The install directory ends in a separator, so the source path holds
        // a doubled one, which the platform accepts.
        const std::string source = installDir + kPathSeparator + "bin" + kPathSeparator + library;
        const std::string target = joinPath(upgradeFolder, library);
        if (platform::copyFile(source, target) != 0) LogError("\n Failed to Copy : %s", source.c_str());
    }
}

void StartUpgrade(const std::string& serverVersion) {
    const std::string folder = UpgradeFolder();
    if (!PrepareUpgradeFolder(folder)) return;
    if (DownloadRenovo(folder) != 0) {
        LogError("\n Download Renovo failed..");
        return;
    }
    const std::string installDir = AgentInstallDir();
    CopyRenovoLibraries(installDir, folder);

    // The downloaded program is started by its path, and only while that path
    // still names the file just written. The server's version text is one
    // argument whatever it holds.
    const std::string renovo = joinPath(folder, kRenovoName);
    if (!isTheDownloadedRenovo(renovo)) {
        LogError("\n %s changed after the download; not started", renovo.c_str());
        return;
    }
    const std::string workingDirectory = installDir + kPathSeparator + "bin";
    const std::string commandLine = quoted(renovo) + " " + platform::quoteCommandWord(serverVersion);
    LogError("\n Calling Renovo");
    std::string remarks;
    execute(workingDirectory.c_str(), commandLine.c_str(), &remarks, 0, true, MessageLayout::Agent);
}

bool IsWow64() { return platform::isWow64Process(); }
bool DisableFsRedirection() { return platform::disableFsRedirection(); }
bool RevertFsRedirection() { return platform::revertFsRedirection(); }
