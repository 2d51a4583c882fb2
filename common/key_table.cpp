#include "common/key_table.h"

std::size_t KeyTableHash(std::string_view name, std::size_t bucketCount) {
    if (bucketCount == 0) return 0;
    // The bytes are taken as signed, as the original hash does; a negative
    // remainder (from bytes above 127) is folded back into the range.
    long long n = static_cast<long long>(bucketCount);
    long long h = 0;
    for (char ch : name) {
        long long c = static_cast<signed char>(ch);
        h = (h * 26 + c) % n;
        if (h < 0) h += n;
    }
    return static_cast<std::size_t>(h);
}
