#include "agent/store/data_files.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "agent/collection/event_record.h"
#include "agent/settings/settings.h"
#include "agent/store/event_store.h"
#include "common/log.h"
#include "platform/private_files.h"
#include "platform/clock.h"
#include "platform/fs.h"

namespace {

constexpr std::size_t kMaxPackedText = 65535;
constexpr int kBusyAnswerLimit = 10;
constexpr int kBusyPauseMillis = 10;

void putBigEndian(std::uint8_t* out, std::uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        out[i] = static_cast<std::uint8_t>(value & 0xFF);
        value >>= 8;
    }
}

// The longest prefix of text within maxBytes that does not end inside a UTF-8
// character (single-byte code page texts are cut at most a few bytes early).
std::string_view cutText(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    std::size_t n = maxBytes;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    return text.substr(0, n);
}

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f) std::fclose(f);
    }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Field positions in the raw-log record.
constexpr std::size_t kRawLogFieldCount = 23;
constexpr std::size_t kMessageField = 22;

std::size_t rawLogRecordSize(const std::array<PackValue, kRawLogFieldCount>& values) {
    std::size_t size = 2;  // the length field
    for (std::size_t i = 0; i < kRawLogFieldCount; ++i) {
        switch (kRawLogFormat[i]) {
            case 'd': size += 3; break;
            case 'l': size += 5; break;
            case 'z': size += 9; break;
            case 's': size += 3 + std::min(std::get<std::string_view>(values[i]).size(), kMaxPackedText); break;
            default: break;
        }
    }
    return size;
}

// Cuts texts until the record fits its capacity: the message first, then the
// longest of the other texts, a step at a time. Returns the bytes removed.
std::size_t fitRawLogRecord(std::array<PackValue, kRawLogFieldCount>& values) {
    std::size_t size = rawLogRecordSize(values);
    if (size <= kRawLogRecordCapacity) return 0;
    const std::size_t original = size;

    auto& message = std::get<std::string_view>(values[kMessageField]);
    std::size_t excess = size - kRawLogRecordCapacity;
    message = cutText(message, message.size() > excess ? message.size() - excess : 0);
    size = rawLogRecordSize(values);

    while (size > kRawLogRecordCapacity) {
        excess = size - kRawLogRecordCapacity;
        std::size_t longest = 0, second = 0, ties = 0, longestIndex = 0;
        for (std::size_t i = 0; i < kRawLogFieldCount; ++i) {
            if (kRawLogFormat[i] != 's') continue;
            std::size_t len = std::get<std::string_view>(values[i]).size();
            if (len > longest) {
                second = longest;
                longest = len;
                longestIndex = i;
                ties = 1;
            } else if (len == longest) {
                ++ties;
            } else if (len > second) {
                second = len;
            }
        }
        if (longest == 0) break;  // nothing left to cut (cannot happen: the fixed part is small)
        std::size_t target;
        if (ties > 1)
            target = longest - std::min(longest, std::max<std::size_t>(1, excess / ties));
        else
            target = std::max(second, longest > excess ? longest - excess : 0);
        auto& text = std::get<std::string_view>(values[longestIndex]);
        text = cutText(text, std::min(target, longest - 1));
        size = rawLogRecordSize(values);
    }
    return original - size;
}

std::string formatDouble(double value) {
    int n = std::snprintf(nullptr, 0, "%f", value);
    std::string text(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0) std::snprintf(text.data(), text.size() + 1, "%f", value);
    return text;
}

// Appends one column's value as the row formats write it; NULL and BLOB
// values are written as nullText.
void appendValue(std::string& line, sqlite3_stmt* stmt, int column, std::string_view nullText) {
    switch (sqlite3_column_type(stmt, column)) {
        case SQLITE_INTEGER:
            line += std::to_string(static_cast<long long>(sqlite3_column_int64(stmt, column)));
            break;
        case SQLITE_FLOAT:
            line += formatDouble(sqlite3_column_double(stmt, column));
            break;
        case SQLITE_TEXT: {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
            if (text) line.append(text, static_cast<std::size_t>(sqlite3_column_bytes(stmt, column)));
            break;
        }
        default:
            line += nullText;
            break;
    }
}

