// Names a POSIX file system can hold and Windows cannot: a control
// character, a backslash (a separator on Windows) or bytes that are not
// UTF-8. Such items are left out of listings and of the change journal, as
// Windows would never show them, so no row built from a name can be split,
// forged or name another file.
#pragma once

#include <string_view>

#include "platform/text.h"

namespace platform::posix {

inline bool windowsCanHoldName(std::string_view name) {
    for (const char c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == '\\') return false;
    bool ok = true;
    utf8ToUtf16(name, &ok);
    return ok;
}

}  // namespace platform::posix
