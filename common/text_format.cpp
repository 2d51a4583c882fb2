#include "common/text_format.h"

#include <cstdio>
#include <ctime>

#include "platform/clock.h"

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

std::string CtimeText(std::int64_t seconds) {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::tm tm = platform::toLocalTime(seconds);
    if (tm.tm_wday < 0 || tm.tm_wday > 6 || tm.tm_mon < 0 || tm.tm_mon > 11) return "\n";
    return FormatText("%s %s %2d %02d:%02d:%02d %d\n", kDays[tm.tm_wday], kMonths[tm.tm_mon], tm.tm_mday,
                      tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_year + 1900);
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
