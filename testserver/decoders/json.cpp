// File kinds and the JSON-lines rendering of every decoded file.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "testserver/decoders/decoders.h"

namespace decoders {

namespace {

// One JSON object, built key by key.
class JsonObject {
public:
    JsonObject& text(const char* key, std::string_view value) {
        keyOf(key);
        out_ += jsonString(value);
        return *this;
    }
    JsonObject& number(const char* key, std::int64_t value) {
        keyOf(key);
        out_ += std::to_string(value);
        return *this;
    }
    JsonObject& unsignedNumber(const char* key, std::uint64_t value) {
        keyOf(key);
        out_ += std::to_string(value);
        return *this;
    }
    JsonObject& boolean(const char* key, bool value) {
        keyOf(key);
        out_ += value ? "true" : "false";
        return *this;
    }
    JsonObject& null(const char* key) {
        keyOf(key);
        out_ += "null";
        return *this;
    }
    void appendLineTo(std::string& out) const {
        out += out_.empty() ? "{" : out_;
        out += "}\n";
    }

private:
    void keyOf(const char* key) {
        out_ += out_.empty() ? "{" : ",";
        out_ += jsonString(key);
        out_ += ':';
    }
    std::string out_;
};

const std::vector<const char*> kAggregateColumns = {
    "NULL", "HOUROFDAY", "HOUR", "HOST_ID", "SOURCE", "TYPE", "EVENTID", "USER_NAME", "DOMAIN", "CLIENT",
    "ERROR_CNT", "WARNING_CNT", "INFORMATION_CNT", "SUCCESS_CNT", "FAILURE_CNT"};
const std::vector<const char*> kAttributeColumns = {
    "NULL", "LOC_ID", "TEMPL_ID", "AGENT_ID", "FILENAME", "VERSION", "VENDOR", "CREATED_TIME",
    "MODIFIED_TIME", "LAST_ACCESS_TIME", "ENCRYPTED", "HIDDEN", "COMPRESSED", "SYSTEM", "STATUS", "OWNER",
    "DACL", "MD5", "SHA1", "ERROR", "SIZE", "FILECOUNT", "FOLDERCOUNT", "ISFILE"};
const std::vector<const char*> kTreeViewColumns = {"NULL", "LOC_ID", "TEMPL_ID", "AGENT_ID",
                                                   "FILENAME", "ISFILE", "HASCHILD", "PARENT_FILENAME"};
const std::vector<const char*> kTrendColumns = {"NULL", "HOUROFDAY", "HOURSTR", "AGENT_ID",
                                                "CREATED_CNT", "MODIFIED_CNT", "DELETED_CNT", "RENAMED_CNT"};
const std::vector<const char*> kNoColumns;

std::string_view baseName(std::string_view path) {
    const std::size_t at = path.find_last_of("/\\");
    return at == std::string_view::npos ? path : path.substr(at + 1);
}

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

void appendError(const DecodeError& e, std::string& out) {
    JsonObject().text("error", e.message).unsignedNumber("offset", e.offset).appendLineTo(out);
}

DecodeError recordsToJson(const RecordSchema& schema, std::string_view bytes, std::string& out) {
    std::vector<PackedRecord> records;
    DecodeError e = decodeRecords(bytes, schema.format, records);
    for (const PackedRecord& r : records) {
        JsonObject line;
        line.unsignedNumber("offset", r.offset).number("length", r.length);
        for (std::size_t i = 0; i < r.fields.size(); ++i) {
            if (r.fields[i].letter == 's')
                line.text(schema.names[i], r.fields[i].text);
            else
                line.number(schema.names[i], r.fields[i].number);
        }
        line.appendLineTo(out);
    }
    return e;
}

DecodeError rowsToJson(FileKind kind, std::string_view bytes, std::string& out, const JsonOptions& options) {
    const std::vector<const char*>& names = rowColumnNames(kind);
    std::vector<Row> rows;
    RowFormat format = RowFormat::Enclosed;
    DecodeError e = decodeRows(bytes, options.rowFormat, names.size(), rows, format);
    for (const Row& row : rows) {
        JsonObject line;
        line.unsignedNumber("offset", row.offset).text("format", rowFormatName(format));
        for (std::size_t i = 0; i < row.values.size(); ++i) {
            const std::string key = i < names.size() ? names[i] : "c" + std::to_string(i);
            if (row.values[i])
                line.text(key.c_str(), *row.values[i]);
            else
                line.null(key.c_str());
        }
        line.appendLineTo(out);
    }
    return e;
}

DecodeError renameToJson(std::string_view bytes, std::string& out) {
    std::vector<RenameEntry> entries;
    DecodeError e = decodeRenameConfig(bytes, entries);
    for (const RenameEntry& r : entries)
        JsonObject().unsignedNumber("offset", r.offset).number("locationId", r.locationId).text("path", r.path)
            .appendLineTo(out);
    return e;
}

DecodeError backupToJson(std::string_view bytes, std::string& out) {
    VolumeBackup backup;
    DecodeError e = decodeVolumeBackup(bytes, backup);
    if (bytes.size() < 18) return e;
    std::string drive;
    if (backup.drive < 0x80) drive.assign(1, static_cast<char>(backup.drive));
    JsonObject()
        .text("kind", "backup")
        .text("drive", drive)
        .unsignedNumber("journalId", backup.journalId)
        .unsignedNumber("startUsn", backup.startUsn)
        .number("entries", static_cast<std::int64_t>(backup.entries.size()))
        .boolean("terminated", backup.terminated)
        .appendLineTo(out);
    const auto paths = backupPaths(backup);
    for (std::size_t i = 0; i < backup.entries.size(); ++i) {
        const BackupEntry& entry = backup.entries[i];
        JsonObject line;
        line.unsignedNumber("offset", entry.offset)
            .unsignedNumber("reference", entry.reference)
            .unsignedNumber("parent", entry.parent)
            .text("name", entry.name);
        if (paths[i])
            line.text("path", *paths[i]);
        else
            line.null("path");
        line.appendLineTo(out);
    }
    return e;
}

bool looksLikeDate(std::string_view text) {
    return text.size() == 19 && text[4] == '-' && text[7] == '-' && text[10] == ' ' && text[13] == ':';
}

FileKind kindFromContent(std::string_view bytes) {
    if (bytes.substr(0, 4) == std::string_view("PK\x03\x04", 4) || bytes.substr(0, 4) == std::string_view("PK\x05\x06", 4))
        return FileKind::Zip;
    if (bytes.empty()) return FileKind::Unknown;
    std::vector<PackedRecord> records;
    if (!decodeRecords(bytes, rawLogSchema().format, records)) return FileKind::RawLog;
    records.clear();
    if (!decodeRecords(bytes, changeIndexSchema().format, records)) return FileKind::ChangeIndex;
    VolumeBackup backup;
    if (!decodeVolumeBackup(bytes, backup)) return FileKind::VolumeBackup;
    std::vector<RenameEntry> renames;
    if (!decodeRenameConfig(bytes, renames)) return FileKind::RenameConfig;
    std::vector<Row> rows;
    RowFormat format;
    if (!decodeRows(bytes, std::nullopt, 0, rows, format) && !rows.empty()) {
        // A tab row lacks the separator after the (empty) first column.
        const std::size_t shift = format == RowFormat::Tab ? 1 : 0;
        switch (rows[0].values.size() + shift) {
            case 15: return FileKind::Aggregate;
            case 24: return FileKind::Attributes;
            case 8: {
                const auto& hour = rows[0].values[2 - shift];
                return hour && looksLikeDate(*hour) ? FileKind::Trend : FileKind::TreeView;
            }
            default: break;
        }
    }
    return FileKind::Unknown;
}

}  // namespace

std::string jsonString(std::string_view text) {
    static const char* hex = "0123456789abcdef";
    std::string out = "\"";
    auto escapeByte = [&](unsigned char c) {
        out += "\\u00";
        out += hex[c >> 4];
        out += hex[c & 15];
    };
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c == '\n') {
            out += "\\n", ++i;
        } else if (c == '\r') {
            out += "\\r", ++i;
        } else if (c == '\t') {
            out += "\\t", ++i;
        } else if (c < 0x20 || c == 0x7F) {
            escapeByte(c), ++i;
        } else if (c < 0x80) {
            out += static_cast<char>(c), ++i;
        } else {
            // A well-formed UTF-8 sequence (no overlong forms, no surrogates)
            // is copied; any other byte is escaped on its own.
            std::size_t len = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
            bool ok = len != 0 && i + len <= text.size();
            for (std::size_t k = 1; ok && k < len; ++k)
                ok = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
            if (ok && len == 3) {
                const auto c1 = static_cast<unsigned char>(text[i + 1]);
                ok = !(c == 0xE0 && c1 < 0xA0) && !(c == 0xED && c1 >= 0xA0);
            }
            if (ok && len == 4) {
                const auto c1 = static_cast<unsigned char>(text[i + 1]);
                ok = !(c == 0xF0 && c1 < 0x90) && !(c == 0xF4 && c1 >= 0x90);
            }
            if (ok) {
                out.append(text.substr(i, len));
                i += len;
            } else {
                escapeByte(c), ++i;
            }
        }
    }
    out += '"';
    return out;
}

