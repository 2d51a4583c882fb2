#include "common/text_format.h"

#include <cstdio>

std::string VFormatText(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text;
    if (needed > 0) {
        text.resize(static_cast<std::size_t>(needed));
        std::vsnprintf(text.data(), text.size() + 1, format, args);
    }
    return text;
}

std::string FormatText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = VFormatText(format, args);
    va_end(args);
    return text;
}

void copyBounded(std::string& out, std::string_view text, std::size_t fieldSize) {
    const std::size_t limit = fieldSize > 0 ? fieldSize - 1 : 0;
    if (text.size() <= limit) {
        out.assign(text.data(), text.size());
        return;
    }
    std::size_t cut = limit;
    // Never end inside a multi-byte character: step back over continuation bytes.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    out.assign(text.data(), cut);
}
