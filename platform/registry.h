// Registry service: keys under HKEY_LOCAL_MACHINE with REG_SZ and REG_DWORD
// values, reported with Windows result codes.
//
// The POSIX backend keeps the registry in one text file in the Windows .reg
// export format (path from ORBISK_REGISTRY, default /etc/orbisk/registry.reg).
// Key paths compare case-insensitively and accept a trailing backslash.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// Windows result codes used by the registry and process services.
constexpr long kErrorSuccess = 0;
constexpr long kErrorFileNotFound = 2;
constexpr long kErrorAccessDenied = 5;
constexpr long kErrorInvalidHandle = 6;
constexpr long kErrorInvalidData = 13;
constexpr long kErrorInvalidParameter = 87;
constexpr long kErrorMoreData = 234;
constexpr long kErrorNoMoreItems = 259;
constexpr long kErrorBadDatabase = 1009;  // ERROR_BADDB: the registry file is malformed

// Value types.
constexpr std::uint32_t kRegNone = 0;
constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegExpandSz = 2;
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;
constexpr std::uint32_t kRegMultiSz = 7;

// Root keys; only HKEY_LOCAL_MACHINE is used by the system.
enum class RegistryRoot { LocalMachine };

// Access asked for when opening a key.
enum class RegistryAccess { Read, QueryValue, AllAccess };

struct RegistryValue {
    std::string name;
    std::uint32_t type = kRegNone;
    std::string data;  // REG_SZ: the text (UTF-8, no terminator); REG_DWORD: 4 bytes little-endian
};

// An open key. Closing is done by the destructor.
struct RegistryKeyHandle;
using RegistryKey = std::unique_ptr<RegistryKeyHandle, void (*)(RegistryKeyHandle*)>;

// Opens an existing key. On success *key holds it and 0 is returned;
// 2 when the key does not exist, 5 when the store cannot be read, 1009 when
// it is malformed (the error names the file and line, see lastRegistryError()).
long regOpenKey(RegistryRoot root, const std::string& path, RegistryAccess access,
                RegistryKey* key);
// Creates the key (and its parents) or opens it. *created tells which.
long regCreateKey(RegistryRoot root, const std::string& path, RegistryKey* key, bool* created);
// Number of values of the key.
long regQueryValueCount(const RegistryKey& key, std::uint32_t* count);
// The value at an index (in the order of the file); 259 past the end.
// nameCapacity and dataCapacity are the caller's buffer sizes in bytes:
// a name or data that does not fit gives 234 (ERROR_MORE_DATA).
long regEnumValue(const RegistryKey& key, std::uint32_t index, RegistryValue* value,
                  std::size_t nameCapacity = 16384, std::size_t dataCapacity = 16384);
// One value by name ("" is the key's default value); 2 when absent.
long regQueryValue(const RegistryKey& key, const std::string& name, RegistryValue* value);
// Sets a value (creating or replacing it); the write reaches the store at once.
long regSetValue(const RegistryKey& key, const std::string& name, std::uint32_t type,
                 const std::string& data);

// The text of the last failure to read the store (file and line), for messages.
std::string lastRegistryError();
// Where the store is, for messages: the registry file, or "the registry".
std::string registryLocation();

// Helpers for REG_DWORD data.
std::string dwordData(std::uint32_t value);
std::uint32_t dwordValue(const std::string& data);

}  // namespace platform
