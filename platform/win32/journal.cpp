// The change journal through the Windows I/O controls: CreateFileW on the
// volume, DeviceIoControl with the caller's structures and buffers, and
// GetLastError() as the result of every failed call.
#include "platform/journal.h"

#include <windows.h>
#include <winioctl.h>

#include <mutex>

#include "platform/win32/journal_test_hooks.h"
#include "platform/win32/win32_util.h"

namespace platform {

struct VolumeHandleState {
    HANDLE handle = INVALID_HANDLE_VALUE;
    ~VolumeHandleState() {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
};

void VolumeHandleStateDeleter::operator()(VolumeHandleState* state) const { delete state; }

namespace {

using win32::widen;

static_assert(sizeof(UsnJournalData) == sizeof(USN_JOURNAL_DATA));
static_assert(sizeof(CreateUsnJournalData) == sizeof(CREATE_USN_JOURNAL_DATA));
static_assert(sizeof(DeleteUsnJournalData) == sizeof(DELETE_USN_JOURNAL_DATA));
static_assert(sizeof(ReadUsnJournalData) == sizeof(READ_USN_JOURNAL_DATA));
static_assert(sizeof(MftEnumData) == sizeof(MFT_ENUM_DATA));
static_assert(kFsctlQueryUsnJournal == FSCTL_QUERY_USN_JOURNAL);
static_assert(kFsctlCreateUsnJournal == FSCTL_CREATE_USN_JOURNAL);
static_assert(kFsctlDeleteUsnJournal == FSCTL_DELETE_USN_JOURNAL);
static_assert(kFsctlReadUsnJournal == FSCTL_READ_USN_JOURNAL);
static_assert(kFsctlEnumUsnData == FSCTL_ENUM_USN_DATA);

std::mutex g_callsLock;
win32::VolumeCalls g_calls;  // under g_callsLock; null members: the real calls

win32::VolumeCalls volumeCalls() {
    std::lock_guard lock(g_callsLock);
    win32::VolumeCalls calls = g_calls;
    if (!calls.createFile) calls.createFile = CreateFileW;
    if (!calls.deviceIoControl) calls.deviceIoControl = DeviceIoControl;
    if (!calls.getFileInformationByHandle) calls.getFileInformationByHandle = GetFileInformationByHandle;
    return calls;
}

}  // namespace

void win32::setVolumeCallsForTests(const VolumeCalls& calls) {
    std::lock_guard lock(g_callsLock);
    g_calls = calls;
}

long openVolume(const std::string& devicePath, VolumeHandle* handle) {
    if (!handle) return kErrorInvalidParameter;
    *handle = VolumeHandle();
    const HANDLE h = volumeCalls().createFile(widen(devicePath).c_str(), GENERIC_READ | GENERIC_WRITE,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return static_cast<long>(GetLastError());
    auto* state = new VolumeHandleState;
    state->handle = h;
    *handle = VolumeHandle(state);
    return kErrorSuccess;
}

long getVolumeFileSystemName(const std::string& rootPath, std::string* fileSystemName) {
    if (!fileSystemName) return kErrorInvalidParameter;
    wchar_t volumeName[MAX_PATH + 1] = {};
    wchar_t fsName[MAX_PATH + 1] = {};
    DWORD serial = 0, maxComponent = 0, flags = 0;
    if (!GetVolumeInformationW(widen(rootPath).c_str(), volumeName, MAX_PATH + 1, &serial, &maxComponent, &flags,
                               fsName, MAX_PATH + 1))
        return static_cast<long>(GetLastError());
    std::u16string name;
    for (const wchar_t* p = fsName; *p; ++p) name.push_back(static_cast<char16_t>(*p));
    *fileSystemName = utf16ToUtf8(name);
    return kErrorSuccess;
}

long getFileIndex(const std::string& path, std::uint64_t* fileIndex) {
    if (!fileIndex) return kErrorInvalidParameter;
    const win32::VolumeCalls calls = volumeCalls();
    const HANDLE h = calls.createFile(widen(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return static_cast<long>(GetLastError());
    BY_HANDLE_FILE_INFORMATION info{};
    const BOOL ok = calls.getFileInformationByHandle(h, &info);
    const DWORD error = ok ? 0 : GetLastError();
    CloseHandle(h);
    if (!ok) return static_cast<long>(error);
    *fileIndex = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return kErrorSuccess;
}

long deviceIoControl(const VolumeHandle& volume, std::uint32_t controlCode, const void* in, std::uint32_t inSize,
                     void* out, std::uint32_t outSize, std::uint32_t* bytesReturned) {
    std::uint32_t ignored = 0;
    if (!bytesReturned) bytesReturned = &ignored;
    *bytesReturned = 0;
    if (!volume.valid()) return kErrorInvalidHandle;
    DWORD returned = 0;
    if (!volumeCalls().deviceIoControl(volume.state()->handle, controlCode, const_cast<void*>(in), inSize, out,
                                       outSize, &returned, nullptr))
        return static_cast<long>(GetLastError());
    *bytesReturned = returned;
    return kErrorSuccess;
}

long flushVolumeWatcher(const VolumeHandle& volume) {
    // NTFS writes its records itself; there is nothing to wait for.
    return volume.valid() ? kErrorSuccess : kErrorInvalidHandle;
}

void setJournalDiagnosticSink(JournalDiagnosticSink) {}

}  // namespace platform
