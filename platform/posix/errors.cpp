// The last system error on POSIX: errno and strerror_r.
#include <cerrno>
#include <cstring>
#include <type_traits>

#include "platform/errors.h"

namespace platform {

long lastSystemError() { return errno; }

void setLastSystemError(long code) { errno = static_cast<int>(code); }

std::string systemErrorMessage(long code) {
    char buffer[256] = {};
    // The GNU strerror_r may return a static text instead of filling buffer.
    auto result = strerror_r(static_cast<int>(code), buffer, sizeof buffer);
    const char* text = buffer;
    if constexpr (std::is_same_v<decltype(result), char*>) text = result;
    return text ? text : "";
}

}  // namespace platform