void buildLine(std::string& line, sqlite3_stmt* stmt, int columns, RowFormat format) {
    line.clear();
    switch (format) {
        case RowFormat::Enclosed:
        case RowFormat::Plain: {
            // Both end every value with the separator; the enclosed format
            // also opens the line with one and spells NULL out.
            const bool enclosed = format == RowFormat::Enclosed;
            if (enclosed) line += "|**|";
            for (int c = 0; c < columns; ++c) {
                appendValue(line, stmt, c, enclosed ? "NULL" : "");
                line += "|**|";
            }
            line += "**|\n";
            break;
        }
        case RowFormat::Tab:
            // No tab follows the first column, so its NULL (in every export)
            // leaves no trace and the line starts with the second value.
            for (int c = 0; c < columns; ++c) {
                if (c > 1) line += '\t';
                appendValue(line, stmt, c, "");
            }
            line += '\n';
            break;
    }
}

}  // namespace

std::size_t packFields(std::span<std::uint8_t> buffer, std::string_view format,
                       std::span<const PackValue> values) {
    std::size_t at = 0;
    std::size_t next = 0;
    for (char letter : format) {
        std::size_t need;
        switch (letter) {
            case 'd': need = 3; break;
            case 'l': need = 5; break;
            case 'z': need = 9; break;
            case 's': need = 3; break;
            default: continue;
        }
        if (next >= values.size()) return 0;
        const PackValue& value = values[next++];
        const bool isText = std::holds_alternative<std::string_view>(value);
        if (isText != (letter == 's')) return 0;
        std::string_view text;
        if (isText) {
            text = std::get<std::string_view>(value).substr(0, kMaxPackedText);
            need += text.size();
        }
        if (need > buffer.size() - at) return 0;
        std::uint8_t* out = buffer.data() + at;
        switch (letter) {
            case 'd':
                out[0] = 1;
                putBigEndian(out + 1, static_cast<std::uint64_t>(std::get<std::int64_t>(value)) & 0xFFFF, 2);
                break;
            case 'l':
                out[0] = 2;
                putBigEndian(out + 1, static_cast<std::uint64_t>(std::get<std::int64_t>(value)) & 0xFFFFFFFF, 4);
                break;
            case 'z':
                out[0] = 8;
                putBigEndian(out + 1, static_cast<std::uint64_t>(std::get<std::int64_t>(value)), 8);
                break;
            case 's':
                out[0] = 3;
                putBigEndian(out + 1, text.size(), 2);
                std::copy(text.begin(), text.end(), out + 3);
                break;
        }
        at += need;
    }
    return at;
}

namespace {

// A raw-log write that fails is reported once per transfer period, not
// once per buffer: a full disk would otherwise fill the log with the same line.
constexpr std::int64_t kWriteFailureReportSeconds = 180;
std::atomic<std::int64_t> g_lastWriteFailureReport{-kWriteFailureReportSeconds};

void reportWriteFailure(const char* what, int error) {
    const std::int64_t now = platform::nowSeconds();
    std::int64_t last = g_lastWriteFailureReport.load();
    if (now - last < kWriteFailureReportSeconds && now >= last) return;
    if (!g_lastWriteFailureReport.compare_exchange_strong(last, now)) return;
    LogError("\n Unable to %s %s: %s; the events are collected again once it can be written", what,
             kRawLogsFilePath, std::strerror(error));
}

}  // namespace

