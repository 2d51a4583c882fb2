// Reading the server's table rows for the file integrity module.
#pragma once

#include <cstdint>
#include <string>

#include "agent/tablestore/imds.h"

// The text of a column under the cursor, up to the terminator the store
// keeps; "" for none.
inline std::string columnText(const ResultHandle& rows, const char* column) {
    int length = 0;
    const void* value = GetColumnValueByName(column, &length, rows);
    if (value == nullptr || length <= 0) return {};
    std::string text(static_cast<const char*>(value), static_cast<std::size_t>(length));
    return text.c_str();
}

// The integer of a column under the cursor; 0 for none.
inline std::int64_t columnInt64(const ResultHandle& rows, const char* column) {
    int length = 0;
    const void* value = GetColumnValueByName(column, &length, rows);
    std::int64_t out = 0;
    if (value == nullptr || !ReadColumnInt64(value, length, &out)) return 0;
    return out;
}
