// Hand-built bytes of the agent's file layouts, for the decoder and server
// tests. Written byte by byte from the layouts, not with any writer.
#pragma once

#include <cstdint>
#include <string>

namespace testbytes {

inline std::string be(std::uint64_t v, int width) {
    std::string out;
    for (int i = width - 1; i >= 0; --i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
    return out;
}
inline std::string le(std::uint64_t v, int width) {
    std::string out;
    for (int i = 0; i < width; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
    return out;
}

inline std::string fieldD(std::uint32_t v) { return "\x01" + be(v & 0xFFFF, 2); }
inline std::string fieldL(std::uint32_t v) { return "\x02" + be(v, 4); }
inline std::string fieldZ(std::uint64_t v) { return std::string("\x08", 1) + be(v, 8); }
inline std::string fieldS(const std::string& text) { return "\x03" + be(text.size(), 2) + text; }

// The 2-byte length (counting itself) and the fields.
inline std::string record(const std::string& fields) { return be(fields.size() + 2, 2) + fields; }

// One raw-log record ("szsldddssssssssssssssss") of a failed logon.
inline std::string rawLogRecord(const std::string& message = "An account failed to log on.") {
    std::string f = fieldS("Windows") + fieldZ(101) + fieldS("alpha.localhost") + fieldL(1700000000) + fieldD(14) +
                    fieldD(4625) + fieldD(4) + fieldS("Security") + fieldS("Microsoft-Windows-Security-Auditing") +
                    fieldS("admin") + fieldS("CORP") + fieldS("3") + fieldS("10.0.0.9") + fieldS("") + fieldS("") +
                    fieldS("bob") + fieldS("CORP") + fieldS("") + fieldS("") + fieldS("") +
                    fieldS("C:\\Windows\\System32\\lsass.exe") + fieldS("801,") + fieldS(message);
    return record(f);
}

// One change-index record ("sslsszzll").
inline std::string changeIndexRecord(const std::string& path, const std::string& type) {
    return record(fieldS("FIM") + fieldS(path) + fieldL(1700000100) + fieldS(type) + fieldS("agenthost") +
                  fieldZ(104) + fieldZ(1001) + fieldL(1) + fieldL(14));
}

}  // namespace testbytes
