#include "agent/server/upgrade.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#if defined(_WIN32)
#include <windows.h>
// after windows.h
#include <fcntl.h>
#include <io.h>
#include <sddl.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "agent/scheduler/scheduler.h"
#include "agent/server/http_client.h"
#include "agent/server/protocol.h"
#include "agent/settings/settings.h"
#include "common/log.h"
#include "common/process_helpers.h"
#include "platform/clock.h"
#include "platform/process.h"

namespace fs = std::filesystem;

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
std::string UpgradeFolder() {
    const char* temp = std::getenv("TEMP");
    return joinPath(temp != nullptr ? temp : "", "OrbiskAgent");
}

namespace {

// Only SYSTEM and the Administrators may use the folder, whoever made it.
bool PrepareUpgradeFolder(const std::string& folder) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)",
                                                              SDDL_REVISION_1, &descriptor, nullptr)) {
        LogError("\n Unable to build the security of %s: %lu", folder.c_str(), GetLastError());
        return false;
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    bool ok = CreateDirectoryA(folder.c_str(), &attributes) != 0;
    if (!ok && GetLastError() == ERROR_ALREADY_EXISTS)
        ok = SetFileSecurityA(folder.c_str(), DACL_SECURITY_INFORMATION, descriptor) != 0;
    if (!ok) LogError("\n Upgrade folder %s cannot be made private (%lu); upgrade skipped", folder.c_str(),
                      GetLastError());
    LocalFree(descriptor);
    return ok;
}

// Creates the file anew; a file left there is removed first.
std::FILE* createRenovoFile(const std::string& path) {
    DeleteFileA(path.c_str());
    const int fd = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0) {
        LogError("\n Unable to create %s: %s", path.c_str(), std::strerror(errno));
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, "wb");
    if (!file) _close(fd);
    return file;
}

bool makeRenovoRunnable(std::FILE*) { return true; }
bool isTheDownloadedRenovo(const std::string&) { return true; }

}  // namespace
#else
// Under the install directory, where only root may write: a shared temporary
// folder would let any local user place or swap the program that root runs.
std::string UpgradeFolder() { return AgentInstallDir() + "OrbiskAgent"; }

namespace {

// The file written by the last download (device and inode), started only if
// the path still names it.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
};
FileIdentity g_downloaded;

// The folder is made 0700; one that exists must be a real folder of ours
// that nobody else may write, in a parent that nobody else may write either.
bool PrepareUpgradeFolder(const std::string& folder) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        LogError("\n Unable to create %s: %s", folder.c_str(), std::strerror(errno));
        return false;
    }
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() ||
        (info.st_mode & 077) != 0) {
        LogError("\n Upgrade folder %s is not a private folder of this user (owner %ld, mode %03o); "
                 "upgrade skipped",
                 folder.c_str(), static_cast<long>(info.st_uid), static_cast<unsigned>(info.st_mode & 07777));
        return false;
    }
    const std::string parent = fs::path(folder).parent_path().string();
    struct stat above {};
    if (::stat(parent.c_str(), &above) != 0 || (above.st_mode & 022) != 0 ||
        (above.st_uid != ::geteuid() && above.st_uid != 0)) {
        LogError("\n Upgrade folder %s lies in a folder that others may write; upgrade skipped", folder.c_str());
        return false;
    }
    return true;
}

// Never through a link, never into a file someone else placed: an old file is
// removed and the new one must be created here and now.
std::FILE* createRenovoFile(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        LogError("\n Unable to remove the old %s: %s", path.c_str(), std::strerror(errno));
        return nullptr;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        LogError("\n Unable to create %s: %s", path.c_str(), std::strerror(errno));
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd, "wb");
    if (!file) ::close(fd);
    return file;
}

bool makeRenovoRunnable(std::FILE* file) {
    struct stat info {};
    if (::fchmod(::fileno(file), 0700) != 0 || ::fstat(::fileno(file), &info) != 0) return false;
    g_downloaded = {info.st_dev, info.st_ino};
    return true;
}

bool isTheDownloadedRenovo(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() &&
           info.st_dev == g_downloaded.device && info.st_ino == g_downloaded.inode &&
           (info.st_mode & 07777) == 0700;
}

}  // namespace
#endif

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
    if (!ok) std::remove(target.c_str());
    return ok ? 0 : 1;
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
