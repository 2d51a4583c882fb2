// UTF-8 and UTF-16 conversions shared by the platform services (the registry
// file may be stored in either) and by Tamsel's wide-text helpers.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// UTF-8 to UTF-16. Malformed sequences (stray continuation bytes, overlong
// forms, surrogates, truncated sequences) become U+FFFD; *ok is set to
// whether the input was well formed.
std::u16string utf8ToUtf16(std::string_view utf8, bool* ok = nullptr);
// UTF-16 to UTF-8. An unpaired surrogate becomes U+FFFD; *ok tells.
std::string utf16ToUtf8(std::u16string_view utf16, bool* ok = nullptr);

// UTF-16LE bytes to UTF-16 units (an odd trailing byte is ignored and
// reported through *ok) and back.
std::u16string utf16FromLittleEndian(std::string_view bytes, bool* ok = nullptr);
std::string utf16ToLittleEndian(std::u16string_view text);

// Comparison ignoring the case of the ASCII letters, as the C locale's
// strcasecmp and _stricmp do (other bytes compare as they are).
bool equalsIgnoreCase(std::string_view a, std::string_view b);

}  // namespace platform