const char* fileKindName(FileKind kind) {
    switch (kind) {
        case FileKind::RawLog: return "rawlogs";
        case FileKind::ChangeIndex: return "changeindex";
        case FileKind::Aggregate: return "aggregate";
        case FileKind::Attributes: return "attributes";
        case FileKind::TreeView: return "treeview";
        case FileKind::Trend: return "trend";
        case FileKind::RenameConfig: return "renameconfig";
        case FileKind::VolumeBackup: return "backup";
        case FileKind::Zip: return "zip";
        case FileKind::Unknown: break;
    }
    return "unknown";
}

std::optional<FileKind> fileKindFromName(std::string_view name) {
    for (FileKind k : {FileKind::RawLog, FileKind::ChangeIndex, FileKind::Aggregate, FileKind::Attributes,
                       FileKind::TreeView, FileKind::Trend, FileKind::RenameConfig, FileKind::VolumeBackup,
                       FileKind::Zip})
        if (name == fileKindName(k)) return k;
    return std::nullopt;
}

FileKind kindFromFileName(std::string_view path) {
    const std::string_view name = baseName(path);
    if (name == "rawlogs") return FileKind::RawLog;
    if (name == "changeindex") return FileKind::ChangeIndex;
    if (name == "aggregate") return FileKind::Aggregate;
    if (name == "baseconfig" || name == "periodicconfig" || name == "newconfig") return FileKind::Attributes;
    if (name == "treeviewconfig") return FileKind::TreeView;
    if (name == "fimtrendfile") return FileKind::Trend;
    if (name == "renameconfig") return FileKind::RenameConfig;
    if (name.size() == 11 && name.substr(0, 7) == "Volume-" && endsWith(name, ".db")) return FileKind::VolumeBackup;
    if (endsWith(name, ".zip")) return FileKind::Zip;
    return FileKind::Unknown;
}

