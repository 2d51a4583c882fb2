// Registry data in the form the registry API hands out (string types as
// UTF-8 without a terminator) to and from the UTF-16LE bytes Windows stores
// for them. Shared by the registry backends; not for other modules.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// UTF-16LE bytes of a REG_SZ, REG_EXPAND_SZ or REG_MULTI_SZ value to the
// API form (REG_MULTI_SZ keeps one NUL after each string); other types'
// bytes are returned as they are.
std::string registryDataFromUtf16(std::uint32_t type, std::string_view bytes);
// The API form of string types to UTF-16LE bytes with their terminators;
// other types' bytes are returned as they are.
std::string registryDataToUtf16(std::uint32_t type, const std::string& data);
// Whether the type holds text.
bool isRegistryTextType(std::uint32_t type);

}  // namespace platform
