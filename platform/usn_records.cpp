// USN_RECORD_V2 bytes: decoding, building, and the reason names. Portable;
// both backends and the tools use it.
#include <cstring>

#include "platform/journal.h"

namespace platform {

namespace {

template <typename T>
T load(const std::uint8_t* p) {
    T value;
    std::memcpy(&value, p, sizeof(T));
    return value;
}

template <typename T>
void store(std::uint8_t* p, T value) {
    std::memcpy(p, &value, sizeof(T));
}

// FILETIME of 1970-01-01 00:00:00 UTC.
constexpr std::int64_t kUnixEpochFileTime = 116444736000000000LL;

}  // namespace

std::uint32_t usnRecordLength(std::size_t nameUnits) {
    return static_cast<std::uint32_t>((kUsnRecordV2HeaderSize + nameUnits * 2 + 7) & ~std::size_t{7});
}

bool decodeUsnRecord(std::span<const std::uint8_t> buffer, std::size_t offset, UsnRecord* record) {
    if (offset > buffer.size() || buffer.size() - offset < kUsnRecordV2HeaderSize) return false;
    const std::uint8_t* p = buffer.data() + offset;
    const std::uint32_t length = load<std::uint32_t>(p);
    if (length < kUsnRecordV2HeaderSize || length % 8 != 0 || length > buffer.size() - offset) return false;
    if (load<std::uint16_t>(p + 4) != 2) return false;
    const std::uint16_t nameLength = load<std::uint16_t>(p + 56);
    const std::uint16_t nameOffset = load<std::uint16_t>(p + 58);
    if (nameLength % 2 != 0 || nameOffset < kUsnRecordV2HeaderSize ||
        std::size_t{nameOffset} + nameLength > length)
        return false;
    UsnRecord r;
    r.RecordLength = length;
    r.MajorVersion = 2;
    r.MinorVersion = load<std::uint16_t>(p + 6);
    r.FileReferenceNumber = load<std::uint64_t>(p + 8);
    r.ParentFileReferenceNumber = load<std::uint64_t>(p + 16);
    r.Usn = load<std::int64_t>(p + 24);
    r.TimeStamp = load<std::int64_t>(p + 32);
    r.Reason = load<std::uint32_t>(p + 40);
    r.SourceInfo = load<std::uint32_t>(p + 44);
    r.SecurityId = load<std::uint32_t>(p + 48);
    r.FileAttributes = load<std::uint32_t>(p + 52);
    r.FileName.resize(nameLength / 2);
    for (std::size_t i = 0; i < r.FileName.size(); ++i)
        r.FileName[i] = static_cast<char16_t>(load<std::uint16_t>(p + nameOffset + 2 * i));
    *record = std::move(r);
    return true;
}

std::size_t nextUsnRecordOffset(std::span<const std::uint8_t> buffer, std::size_t offset) {
    if (offset > buffer.size() || buffer.size() - offset < kUsnRecordV2HeaderSize) return buffer.size();
    const std::uint32_t length = load<std::uint32_t>(buffer.data() + offset);
    if (length < kUsnRecordV2HeaderSize || length % 8 != 0 || length > buffer.size() - offset)
        return buffer.size();
    return offset + length;
}

std::vector<UsnRecord> decodeUsnOutput(std::span<const std::uint8_t> output) {
    std::vector<UsnRecord> records;
    std::size_t offset = kUsnOutputHeaderSize;
    UsnRecord record;
    while (offset < output.size() && decodeUsnRecord(output, offset, &record)) {
        offset += record.RecordLength;
        records.push_back(std::move(record));
    }
    return records;
}

std::uint64_t usnOutputHeader(std::span<const std::uint8_t> output) {
    return output.size() < 8 ? 0 : load<std::uint64_t>(output.data());
}

void appendUsnRecord(std::vector<std::uint8_t>* out, const UsnRecord& record) {
    // A name longer than a 16-bit byte count can hold is cut; file system
    // names are at most 255 units, so this only guards hand-built records.
    const std::size_t units = std::min<std::size_t>(record.FileName.size(), 0x7FF0);
    const std::uint32_t length = usnRecordLength(units);
    const std::size_t at = out->size();
    out->resize(at + length, 0);
    std::uint8_t* p = out->data() + at;
    store<std::uint32_t>(p, length);
    store<std::uint16_t>(p + 4, 2);
    store<std::uint16_t>(p + 6, record.MinorVersion);
    store<std::uint64_t>(p + 8, record.FileReferenceNumber);
    store<std::uint64_t>(p + 16, record.ParentFileReferenceNumber);
    store<std::int64_t>(p + 24, record.Usn);
    store<std::int64_t>(p + 32, record.TimeStamp);
    store<std::uint32_t>(p + 40, record.Reason);
    store<std::uint32_t>(p + 44, record.SourceInfo);
    store<std::uint32_t>(p + 48, record.SecurityId);
    store<std::uint32_t>(p + 52, record.FileAttributes);
    store<std::uint16_t>(p + 56, static_cast<std::uint16_t>(units * 2));
    store<std::uint16_t>(p + 58, static_cast<std::uint16_t>(kUsnRecordV2HeaderSize));
    for (std::size_t i = 0; i < units; ++i)
        store<std::uint16_t>(p + kUsnRecordV2HeaderSize + 2 * i, static_cast<std::uint16_t>(record.FileName[i]));
}

std::vector<std::uint8_t> encodeUsnRecord(const UsnRecord& record) {
    std::vector<std::uint8_t> out;
    appendUsnRecord(&out, record);
    return out;
}

std::string usnReasonNames(std::uint32_t reason) {
    static const struct {
        std::uint32_t bit;
        const char* name;
    } kNames[] = {
        {kUsnReasonDataOverwrite, "DATA_OVERWRITE"},
        {kUsnReasonDataExtend, "DATA_EXTEND"},
        {kUsnReasonDataTruncation, "DATA_TRUNCATION"},
        {kUsnReasonNamedDataOverwrite, "NAMED_DATA_OVERWRITE"},
        {kUsnReasonNamedDataExtend, "NAMED_DATA_EXTEND"},
        {kUsnReasonNamedDataTruncation, "NAMED_DATA_TRUNCATION"},
        {kUsnReasonFileCreate, "FILE_CREATE"},
        {kUsnReasonFileDelete, "FILE_DELETE"},
        {kUsnReasonEaChange, "EA_CHANGE"},
        {kUsnReasonSecurityChange, "SECURITY_CHANGE"},
        {kUsnReasonRenameOldName, "RENAME_OLD_NAME"},
        {kUsnReasonRenameNewName, "RENAME_NEW_NAME"},
        {kUsnReasonIndexableChange, "INDEXABLE_CHANGE"},
        {kUsnReasonBasicInfoChange, "BASIC_INFO_CHANGE"},
        {kUsnReasonHardLinkChange, "HARD_LINK_CHANGE"},
        {kUsnReasonCompressionChange, "COMPRESSION_CHANGE"},
        {kUsnReasonEncryptionChange, "ENCRYPTION_CHANGE"},
        {kUsnReasonObjectIdChange, "OBJECT_ID_CHANGE"},
        {kUsnReasonReparsePointChange, "REPARSE_POINT_CHANGE"},
        {kUsnReasonStreamChange, "STREAM_CHANGE"},
        {kUsnReasonClose, "CLOSE"},
    };
    std::string text;
    std::uint32_t rest = reason;
    for (const auto& n : kNames) {
        if (!(reason & n.bit)) continue;
        if (!text.empty()) text += '|';
        text += n.name;
        rest &= ~n.bit;
    }
    if (rest) {
        static const char kHex[] = "0123456789ABCDEF";
        std::string hex = "0x";
        for (int shift = 28; shift >= 0; shift -= 4) hex += kHex[(rest >> shift) & 0xF];
        if (!text.empty()) text += '|';
        text += hex;
    }
    return text;
}

std::int64_t fileTimeFromUnix(std::int64_t seconds, std::int64_t nanoseconds) {
    return kUnixEpochFileTime + seconds * 10000000LL + nanoseconds / 100;
}

std::int64_t unixSecondsFromFileTime(std::int64_t fileTime) {
    const std::int64_t ticks = fileTime - kUnixEpochFileTime;
    return ticks >= 0 ? ticks / 10000000LL : -((-ticks + 9999999LL) / 10000000LL);
}

}  // namespace platform
