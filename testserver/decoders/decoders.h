// Readers for the files the agent sends to the server: the packed-field
// records of the raw-log and change-index files, the text rows of the
// aggregate and file-integrity exports, the volume back-up file, and zip
// archives. They are written from the file layouts alone and share no code
// with the agent's writers, so a test that runs both catches a fault in either.
//
// Every reader takes untrusted bytes: a truncated or corrupt input ends the
// decoding with a DecodeError that names the byte offset where it went wrong;
// what was decoded before that point is kept in the output.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace decoders {

// The outcome of a decoding: ok, or the offset and a message.
struct DecodeError {
    bool failed = false;
    std::uint64_t offset = 0;
    std::string message;

    explicit operator bool() const { return failed; }
    // "at byte N: message", or "" when nothing failed.
    std::string describe() const;
};
DecodeError decodeFailure(std::uint64_t offset, std::string message);

// ---- Packed-field records ---------------------------------------------------
// A record: 2-byte big-endian length (counting itself), then fields, each a
// tag byte and a big-endian value: 1 = 16-bit ('d'), 2 = 32-bit ('l'),
// 3 = 16-bit length and text ('s'), 8 = 64-bit ('z').
struct PackedField {
    char letter = 0;          // 'd', 'l', 's' or 'z'
    std::int64_t number = 0;  // d: unsigned 16-bit, l: signed 32-bit, z: signed 64-bit
    std::string text;         // s: the bytes as stored
};

struct PackedRecord {
    std::uint64_t offset = 0;  // of the length prefix in the file
    std::uint32_t length = 0;  // as stored
    std::vector<PackedField> fields;
};

// The field letters and JSON names of one record layout.
struct RecordSchema {
    const char* kind;      // "rawlogs", "changeindex"
    std::string_view format;
    std::vector<const char*> names;  // one per letter of format
};
const RecordSchema& rawLogSchema();       // "szsldddssssssssssssssss", 23 fields
const RecordSchema& changeIndexSchema();  // "sslsszzll", 9 fields

// Decodes the fields packed in bytes; baseOffset is added to error offsets.
DecodeError decodePackedFields(std::string_view bytes, std::uint64_t baseOffset,
                               std::vector<PackedField>& out);
// Decodes a file of length-prefixed records whose fields follow format.
DecodeError decodeRecords(std::string_view bytes, std::string_view format,
                          std::vector<PackedRecord>& out);

// ---- Text rows ----------------------------------------------------------------
enum class RowFormat { Enclosed, Plain, Tab };
const char* rowFormatName(RowFormat format);
std::optional<RowFormat> rowFormatFromName(std::string_view name);

struct Row {
    std::uint64_t offset = 0;  // of the line's first byte
    // One per column. nullopt only for the enclosed format's NULL; the plain
    // and tab formats write NULL as an empty text, which reads back as "".
    std::vector<std::optional<std::string>> values;
};

// Decodes row lines. expectedColumns 0 accepts any count (but the same in
// every line); format nullopt detects it from the first line, and the
// detected or given format is stored in usedFormat.
DecodeError decodeRows(std::string_view text, std::optional<RowFormat> format,
                       std::size_t expectedColumns, std::vector<Row>& out,
                       RowFormat& usedFormat);

// ---- Rename configuration lines: "<location id>+file+<path>\n" ---------------
struct RenameEntry {
    std::uint64_t offset = 0;
    std::int64_t locationId = 0;
    std::string path;  // without the "+file+" marker
};
DecodeError decodeRenameConfig(std::string_view text, std::vector<RenameEntry>& out);

// ---- Volume back-up file --------------------------------------------------------
struct BackupEntry {
    std::uint64_t offset = 0;
    std::uint64_t reference = 0;
    std::uint64_t parent = 0;
    std::string name;  // UTF-8
};

struct VolumeBackup {
    std::uint16_t drive = 0;  // one UTF-16 code unit
    std::uint64_t journalId = 0;
    std::uint64_t startUsn = 0;
    std::vector<BackupEntry> entries;
    bool terminated = false;
};
DecodeError decodeVolumeBackup(std::string_view bytes, VolumeBackup& out);
// The full path of a directory reference through its parents ("C:\a\b"), or
// nullopt when a parent is missing or the chain loops.
std::optional<std::string> backupPath(const VolumeBackup& backup, std::uint64_t reference);
// backupPath of every entry, in entry order.
std::vector<std::optional<std::string>> backupPaths(const VolumeBackup& backup);

// ---- Zip archives -----------------------------------------------------------------
struct ZipEntry {
    std::string name;
    std::string data;
    std::uint64_t compressedSize = 0;
    int method = 0;  // 0 stored, 8 deflate
    std::uint32_t crc = 0;
    std::uint32_t dosDate = 0;
};
// Reads every entry of a zip file. Entries larger than maxEntryBytes are
// refused (a guard against archives that unpack to huge sizes).
DecodeError readZip(const std::string& path, std::vector<ZipEntry>& out,
                    std::uint64_t maxEntryBytes = 256ull << 20);

// ---- File kinds and JSON lines ------------------------------------------------------
enum class FileKind {
    Unknown, RawLog, ChangeIndex, Aggregate, Attributes, TreeView, Trend,
    RenameConfig, VolumeBackup, Zip
};
const char* fileKindName(FileKind kind);
std::optional<FileKind> fileKindFromName(std::string_view name);
// The kind a file name stands for (its last path component), or Unknown.
FileKind kindFromFileName(std::string_view path);
// The kind from the name, else from the content.
FileKind detectKind(std::string_view path, std::string_view bytes);
// Column names of the row kinds (empty for other kinds).
const std::vector<const char*>& rowColumnNames(FileKind kind);

struct JsonOptions {
    std::optional<RowFormat> rowFormat;  // nullopt: detect
};
// Decodes bytes of the given kind into JSON lines appended to out (one object
// per record, row or entry, each ending in "\n"). A failure also appends a
// final line {"error":...,"offset":N}. Zip input is decoded from a temporary
// copy; use zipToJsonLines for a zip on disk.
DecodeError toJsonLines(FileKind kind, std::string_view bytes, std::string& out,
                        const JsonOptions& options = {});
// Every entry of a zip file: a line {"entry":name,"kind":...,"size":N}, then
// the entry's own lines.
DecodeError zipToJsonLines(const std::string& path, std::string& out,
                           const JsonOptions& options = {});

// JSON text of a string: quoted, escaped; bytes that are not valid UTF-8 are
// written as \u00XX (read as Latin-1) so that every output line is valid JSON.
std::string jsonString(std::string_view text);

}  // namespace decoders
