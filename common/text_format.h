// printf-style formatting into a std::string of whatever length it needs.
#pragma once

#include <cstdarg>
#include <string>

#include "common/log.h"

std::string FormatText(const char* format, ...) TAMSEL_PRINTF(1, 2);
std::string VFormatText(const char* format, va_list args);
