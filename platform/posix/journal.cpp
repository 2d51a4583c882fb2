// The change journal service on POSIX systems: volumes, handles, the control
// codes, and the walk that compares a volume with its catalogue.
//
// One Volume object per drive letter lives while handles on it are open. The
// first handle loads the journal file and the catalogue, walks the volume to
// append what changed while nobody watched, and starts the watcher; the last
// handle stops the watcher, closes pending changes and saves the catalogue.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>

#include "platform/clock.h"
#include "platform/posix/journal_test_hooks.h"
#include "platform/posix/journal_volume.h"
#include "platform/volumes.h"

namespace platform {

struct VolumeHandleState {
    std::shared_ptr<usnjournal::Volume> volume;
    ~VolumeHandleState() {
        if (volume) usnjournal::releaseVolume(volume);
    }
};

void VolumeHandleStateDeleter::operator()(VolumeHandleState* state) const { delete state; }

namespace usnjournal {

namespace {

std::mutex gVolumesMutex;
std::map<std::string, std::shared_ptr<Volume>> gVolumes;

// Local file systems whose changes the watchers see completely.
struct FsName {
    std::uint64_t magic;
    const char* name;
    bool journal;
};
const FsName kFileSystems[] = {
    {0xEF53, "EXT4", true},          {0x58465342, "XFS", true},      {0x9123683E, "BTRFS", true},
    {0x01021994, "TMPFS", true},     {0xF2F52010, "F2FS", true},     {0x2FC12FC1, "ZFS", true},
    {0xCA451A4E, "BCACHEFS", true},  {0x3153464A, "JFS", true},      {0x52654973, "REISERFS", true},
    {0x794C7630, "OVERLAY", true},   {0x858458F6, "RAMFS", true},    {0x7366746E, "NTFS", true},
    {0x5346544E, "NTFS", true},      {0x4D44, "FAT32", false},       {0x2011BAB0, "EXFAT", false},
    {0x6969, "NFS", false},          {0xFF534D42, "CIFS", false},    {0xFE534D42, "SMB2", false},
    {0x65735546, "FUSE", false},     {0x9FA0, "PROC", false},        {0x62656572, "SYSFS", false},
    {0x1021994, "TMPFS", true},      {0x64626720, "DEBUGFS", false}, {0x63677270, "CGROUP2", false},
    {0x9660, "ISO9660", false},      {0x15013346, "UDF", false},     {0x73717368, "SQUASHFS", false},
    {0x01161970, "GFS2", false},     {0x5346414F, "AFS", false},     {0x564C, "NCP", false},
    {0x517B, "SMB", false},          {0x00C36400, "CEPH", false},    {0x47504653, "GPFS", false},
};

// The type name of the mount holding `dir`, from /proc/self/mountinfo.
std::string mountTypeOf(const std::string& dir) {
    std::ifstream in("/proc/self/mountinfo");
    std::string line, best, bestType;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, devno, root, mountPoint, options, field;
        fields >> id >> parent >> devno >> root >> mountPoint >> options;
        while (fields >> field && field != "-") {
        }
        std::string type;
        fields >> type;
        const bool holds = mountPoint == "/" || dir == mountPoint ||
                           (dir.size() > mountPoint.size() && dir.compare(0, mountPoint.size(), mountPoint) == 0 &&
                            dir[mountPoint.size()] == '/');
        if (holds && mountPoint.size() >= best.size()) {
            best = mountPoint;
            bestType = type;
        }
    }
    for (char& c : bestType) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return bestType.empty() ? std::string("UNKNOWN") : bestType;
}

// A device path "\\.\C:" gives its letter (upper case).
bool parseDevicePath(const std::string& path, char* letter) {
    if (path.size() != 6 || path.compare(0, 4, "\\\\.\\") != 0 || path[5] != ':' ||
        !std::isalpha(static_cast<unsigned char>(path[4])))
        return false;
    *letter = static_cast<char>(std::toupper(static_cast<unsigned char>(path[4])));
    return true;
}

// A root path "C:\" (or "C:") gives its letter.
bool parseRootPath(const std::string& path, char* letter) {
    if (path.size() < 2 || path.size() > 3 || path[1] != ':' || !std::isalpha(static_cast<unsigned char>(path[0])) ||
        (path.size() == 3 && path[2] != '\\'))
        return false;
    *letter = static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
    return true;
}

long makeDirectories(const std::string& dir) {
    std::string partial;
    for (std::size_t i = 0; i < dir.size(); ++i) {
        partial += dir[i];
        if ((dir[i] == '/' && i > 0) || i + 1 == dir.size()) {
            if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return kErrorAccessDenied;
        }
    }
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || access(dir.c_str(), W_OK) != 0)
        return kErrorAccessDenied;
    return kErrorSuccess;
}

}  // namespace

