// Test-only: the Windows calls the journal backend makes on a volume. A
// contract test under wine, which reaches no NTFS volume, puts a stand-in in
// their place that answers as Windows does; the shipped agent never sets
// them. A null member keeps the real call.
#pragma once

#include <windows.h>

namespace platform::win32 {

struct VolumeCalls {
    HANDLE(WINAPI* createFile)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) = nullptr;
    BOOL(WINAPI* deviceIoControl)(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) = nullptr;
    BOOL(WINAPI* getFileInformationByHandle)(HANDLE, LPBY_HANDLE_FILE_INFORMATION) = nullptr;
};

// Replaces the calls for every later journal and volume call of the process
// (VolumeCalls{} gives the real ones back).
void setVolumeCallsForTests(const VolumeCalls& calls);

}  // namespace platform::win32
