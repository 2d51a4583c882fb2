// The server data files under serverdata/ and the writers behind them.
//
//  - serverdata/rawlogs: one binary record per kept event, appended: a
//    two-byte big-endian record length (counting itself), then 23 packed
//    fields;
//  - serverdata/aggregate: the hourly aggregate lines of the event store.
//
// packFields and exportQueryRows also serve the file-integrity data sets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

struct EventRecord;
enum class StoreDb;

inline constexpr const char* kServerDataDir = "serverdata/";
inline constexpr const char* kRawLogsFilePath = "serverdata/rawlogs";
inline constexpr const char* kAggregateFilePath = "serverdata/aggregate";
// Where the files of a zip wait while it is uploaded, so that collectors
// write fresh files in serverdata/ meanwhile. A folder of serverdata/ (on
// the same file system, and never zipped: the zip takes plain files only).
inline constexpr const char* kSendingDir = "serverdata/sending/";

// Format of the raw-log record's fields and the room one record may take.
inline constexpr const char* kRawLogFormat = "szsldddssssssssssssssss";
inline constexpr std::size_t kRawLogRecordCapacity = 6508;

// A value for packFields: a number for the letters d, l and z, a text for s.
using PackValue = std::variant<std::int64_t, std::string_view>;

// Packs values by format letters, big-endian, each behind its tag byte:
//   d (1): low 16 bits, l (2): 32 bits, s (3): 16-bit length and the bytes,
//   z (8): 64 bits.
// Other letters are skipped without consuming a value. Texts longer than
// 65535 bytes are cut to that. Returns the bytes written, or 0 (and writes
// nothing past the buffer) when the values do not fit, are too few or a value
// has the wrong kind for its letter.
std::size_t packFields(std::span<std::uint8_t> buffer, std::string_view format,
                       std::span<const PackValue> values);

// What the raw-log record takes from the host slot.
struct RawLogHost {
    std::string type;  // the host's TYPE, "Windows" for collected hosts
    std::int64_t id = 0;
    std::string name;  // DNS name
};

// Appends one record per event to serverdata/rawlogs, the whole batch or
// nothing: after a short write (a full disk) the file is cut back to where
// the batch began. A record whose texts would not fit the 6508-byte record
// is cut to fit: the message first, then the longest texts. False when the
// file could not be opened or written; the reason (file and system error) is
// logged once per transfer period.
bool appendRawLogs(const RawLogHost& host, const EventRecord* records, int count);

// Runs a query on the given database and writes every row as one line in the
// row format of the database flag; truncate opens the file with "w", else
// "a". False when the query could not be prepared, the file not opened or the
// rows not all read and written.
bool exportQueryRows(StoreDb db, const std::string& query, const std::string& filePath, bool truncate);

// Line formats of exportQueryRows (database flag 0, 1 and 2).
enum class RowFormat { Enclosed, Plain, Tab };
RowFormat rowFormatForDatabaseFlag(int databaseFlag);

// Start-up: deletes serverdata/rawlogs, serverdata/aggregate and the files
// of an upload that did not finish. The hosts are collected again from the
// last message time the server gives, which follows what it has received:
// sending these files as well would bring their events twice.
void removeServerDataFiles();