FileKind detectKind(std::string_view path, std::string_view bytes) {
    const FileKind byName = kindFromFileName(path);
    return byName != FileKind::Unknown ? byName : kindFromContent(bytes);
}

const std::vector<const char*>& rowColumnNames(FileKind kind) {
    switch (kind) {
        case FileKind::Aggregate: return kAggregateColumns;
        case FileKind::Attributes: return kAttributeColumns;
        case FileKind::TreeView: return kTreeViewColumns;
        case FileKind::Trend: return kTrendColumns;
        default: return kNoColumns;
    }
}

DecodeError toJsonLines(FileKind kind, std::string_view bytes, std::string& out, const JsonOptions& options) {
    DecodeError e;
    switch (kind) {
        case FileKind::RawLog: e = recordsToJson(rawLogSchema(), bytes, out); break;
        case FileKind::ChangeIndex: e = recordsToJson(changeIndexSchema(), bytes, out); break;
        case FileKind::Aggregate:
        case FileKind::Attributes:
        case FileKind::TreeView:
        case FileKind::Trend: e = rowsToJson(kind, bytes, out, options); break;
        case FileKind::RenameConfig: e = renameToJson(bytes, out); break;
        case FileKind::VolumeBackup: e = backupToJson(bytes, out); break;
        case FileKind::Zip: {
            const char* tmp = std::getenv("TMPDIR");
            std::string name = std::string(tmp && *tmp ? tmp : "/tmp") + "/ambrik-zip-XXXXXX";
            const int fd = mkstemp(name.data());
            if (fd < 0) {
                e = decodeFailure(0, "cannot create a temporary file for the zip");
                break;
            }
            std::size_t written = 0;
            while (written < bytes.size()) {
                const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
                if (n <= 0) break;
                written += static_cast<std::size_t>(n);
            }
            ::close(fd);
            if (written != bytes.size())
                e = decodeFailure(0, "cannot write a temporary copy of the zip");
            else
                e = zipToJsonLines(name, out, options);
            std::remove(name.c_str());
            return e;  // zipToJsonLines has written its own error line
        }
        case FileKind::Unknown:
            e = decodeFailure(0, "the file kind is not known from its name or content (name it with --kind)");
            break;
    }
    if (e) appendError(e, out);
    return e;
}

DecodeError zipToJsonLines(const std::string& path, std::string& out, const JsonOptions& options) {
    std::vector<ZipEntry> entries;
    DecodeError zipError = readZip(path, entries);
    DecodeError first;
    for (const ZipEntry& entry : entries) {
        const FileKind kind = detectKind(entry.name, entry.data);
        JsonObject()
            .text("entry", entry.name)
            .text("kind", fileKindName(kind))
            .unsignedNumber("size", entry.data.size())
            .appendLineTo(out);
        if (kind == FileKind::Zip || kind == FileKind::Unknown || entry.data.empty()) continue;
        DecodeError e = toJsonLines(kind, entry.data, out, options);
        if (e && !first) {
            first = e;
            first.message = "entry \"" + entry.name + "\": " + e.message;
        }
    }
    if (zipError) {
        appendError(zipError, out);
        return zipError;
    }
    return first;
}

}  // namespace decoders
