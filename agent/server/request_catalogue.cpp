// Formatting of catalogue requests, kept apart from the protocol operations
// so that the status tool builds its request without the agent's state.
#include <cstdarg>
#include <cstdio>

#include "agent/server/protocol.h"

std::string FormatRequestText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text;
    if (needed > 0) {
        text.resize(static_cast<std::size_t>(needed));
        std::vsnprintf(text.data(), text.size() + 1, format, args);
    }
    va_end(args);
    return text;
}
