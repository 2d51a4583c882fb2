// The registry through the Windows API (wide-character calls); texts cross
// the boundary as UTF-8.
#include "platform/registry.h"

#include <windows.h>

#include <mutex>
#include <vector>

#include "platform/registry_codec.h"
#include "platform/win32/win32_util.h"

namespace platform {

struct RegistryKeyHandle {
    HKEY key = nullptr;
};

namespace {

std::mutex gErrorMutex;
std::string gLastError;

using win32::narrow;
using win32::widen;

void closeKey(RegistryKeyHandle* handle) {
    if (handle && handle->key) RegCloseKey(handle->key);
    delete handle;
}

REGSAM samOf(RegistryAccess access) {
    switch (access) {
        case RegistryAccess::Read:
            return KEY_READ;
        case RegistryAccess::QueryValue:
            return KEY_QUERY_VALUE;
        case RegistryAccess::AllAccess:
            return KEY_ALL_ACCESS;
    }
    return KEY_READ;
}

long remember(long rc, const std::string& what) {
    if (rc != ERROR_SUCCESS) {
        std::lock_guard<std::mutex> lock(gErrorMutex);
        gLastError = what + ": error " + std::to_string(rc);
    }
    return rc;
}

}  // namespace

long regOpenKey(RegistryRoot, const std::string& path, RegistryAccess access, RegistryKey* key) {
    if (!key) return kErrorInvalidParameter;
    HKEY h = nullptr;
    long rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, widen(path).c_str(), 0, samOf(access), &h);
    if (rc != ERROR_SUCCESS) return remember(rc, "HKEY_LOCAL_MACHINE\\" + path);
    *key = RegistryKey(new RegistryKeyHandle{h}, &closeKey);
    return kErrorSuccess;
}

long regCreateKey(RegistryRoot, const std::string& path, RegistryKey* key, bool* created) {
    HKEY h = nullptr;
    DWORD disposition = 0;
    long rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, widen(path).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &h, &disposition);
    if (rc != ERROR_SUCCESS) return remember(rc, "HKEY_LOCAL_MACHINE\\" + path);
    if (created) *created = disposition == REG_CREATED_NEW_KEY;
    RegistryKey made(new RegistryKeyHandle{h}, &closeKey);
    if (key) *key = std::move(made);
    return kErrorSuccess;
}

long regQueryValueCount(const RegistryKey& key, std::uint32_t* count) {
    if (!key) return kErrorInvalidHandle;
    DWORD values = 0;
    long rc = RegQueryInfoKeyW(key->key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                               nullptr, nullptr, nullptr);
    if (rc == ERROR_SUCCESS && count) *count = values;
    return rc;
}

long regEnumValue(const RegistryKey& key, std::uint32_t index, RegistryValue* value, std::size_t nameCapacity,
                  std::size_t dataCapacity) {
    if (!key) return kErrorInvalidHandle;
    if (!value) return kErrorInvalidParameter;
    std::vector<wchar_t> name(nameCapacity ? nameCapacity : 1);
    std::vector<BYTE> data(dataCapacity * 2 + 2);  // wide text needs up to twice the bytes
    DWORD nameLength = static_cast<DWORD>(name.size());
    DWORD dataLength = static_cast<DWORD>(data.size());
    DWORD type = 0;
    long rc = RegEnumValueW(key->key, index, name.data(), &nameLength, nullptr, &type, data.data(), &dataLength);
    if (rc != ERROR_SUCCESS) return rc;
    RegistryValue v;
    v.name = narrow(name.data(), nameLength);
    v.type = type;
    v.data = registryDataFromUtf16(type, std::string_view(reinterpret_cast<const char*>(data.data()), dataLength));
    if (v.data.size() + (isRegistryTextType(type) ? 1 : 0) > dataCapacity) return kErrorMoreData;
    *value = std::move(v);
    return kErrorSuccess;
}

long regQueryValue(const RegistryKey& key, const std::string& name, RegistryValue* value) {
    if (!key) return kErrorInvalidHandle;
    std::wstring wideName = widen(name);
    std::vector<BYTE> data(256);
    DWORD type = 0;
    DWORD length = static_cast<DWORD>(data.size());
    long rc;
    while ((rc = RegQueryValueExW(key->key, wideName.c_str(), nullptr, &type, data.data(), &length)) ==
           ERROR_MORE_DATA) {
        data.resize(length);
    }
    if (rc != ERROR_SUCCESS) return rc;
    if (value) {
        value->name = name;
        value->type = type;
        value->data = registryDataFromUtf16(type, std::string_view(reinterpret_cast<const char*>(data.data()), length));
    }
    return kErrorSuccess;
}

long regSetValue(const RegistryKey& key, const std::string& name, std::uint32_t type, const std::string& data) {
    if (!key) return kErrorInvalidHandle;
    std::string bytes = registryDataToUtf16(type, data);
    return RegSetValueExW(key->key, widen(name).c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                          static_cast<DWORD>(bytes.size()));
}

std::string lastRegistryError() {
    std::lock_guard<std::mutex> lock(gErrorMutex);
    return gLastError;
}

std::string registryLocation() { return "the registry"; }

}  // namespace platform
