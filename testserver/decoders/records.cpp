// Packed-field records of the raw-log and change-index files.
#include "testserver/decoders/decoders.h"

namespace decoders {

std::string DecodeError::describe() const {
    if (!failed) return {};
    return "at byte " + std::to_string(offset) + ": " + message;
}

DecodeError decodeFailure(std::uint64_t offset, std::string message) {
    DecodeError e;
    e.failed = true;
    e.offset = offset;
    e.message = std::move(message);
    return e;
}

const RecordSchema& rawLogSchema() {
    static const RecordSchema schema{
        "rawlogs",
        "szsldddssssssssssssssss",
        {"hostType", "hostId", "hostName", "eventTime", "day", "eventId", "severity",
         "logFile", "source", "user", "domain", "accessType", "remoteHost", "objectName",
         "objectType", "targetUser", "targetDomain", "groupName", "memberName", "accesses",
         "processName", "notifiedIds", "message"}};
    return schema;
}

const RecordSchema& changeIndexSchema() {
    static const RecordSchema schema{
        "changeindex",
        "sslsszzll",
        {"source", "path", "time", "changeType", "hostName", "ownHostId", "agentId", "isFile",
         "day"}};
    return schema;
}

namespace {

std::uint64_t readBigEndian(std::string_view bytes, std::size_t at, std::size_t width) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < width; ++i)
        v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
    return v;
}

const char* tagName(char letter) {
    switch (letter) {
        case 'd': return "16-bit number";
        case 'l': return "32-bit number";
        case 's': return "text";
        case 'z': return "64-bit number";
        default: return "unknown";
    }
}

}  // namespace

DecodeError decodePackedFields(std::string_view bytes, std::uint64_t baseOffset,
                               std::vector<PackedField>& out) {
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const std::size_t fieldStart = pos;
        const unsigned tag = static_cast<unsigned char>(bytes[pos++]);
        PackedField field;
        std::size_t width = 0;
        switch (tag) {
            case 1: field.letter = 'd'; width = 2; break;
            case 2: field.letter = 'l'; width = 4; break;
            case 3: field.letter = 's'; width = 2; break;
            case 8: field.letter = 'z'; width = 8; break;
            default:
                return decodeFailure(baseOffset + fieldStart,
                                     "unknown field tag " + std::to_string(tag));
        }
        if (bytes.size() - pos < width)
            return decodeFailure(baseOffset + fieldStart,
                                 std::string("truncated ") + tagName(field.letter) + " field");
        const std::uint64_t raw = readBigEndian(bytes, pos, width);
        pos += width;
        if (field.letter == 's') {
            if (bytes.size() - pos < raw)
                return decodeFailure(baseOffset + fieldStart,
                                     "text field of " + std::to_string(raw) + " bytes runs past the end (" +
                                         std::to_string(bytes.size() - pos) + " left)");
            field.text.assign(bytes.substr(pos, raw));
            pos += raw;
        } else if (field.letter == 'l') {
            field.number = static_cast<std::int32_t>(static_cast<std::uint32_t>(raw));
        } else if (field.letter == 'z') {
            field.number = static_cast<std::int64_t>(raw);
        } else {
            field.number = static_cast<std::int64_t>(raw);
        }
        out.push_back(std::move(field));
    }
    return {};
}

DecodeError decodeRecords(std::string_view bytes, std::string_view format,
                          std::vector<PackedRecord>& out) {
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        if (bytes.size() - pos < 2)
            return decodeFailure(pos, "truncated record length (1 byte left)");
        const auto length = static_cast<std::uint32_t>(readBigEndian(bytes, pos, 2));
        if (length < 2)
            return decodeFailure(pos, "record length " + std::to_string(length) + " is below 2");
        if (bytes.size() - pos < length)
            return decodeFailure(pos, "record of " + std::to_string(length) + " bytes is truncated (" +
                                          std::to_string(bytes.size() - pos) + " bytes left)");
        PackedRecord record;
        record.offset = pos;
        record.length = length;
        DecodeError e = decodePackedFields(bytes.substr(pos + 2, length - 2), pos + 2, record.fields);
        if (e) return e;
        if (!format.empty()) {
            if (record.fields.size() != format.size())
                return decodeFailure(pos, "record holds " + std::to_string(record.fields.size()) +
                                              " fields, expected " + std::to_string(format.size()));
            for (std::size_t i = 0; i < format.size(); ++i) {
                if (record.fields[i].letter != format[i])
                    return decodeFailure(pos, "field " + std::to_string(i + 1) + " is a " +
                                                  tagName(record.fields[i].letter) + ", expected a " +
                                                  tagName(format[i]));
            }
        }
        out.push_back(std::move(record));
        pos += length;
    }
    return {};
}

}  // namespace decoders
