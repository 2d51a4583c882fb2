// The server's texts for a host and its rules: the scrambled password and the
// values of filter and notification rows (severity, column names, comma lists
// of event ids and ranges, log type codes) must take any bytes.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "agent/hosts/host_cache.h"
#include "agent/hosts/host_rules.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string password(input);
    decodeHostPassword(password);

    severityCode(input);
    columnKindOf(input);
    splitCommaList(input);
    std::vector<std::int32_t> ids;
    std::vector<EventIdRange> ranges;
    parseEventIdList(input, ids, ranges, size & 1);
    std::int32_t type = 0;
    for (std::size_t i = 0; i < size && i < 4; ++i) type = (type << 8) | data[i];
    splitTypeCodes(type);
    return 0;
}
