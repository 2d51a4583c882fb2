// Directory listings and file reads on Windows: the calls themselves.
#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/files.h"
#include "platform/win32/win32_util.h"

namespace platform {

namespace {

using win32::narrow;
using win32::widen;

class Win32FindHandle : public FindHandle {
public:
    explicit Win32FindHandle(HANDLE h) : handle_(h) {}
    ~Win32FindHandle() override { FindClose(handle_); }
    Win32FindHandle(const Win32FindHandle&) = delete;
    Win32FindHandle& operator=(const Win32FindHandle&) = delete;
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

void fill(const WIN32_FIND_DATAW& data, FindData& out) {
    out.name = narrow(data.cFileName);
    // A reparse point (a link, a junction) is listed as itself, never as a
    // folder to walk into.
    out.directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                    (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
    out.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace

bool getFileTimes(const std::string& path, FileTimes* times) {
    // The attributes of a link or junction are its own: nothing is followed.
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(widen(path).c_str(), GetFileExInfoStandard, &data)) return false;
    auto value = [](const FILETIME& t) {
        return static_cast<std::int64_t>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
    };
    times->creation = value(data.ftCreationTime);
    times->lastWrite = value(data.ftLastWriteTime);
    return true;
}

FindHandlePtr findFirstFile(const std::string& pattern, FindData& first, std::uint32_t* error) {
    WIN32_FIND_DATAW data{};
    HANDLE h = FindFirstFileW(widen(pattern).c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) {
        if (error) *error = GetLastError();
        return nullptr;
    }
    if (error) *error = 0;
    fill(data, first);
    return std::make_unique<Win32FindHandle>(h);
}

bool findNextFile(FindHandle& handle, FindData& next) {
    auto* h = dynamic_cast<Win32FindHandle*>(&handle);
    WIN32_FIND_DATAW data{};
    if (!h || !FindNextFileW(h->get(), &data)) return false;
    fill(data, next);
    return true;
}

FilePtr openFileForReading(const std::string& path) {
    // The reparse point itself is opened, and refused: what a link points
    // to is never read through it.
    HANDLE h = CreateFileW(widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        CloseHandle(h);
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(h), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    std::FILE* f = _fdopen(fd, "rb");
    if (!f) _close(fd);
    return FilePtr(f);
}

namespace {

using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
using Wow64DisableFn = BOOL(WINAPI*)(PVOID*);
using Wow64RevertFn = BOOL(WINAPI*)(PVOID);

// The switches, looked up once: they are missing on old or 64-bit-only systems.
struct Redirection {
    IsWow64ProcessFn isWow64Process = nullptr;
    Wow64DisableFn disable = nullptr;
    Wow64RevertFn revert = nullptr;
};

// The redirection is switched per thread.
struct ThreadRedirection {
    bool off = false;
    PVOID oldValue = nullptr;
};
thread_local ThreadRedirection t_redirection;

template <typename Fn>
Fn lookUp(HMODULE module, const char* name) {
    return module ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
}

Redirection& redirection() {
    static Redirection* r = [] {
        auto* made = new Redirection;
        HMODULE kernel = GetModuleHandleW(L"kernel32");
        made->isWow64Process = lookUp<IsWow64ProcessFn>(kernel, "IsWow64Process");
        made->disable = lookUp<Wow64DisableFn>(kernel, "Wow64DisableWow64FsRedirection");
        made->revert = lookUp<Wow64RevertFn>(kernel, "Wow64RevertWow64FsRedirection");
        return made;
    }();
    return *r;
}

}  // namespace

bool isWow64Process() {
    Redirection& r = redirection();
    BOOL wow64 = FALSE;
    return r.isWow64Process && r.isWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

bool disableFsRedirection() {
    ThreadRedirection& t = t_redirection;
    if (!t.off && redirection().disable) t.off = redirection().disable(&t.oldValue) != 0;
    return t.off;
}

bool revertFsRedirection() {
    ThreadRedirection& t = t_redirection;
    if (!t.off) return true;
    if (redirection().revert && redirection().revert(t.oldValue)) t.off = false;
    return !t.off;
}

}  // namespace platform
