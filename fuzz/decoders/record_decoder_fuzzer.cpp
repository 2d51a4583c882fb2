#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "testserver/decoders/decoders.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::vector<decoders::PackedRecord> records;
    decoders::decodeRecords(bytes, decoders::rawLogSchema().format, records);
    records.clear();
    decoders::decodeRecords(bytes, "", records);

    std::string json;
    decoders::toJsonLines(decoders::FileKind::ChangeIndex, bytes, json);
    decoders::toJsonLines(decoders::FileKind::VolumeBackup, bytes, json);
    decoders::toJsonLines(decoders::FileKind::Aggregate, bytes, json);
    decoders::toJsonLines(decoders::FileKind::RenameConfig, bytes, json);
    decoders::detectKind("input", bytes);
    return 0;
}
