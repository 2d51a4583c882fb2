// printf-style formatting into a std::string of whatever length it needs.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

#include "common/log.h"

std::string FormatText(const char* format, ...) TAMSEL_PRINTF(1, 2);
std::string VFormatText(const char* format, va_list args);

// Copies `text` into `out` keeping at most fieldSize - 1 bytes, cut at a
// UTF-8 character boundary.
void copyBounded(std::string& out, std::string_view text, std::size_t fieldSize);
