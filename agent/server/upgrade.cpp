#include "agent/server/upgrade.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "agent/scheduler/scheduler.h"
#include "agent/server/http_client.h"
#include "agent/server/protocol.h"
#include "agent/service/settings.h"
#include "common/log.h"
#include "common/process_helpers.h"
#include "platform/clock.h"

namespace fs = std::filesystem;

namespace {

constexpr std::int32_t kUpgradeCheckSeconds = 5400;
constexpr const char* kRenovoName = "Renovo.exe";
constexpr const char* kRenovoLibraries[] = {"libcurl.dll", "libeay32.dll", "ssleay32.dll"};

std::string joinPath(const std::string& folder, const std::string& name) {
    return folder + kPathSeparator + name;
}

// Windows command-line quoting for a program path (no trailing backslash in
// our paths, so a plain pair of quotes is enough).
std::string quoted(const std::string& path) { return "\"" + path + "\""; }

}  // namespace

std::string UpgradeFolder() {
    const char* temp = std::getenv("TEMP");
#if !defined(_WIN32)
    if (temp == nullptr || *temp == '\0') temp = std::getenv("TMPDIR");
    if (temp == nullptr || *temp == '\0') temp = "/tmp";
#endif
    return joinPath(temp != nullptr ? temp : "", "OrbiskAgent");
}

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
    if (HttpGetToFile(RequestUrl<Request::RenovoDownload>(), target) != 0) return 1;
#if !defined(_WIN32)
    std::error_code error;
    fs::permissions(target, fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                    fs::perm_options::add, error);
    if (error) {
        LogError("\n Unable to make %s executable: %s", target.c_str(), error.message().c_str());
        return 1;
    }
#endif
    return 0;
}

void CopyRenovoLibraries(const std::string& installDir, const std::string& upgradeFolder) {
    for (const char* library : kRenovoLibraries) {
        // The install directory ends in a separator, so the source path holds
        // a doubled one, which the platform accepts.
        const std::string source = installDir + kPathSeparator + "bin" + kPathSeparator + library;
        const std::string target = joinPath(upgradeFolder, library);
        std::error_code error;
        fs::copy_file(source, target, fs::copy_options::overwrite_existing, error);
        if (error) LogError("\n Failed to Copy : %s", source.c_str());
    }
}

void StartUpgrade(const std::string& serverVersion) {
    const std::string folder = UpgradeFolder();
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) LogError("\n Unable to create %s: %s", folder.c_str(), error.message().c_str());

    const bool downloaded = DownloadRenovo(folder) == 0;
    if (!downloaded) LogError("\n Download Renovo failed..");
    const std::string installDir = AgentInstallDir();
    CopyRenovoLibraries(installDir, folder);

    // The downloaded program is started by its path: a bare "Renovo.exe"
    // would be searched in the working directory and PATH, not in the
    // upgrade folder it was downloaded to. When the download failed the bare
    // name still finds a copy that the installation may have placed.
    const std::string workingDirectory = installDir + kPathSeparator + "bin";
    const std::string program = downloaded ? quoted(joinPath(folder, kRenovoName)) : kRenovoName;
    const std::string commandLine = program + " " + serverVersion;
    LogError("\n Calling Renovo");
    std::string remarks;
    execute(workingDirectory.c_str(), commandLine.c_str(), &remarks, 0, true, MessageLayout::Agent);
}

#if defined(_WIN32)
namespace {

using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
using Wow64DisableFn = BOOL(WINAPI*)(PVOID*);
using Wow64RevertFn = BOOL(WINAPI*)(PVOID);

struct Redirection {
    bool lookedUp = false;
    IsWow64ProcessFn isWow64Process = nullptr;
    Wow64DisableFn disable = nullptr;
    Wow64RevertFn revert = nullptr;
    std::int32_t off = 0;
    PVOID oldValue = nullptr;
};

Redirection& redirection() {
    static Redirection r;
    if (!r.lookedUp) {
        if (HMODULE kernel = GetModuleHandleA("kernel32")) {
            r.isWow64Process = reinterpret_cast<IsWow64ProcessFn>(
                reinterpret_cast<void*>(GetProcAddress(kernel, "IsWow64Process")));
            r.disable = reinterpret_cast<Wow64DisableFn>(
                reinterpret_cast<void*>(GetProcAddress(kernel, "Wow64DisableWow64FsRedirection")));
            r.revert = reinterpret_cast<Wow64RevertFn>(
                reinterpret_cast<void*>(GetProcAddress(kernel, "Wow64RevertWow64FsRedirection")));
        }
        r.lookedUp = true;
    }
    return r;
}

}  // namespace

bool IsWow64() {
    auto& r = redirection();
    BOOL wow64 = FALSE;
    return r.isWow64Process && r.isWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

bool DisableFsRedirection() {
    auto& r = redirection();
    if (r.off == 0 && r.disable) r.off = r.disable(&r.oldValue) ? 1 : 0;
    return r.off != 0;
}

bool RevertFsRedirection() {
    auto& r = redirection();
    if (r.off == 0) return true;
    const bool reverted = r.revert && r.revert(r.oldValue);
    if (reverted) r.off = 0;
    return reverted;
}
#else
bool IsWow64() { return false; }
bool DisableFsRedirection() { return true; }
bool RevertFsRedirection() { return true; }
#endif
