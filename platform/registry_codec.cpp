#include "platform/registry_codec.h"

#include "platform/registry.h"
#include "platform/text.h"

namespace platform {

bool isRegistryTextType(std::uint32_t type) {
    return type == kRegSz || type == kRegExpandSz || type == kRegMultiSz;
}

std::string registryDataFromUtf16(std::uint32_t type, std::string_view bytes) {
    if (!isRegistryTextType(type)) return std::string(bytes);
    std::u16string units = utf16FromLittleEndian(bytes);
    if (type == kRegMultiSz) {
        // "a\0b\0\0" keeps one terminator per string.
        if (units.size() >= 2 && units[units.size() - 1] == 0 && units[units.size() - 2] == 0)
            units.pop_back();
        else if (units.size() == 1 && units[0] == 0)
            units.clear();
    } else {
        while (!units.empty() && units.back() == 0) units.pop_back();
    }
    return utf16ToUtf8(units);
}

std::string registryDataToUtf16(std::uint32_t type, const std::string& data) {
    if (!isRegistryTextType(type)) return data;
    std::u16string units = utf8ToUtf16(data);
    if (type == kRegMultiSz && !data.empty() && data.back() == '\0') {
        units.push_back(0);  // the list's closing terminator
    } else {
        units.push_back(0);
        if (type == kRegMultiSz) units.push_back(0);
    }
    return utf16ToLittleEndian(units);
}

std::string dwordData(std::uint32_t value) {
    std::string data(4, '\0');
    for (int i = 0; i < 4; ++i) data[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    return data;
}

std::uint32_t dwordValue(const std::string& data) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4 && i < data.size(); ++i)
        value |= static_cast<std::uint32_t>(static_cast<unsigned char>(data[i])) << (8 * i);
    return value;
}

}  // namespace platform
