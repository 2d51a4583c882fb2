// The last system error on Windows: GetLastError and FormatMessageW.
#include "platform/errors.h"

#include "platform/win32/win32_util.h"

namespace platform {

long lastSystemError() { return static_cast<long>(GetLastError()); }

void setLastSystemError(long code) { SetLastError(static_cast<DWORD>(code)); }

std::string systemErrorMessage(long code) {
    wchar_t* buffer = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0,
                                   nullptr);
    std::string text = n && buffer ? win32::narrow(buffer, n) : std::string();
    if (buffer) LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return text;
}

}  // namespace platform
