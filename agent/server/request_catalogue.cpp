// Formatting of catalogue requests, kept apart from the protocol operations
// so that the status tool builds its request without the agent's state.
#include <cstdarg>
#include <cstdio>

#include "agent/server/protocol.h"
#include "common/text_format.h"

std::string FormatRequestText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = VFormatText(format, args);
    va_end(args);
    return text;
}