// ---------------------------------------------------------------- faults
//
// A forced answer comes only from a hook a test installed; the shipped
// program installs none, so each step asks one atomic flag and goes on.
namespace {
std::mutex g_faultHookLock;
JournalFaultHook g_faultHook;
std::atomic<bool> g_faultHookSet{false};
}  // namespace

void setJournalFaultHook(JournalFaultHook hook) {
    std::lock_guard<std::mutex> guard(g_faultHookLock);
    g_faultHookSet = static_cast<bool>(hook);
    g_faultHook = std::move(hook);
}

long injectedFault(const std::string& journalDir, char letter, const std::string& step) {
    if (!g_faultHookSet.load(std::memory_order_acquire)) return kErrorSuccess;
    JournalFaultHook hook;
    {
        std::lock_guard<std::mutex> guard(g_faultHookLock);
        hook = g_faultHook;
    }
    return hook ? hook(journalDir, letter, step) : kErrorSuccess;
}

// ---------------------------------------------------------------- volumes

long acquireVolume(char letter, std::shared_ptr<Volume>* out) {
    std::string dir;
    if (!volumeDirectory(letter, &dir)) return kErrorFileNotFound;
    const std::string journalDir = journalDirectory();
    if (long fault = injectedFault(journalDir, letter, "open")) return fault;
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return kErrorFileNotFound;
    if (long rc = makeDirectories(journalDir)) return rc;
    const std::string key = journalDir + '\n' + std::string(1, letter) + '\n' + dir;
    std::shared_ptr<Volume> volume;
    {
        std::lock_guard<std::mutex> lock(gVolumesMutex);
        auto it = gVolumes.find(key);
        if (it == gVolumes.end()) {
            volume = std::make_shared<Volume>();
            volume->letter = letter;
            volume->directory = dir;
            volume->journalDir = journalDir;
            gVolumes.emplace(key, volume);
        } else {
            volume = it->second;
        }
        ++volume->handles;
    }
    {
        std::lock_guard<std::mutex> lock(volume->openMutex);
        if (!volume->running) {
            const long rc = volume->start();
            if (rc != kErrorSuccess) {
                std::lock_guard<std::mutex> l(gVolumesMutex);
                --volume->handles;
                return rc;
            }
        }
    }
    *out = std::move(volume);
    return kErrorSuccess;
}

void releaseVolume(const std::shared_ptr<Volume>& volume) {
    bool last = false;
    {
        std::lock_guard<std::mutex> lock(gVolumesMutex);
        last = --volume->handles == 0;
    }
    if (!last) return;
    std::lock_guard<std::mutex> lock(volume->openMutex);
    // Another handle may have come in between; it keeps the volume running.
    {
        std::lock_guard<std::mutex> l(gVolumesMutex);
        if (volume->handles != 0) return;
    }
    volume->stop();
}

}  // namespace usnjournal

// ---------------------------------------------------------------- the API

using usnjournal::Volume;

long openVolume(const std::string& devicePath, VolumeHandle* handle) {
    if (!handle) return kErrorInvalidParameter;
    *handle = VolumeHandle();
    char letter = 0;
    if (!usnjournal::parseDevicePath(devicePath, &letter)) return kErrorInvalidParameter;
    std::shared_ptr<Volume> volume;
    if (long rc = usnjournal::acquireVolume(letter, &volume)) return rc;
    auto* state = new VolumeHandleState;
    state->volume = std::move(volume);
    *handle = VolumeHandle(state);
    return kErrorSuccess;
}

long getVolumeFileSystemName(const std::string& rootPath, std::string* fileSystemName) {
    char letter = 0;
    if (!usnjournal::parseRootPath(rootPath, &letter) || !fileSystemName) return kErrorInvalidParameter;
    std::string dir;
    if (!volumeDirectory(letter, &dir)) return kErrorPathNotFound;
    if (long fault = usnjournal::injectedFault(journalDirectory(), letter, "volumeinfo")) return fault;
    struct statfs sf {};
    if (statfs(dir.c_str(), &sf) != 0) return errno == EACCES ? kErrorAccessDenied : kErrorPathNotFound;
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return kErrorPathNotFound;
    const auto magic = static_cast<std::uint64_t>(static_cast<std::uint32_t>(sf.f_type));
    for (const auto& fs : usnjournal::kFileSystems) {
        if (fs.magic == magic) {
            *fileSystemName = fs.journal ? "NTFS" : fs.name;
            return kErrorSuccess;
        }
    }
    *fileSystemName = usnjournal::mountTypeOf(dir);
    return kErrorSuccess;
}

