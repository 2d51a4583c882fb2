#include "tools/journal_dump.h"

#include <cstdint>
#include <cstring>
#include <ctime>
#include <span>

#include "platform/journal.h"
#include "platform/text.h"
#include "testserver/decoders/decoders.h"

namespace {

constexpr std::size_t kJournalHeaderSize = 4096;

std::uint64_t get64(const std::string& b, std::size_t at) {
    std::uint64_t v;
    std::memcpy(&v, b.data() + at, 8);
    return v;
}

std::string hex(std::uint64_t v) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(v));
    return text;
}

std::string utcTime(std::int64_t fileTime) {
    const std::time_t seconds = static_cast<std::time_t>(platform::unixSecondsFromFileTime(fileTime));
    std::tm tm{};
    if (!gmtime_r(&seconds, &tm)) return "";
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

void recordLine(const platform::UsnRecord& r, std::string& out) {
    out += "{\"usn\":" + std::to_string(r.Usn) + ",\"reference\":\"" + hex(r.FileReferenceNumber) +
           "\",\"parent\":\"" + hex(r.ParentFileReferenceNumber) +
           "\",\"name\":" + decoders::jsonString(platform::utf16ToUtf8(r.FileName)) +
           ",\"reasons\":\"" + platform::usnReasonNames(r.Reason) + "\",\"reason\":" + std::to_string(r.Reason) +
           ",\"attributes\":" + std::to_string(r.FileAttributes) +
           ",\"directory\":" + ((r.FileAttributes & platform::kFileAttributeDirectory) ? "true" : "false") +
           ",\"time\":\"" + utcTime(r.TimeStamp) + "\"}\n";
}

// Decodes records from `offset` to the end; false at the first bad one.
bool records(std::span<const std::uint8_t> bytes, std::size_t offset, std::string& out, std::string& error) {
    while (offset < bytes.size()) {
        platform::UsnRecord r;
        if (!platform::decodeUsnRecord(bytes, offset, &r)) {
            error = "no whole USN_RECORD_V2 at offset " + std::to_string(offset);
            return false;
        }
        recordLine(r, out);
        offset += r.RecordLength;
    }
    return true;
}

}  // namespace

bool journalFileToJsonLines(const std::string& bytes, std::string& out, std::string& error) {
    if (bytes.size() < 72 || bytes.compare(0, 8, "AMBUSNJ1") != 0) {
        error = "not a change journal file";
        return false;
    }
    const std::uint64_t id = get64(bytes, 8);
    const auto first = static_cast<std::int64_t>(get64(bytes, 16));
    const auto next = static_cast<std::int64_t>(get64(bytes, 24));
    const std::uint64_t maximum = get64(bytes, 40);
    const std::uint64_t delta = get64(bytes, 48);
    const std::uint64_t ring = get64(bytes, 56);
    out += "{\"journal\":\"" + hex(id) + "\",\"firstUsn\":" + std::to_string(first) +
           ",\"nextUsn\":" + std::to_string(next) + ",\"maximumSize\":" + std::to_string(maximum) +
           ",\"allocationDelta\":" + std::to_string(delta) + "}\n";
    if (ring == 0 || ring % 8 != 0 || first < 0 || next < first || static_cast<std::uint64_t>(next - first) > ring) {
        error = "header sizes do not fit together";
        return false;
    }
    // Unroll the ring from FirstUsn to NextUsn; a part never written is short.
    std::vector<std::uint8_t> stream;
    stream.reserve(static_cast<std::size_t>(next - first));
    for (std::int64_t usn = first; usn < next; ++usn) {
        const std::size_t at = kJournalHeaderSize + static_cast<std::size_t>(static_cast<std::uint64_t>(usn) % ring);
        if (at >= bytes.size()) {
            error = "file ends before USN " + std::to_string(usn);
            return false;
        }
        stream.push_back(static_cast<std::uint8_t>(bytes[at]));
    }
    return records(stream, 0, out, error);
}

bool usnBufferToJsonLines(const std::string& bytes, bool bare, std::string& out, std::string& error) {
    std::span<const std::uint8_t> view(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    if (!bare) {
        if (bytes.size() < 8) {
            error = "shorter than the 8-byte next USN";
            return false;
        }
        out += "{\"next\":" + std::to_string(get64(bytes, 0)) + "}\n";
    }
    return records(view, bare ? 0 : 8, out, error);
}
