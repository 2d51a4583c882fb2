// Tamsel's registry helpers: one value as text or number, writing a value
// (creating its key), creating a key, and the narrow-to-wide conversions.
// Results are Windows error codes (0 = success); every step is logged.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/registry.h"

// Reads a REG_SZ or REG_EXPAND_SZ value. *text is reset first and holds the
// value on success; another type gives 13 (ERROR_INVALID_DATA).
long ReadRegSZEx(platform::RegistryRoot root, const std::string& keyPath,
                 const std::string& valueName, std::optional<std::string>* text);
// Reads a REG_DWORD value; *value is written only on success. Another type
// gives 13.
long ReadDwordRegistryData(platform::RegistryRoot root, const std::string& keyPath,
                           const std::string& valueName, std::uint32_t* value);
// Writes a value, creating the key when it is missing. A name "--" (any
// case) is the key's default value; data "--" is empty data. REG_DWORD takes
// the text's leading decimal number (0 when there is none).
long writeValue(platform::RegistryRoot root, const std::string& keyPath,
                const std::string& valueName, const std::string& data, std::uint32_t type);
// Creates the key or opens the existing one.
long addRegistryKey(platform::RegistryRoot root, const std::string& keyPath);

// Why the registry cannot be read at all, as one line naming the file and
// line ("the registry cannot be parsed: <file>: line 11: ..."), from the
// results of opening the server key and the agent key; "" when both opened
// or are merely absent.
std::string RegistryProblem(long serverKeyResult, long agentKeyResult);
// The same for the registry as it is now: both keys opened for reading, with
// the parser the agent reads its settings through. The tools ask it first,
// so that they neither log into a guessed folder nor write a registry they
// cannot read.
std::string RegistryReadProblem(const std::string& serverKeyPath, const std::string& agentKeyPath);

// UTF-8 to UTF-16. false (and a log message) for a null text or text that
// is not valid UTF-8.
bool ChangeUtf8ToWideStr(const char* utf8, std::u16string* wide);
// The system code page to UTF-16; on POSIX the code page is UTF-8.
bool ChangeToWideStr(const char* text, std::u16string* wide);
