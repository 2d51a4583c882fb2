// printf-style formatting into a std::string of whatever length it needs.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstddef>
#include <string>
#include <string_view>

#include "common/log.h"

std::string FormatText(const char* format, ...) TAMSEL_PRINTF(1, 2);
std::string VFormatText(const char* format, va_list args);

// A local time as ctime() writes it: "Wed Sep  5 11:00:00 1973\n" (the day of
// the month padded with a space).
std::string CtimeText(std::int64_t seconds);
// Copies `text` into `out` keeping at most fieldSize - 1 bytes, cut at a
// UTF-8 character boundary.
void copyBounded(std::string& out, std::string_view text, std::size_t fieldSize);