bool appendRawLogs(const RawLogHost& host, const EventRecord* records, int count) {
    LogInfo("\n Writing to file : %d number of logs", count);
    if (count <= 0 || !records) return true;

    // The whole batch is packed first and written in one piece: a record
    // written in part would make the rest of the file undecodable.
    std::vector<std::uint8_t> batch;
    batch.reserve(static_cast<std::size_t>(count) * 512);
    std::array<std::uint8_t, kRawLogRecordCapacity> buffer{};
    for (int i = 0; i < count; ++i) {
        const EventRecord& r = records[i];
        std::array<PackValue, kRawLogFieldCount> values = {
            std::string_view(host.type), std::int64_t{host.id}, std::string_view(host.name),
            std::int64_t{r.eventTime}, std::int64_t{r.day}, std::int64_t{r.eventId},
            std::int64_t{r.severity - 1}, std::string_view(r.logFile), std::string_view(r.source),
            std::string_view(r.user), std::string_view(r.domain),
            std::string_view(r.accessOrLogonType), std::string_view(r.remoteHost),
            std::string_view(r.objectName), std::string_view(r.objectType),
            std::string_view(r.targetUser), std::string_view(r.targetDomain),
            std::string_view(r.groupName), std::string_view(r.memberName),
            std::string_view(r.accesses), std::string_view(r.processName),
            std::string_view(r.notifiedIds), std::string_view(r.message)};
        if (std::size_t cut = fitRawLogRecord(values); cut > 0)
            LogInfo("\n Raw log record of event %d cut by %zu bytes to fit %zu bytes", r.eventId, cut,
                    kRawLogRecordCapacity);

        std::size_t packed = packFields(std::span(buffer).subspan(2), kRawLogFormat, values);
        if (packed == 0) {
            // Cannot happen once the record is fitted; the others still go.
            LogError("\n Unable to pack raw log record of event %d", r.eventId);
            continue;
        }
        const std::size_t length = packed + 2;
        putBigEndian(buffer.data(), length, 2);
        batch.insert(batch.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(length));
    }

    File file(platform::openRegularFile(kRawLogsFilePath, "ab"));
    if (!file) {
        LogError("\n Unable to open %s for append", kRawLogsFilePath);
        reportWriteFailure("open", errno);
        return false;
    }
    // Unbuffered, so that nothing of a failed write is left in the stream to
    // be written when it closes, after the file has been cut back.
    std::setvbuf(file.get(), nullptr, _IONBF, 0);
    std::uint64_t before = 0;
    if (platform::openFileSize(file.get(), &before) != 0) {
        reportWriteFailure("measure", errno);
        return false;
    }
    if (std::fwrite(batch.data(), 1, batch.size(), file.get()) != batch.size() ||
        std::fflush(file.get()) != 0) {
        const int error = errno;
        // Cut back to where the batch began: the file holds it whole or not at all.
        if (platform::truncateOpenFile(file.get(), before) != 0)
            LogError("\n Unable to cut %s back after a failed write", kRawLogsFilePath);
        reportWriteFailure("write to", error);
        return false;
    }
    return true;
}

RowFormat rowFormatForDatabaseFlag(int databaseFlag) {
    if (databaseFlag == 2) return RowFormat::Tab;
    if (databaseFlag == 1) return RowFormat::Plain;
    return RowFormat::Enclosed;
}

bool exportQueryRows(StoreDb which, const std::string& query, const std::string& filePath, bool truncate) {
    auto dbLock = lockStoreDatabase(which);
    sqlite3* db = storeDatabase(which);

    sqlite3_stmt* raw = nullptr;
    if (!db || sqlite3_prepare_v2(db, query.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
        LogError("\n SQL Error : %s\n Query : %s", db ? sqlite3_errmsg(db) : "database not open",
                 query.c_str());
        sqlite3_finalize(raw);
        return false;
    }
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> stmt(raw, sqlite3_finalize);

    File file(platform::openRegularFile(filePath, truncate ? "w" : "a"));
    if (!file) {
        LogError("\n Unable to open file %s", filePath.c_str());
        return false;
    }

    const RowFormat format = rowFormatForDatabaseFlag(DatabaseFlag());
    const int columns = sqlite3_column_count(stmt.get());
    std::string line;
    // Rows already written; a busy answer resets the statement, which then
    // starts again from its first row, and those rows are not written twice.
    long long written = 0;
    long long seen = 0;
    int busyAnswers = 0;
    bool complete = false;
    for (;;) {
        int rc = sqlite3_step(stmt.get());
        if (rc == SQLITE_ROW) {
            if (++seen <= written) continue;
            buildLine(line, stmt.get(), columns, format);
            if (std::fwrite(line.data(), 1, line.size(), file.get()) != line.size()) {
                LogError("\n Unable to write to file %s", filePath.c_str());
                break;
            }
            ++written;
        } else if (rc == SQLITE_BUSY) {
            if (busyAnswers + 1 >= kBusyAnswerLimit) {
                LogError("\n DB Deadlock.. Some Problem. Closing and returning.");
                break;
            }
            LogError("\n DB Busy, current retry count : %d", busyAnswers);
            sqlite3_reset(stmt.get());
            seen = 0;
            ++busyAnswers;
            platform::sleepMillis(kBusyPauseMillis);
        } else if (rc == SQLITE_DONE) {
            complete = true;
            break;
        } else {
            LogError("\n Unknown Error, Error Code : %d", rc);
            break;
        }
    }
    if (std::fflush(file.get()) != 0) {
        LogError("\n Unable to write to file %s", filePath.c_str());
        complete = false;
    }
    return complete;
}

void removeServerDataFiles() {
    platform::removeFile(kRawLogsFilePath);
    platform::removeFile(kAggregateFilePath);
    platform::removeTree(kSendingDir);
}