long getFileIndex(const std::string& path, std::uint64_t* fileIndex) {
    if (!fileIndex || path.size() < 2 || path[1] != ':') return kErrorInvalidParameter;
    std::string local;
    if (!localPathOf(path, &local)) return path.find("..") != std::string::npos ? kErrorInvalidParameter
                                                                                 : kErrorPathNotFound;
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
    if (long fault = usnjournal::injectedFault(journalDirectory(), letter, "fileindex")) return fault;
    struct stat st {};
    if (lstat(local.c_str(), &st) != 0) return errno == ENOENT ? kErrorFileNotFound : kErrorPathNotFound;
    std::shared_ptr<Volume> volume;
    if (long rc = usnjournal::acquireVolume(letter, &volume)) return rc;
    const long rc = volume->fileIndexOf(local, st, fileIndex);
    usnjournal::releaseVolume(volume);
    return rc;
}

long deviceIoControl(const VolumeHandle& handle, std::uint32_t controlCode, const void* in, std::uint32_t inSize,
                     void* out, std::uint32_t outSize, std::uint32_t* bytesReturned) {
    std::uint32_t ignored = 0;
    if (!bytesReturned) bytesReturned = &ignored;
    *bytesReturned = 0;
    if (!handle.valid() || !handle.state()->volume) return kErrorInvalidHandle;
    Volume& volume = *handle.state()->volume;
    const char* step = nullptr;
    switch (controlCode) {
        case kFsctlQueryUsnJournal: step = "query"; break;
        case kFsctlCreateUsnJournal: step = "create"; break;
        case kFsctlDeleteUsnJournal: step = "delete"; break;
        case kFsctlReadUsnJournal: step = "read"; break;
        case kFsctlEnumUsnData: step = "enum"; break;
        default: return kErrorInvalidFunction;
    }
    if (long fault = usnjournal::injectedFault(volume.journalDir, volume.letter, step)) return fault;
    auto* output = static_cast<std::uint8_t*>(out);
    switch (controlCode) {
        case kFsctlQueryUsnJournal: {
            if (!out || outSize < sizeof(UsnJournalData)) return kErrorInvalidParameter;
            UsnJournalData data{};
            if (long rc = volume.query(&data)) return rc;
            std::memcpy(out, &data, sizeof data);
            *bytesReturned = sizeof data;
            return kErrorSuccess;
        }
        case kFsctlCreateUsnJournal: {
            if (!in || inSize < sizeof(CreateUsnJournalData)) return kErrorInvalidParameter;
            CreateUsnJournalData data;
            std::memcpy(&data, in, sizeof data);
            return volume.create(data);
        }
        case kFsctlDeleteUsnJournal: {
            if (!in || inSize < sizeof(DeleteUsnJournalData)) return kErrorInvalidParameter;
            DeleteUsnJournalData data;
            std::memcpy(&data, in, sizeof data);
            return volume.remove(data);
        }
        case kFsctlReadUsnJournal: {
            if (!in || inSize < sizeof(ReadUsnJournalData) || !out || outSize < kUsnOutputHeaderSize)
                return kErrorInvalidParameter;
            ReadUsnJournalData data;
            std::memcpy(&data, in, sizeof data);
            return volume.read(data, output, outSize, bytesReturned);
        }
        default: {
            if (!in || inSize < sizeof(MftEnumData) || !out || outSize < kUsnOutputHeaderSize)
                return kErrorInvalidParameter;
            MftEnumData data;
            std::memcpy(&data, in, sizeof data);
            return volume.enumerate(data, output, outSize, bytesReturned);
        }
    }
}

namespace {

void writeToStandardError(const char* message) { std::fputs(message, stderr); }

std::mutex gSinkMutex;
JournalDiagnosticSink gSink = writeToStandardError;

}  // namespace

void setJournalDiagnosticSink(JournalDiagnosticSink sink) {
    std::lock_guard<std::mutex> lock(gSinkMutex);
    gSink = sink;
}

void usnjournal::reportDiagnostic(const std::string& message) {
    JournalDiagnosticSink sink;
    {
        std::lock_guard<std::mutex> lock(gSinkMutex);
        sink = gSink;
    }
    if (sink) sink(message.c_str());
}

long flushVolumeWatcher(const VolumeHandle& handle) {
    if (!handle.valid() || !handle.state()->volume) return kErrorInvalidHandle;
    handle.state()->volume->flushWatcher();
    return kErrorSuccess;
}

long queryVolumeWatchState(const VolumeHandle& handle, VolumeWatchState* state) {
    *state = VolumeWatchState{};
    if (!handle.valid() || !handle.state()->volume) return kErrorInvalidHandle;
    const auto& volume = *handle.state()->volume;
    state->itemsWatched = static_cast<std::int64_t>(volume.itemsWatched.load(std::memory_order_relaxed));
    state->unwatchedFolders = volume.unwatchedFolders.load(std::memory_order_relaxed);
    return kErrorSuccess;
}

}  // namespace platform
