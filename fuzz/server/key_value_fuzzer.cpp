// Key/value answers of the server (registration, version, FIM requests) and
// the escaping of texts put into request URLs must take any bytes.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "agent/server/protocol.h"
#include "agent/settings/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string key;
    std::string value;
    ReadKeyValueLine(input, key, value);
    StoreKeyValueAnswer(input, "SLID");
    StoreKeyValueAnswer(input, "AGENTVERSIONINSERVER");
    const std::string escaped = EscapeQueryValue(input);
    // The escaped text is one query value: nothing that ends or splits it.
    if (escaped.find_first_of("&=#? \r\n+") != std::string::npos) __builtin_trap();
    FormatRequest<Request::Register>(std::string(input), std::string(input), "no");
    return 0;
}
