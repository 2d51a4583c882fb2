// The process environment on Windows: the block that child processes
// inherit, read and written with the wide calls.
#include "platform/env.h"

#include "platform/win32/win32_util.h"

namespace platform {

namespace {

using win32::widen;

bool validName(const std::string& name) { return !name.empty() && name.find('=') == std::string::npos; }

}  // namespace

std::optional<std::string> getEnvironment(const std::string& name) {
    if (!validName(name)) return std::nullopt;
    const std::wstring wide = widen(name);
    std::wstring value(64, L'\0');
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        const DWORD n = GetEnvironmentVariableW(wide.c_str(), value.data(), static_cast<DWORD>(value.size()));
        if (n == 0) {
            if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
            return std::string();  // set, and empty
        }
        if (n < value.size()) return win32::narrow(value.data(), n);
        value.resize(n);  // n counts the terminating null here
    }
}

bool setEnvironment(const std::string& name, const std::string& value) {
    return validName(name) && SetEnvironmentVariableW(widen(name).c_str(), widen(value).c_str()) != 0;
}

bool unsetEnvironment(const std::string& name) {
    if (!validName(name)) return false;
    return SetEnvironmentVariableW(widen(name).c_str(), nullptr) != 0 || GetLastError() == ERROR_ENVVAR_NOT_FOUND;
}

}  // namespace platform
