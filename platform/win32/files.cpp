// Directory listings and file reads on Windows: the calls themselves.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/files.h"

namespace platform {

namespace {

std::wstring widen(const std::string& utf8) {
    if (utf8.empty()) return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

std::string narrow(const wchar_t* text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return std::string();
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(n - 1));
    return out;
}

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
    out.directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    out.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace

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
    return FilePtr(_wfopen(widen(path).c_str(), L"rb"));
}

}  // namespace platform
