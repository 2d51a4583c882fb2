#include "testserver/uploads.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <vector>

#include "testserver/decoders/decoders.h"

namespace testserver {

namespace fs = std::filesystem;

namespace {

bool writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::string numbered(int seq) {
    char text[16];
    std::snprintf(text, sizeof text, "%04d", seq);
    return text;
}

// Raises newest[host id] to the time of every raw-log record of the entry
// (the whole entry is skipped when it cannot be decoded).
void noteEventTimes(const std::string& data, std::map<std::string, std::int64_t>& newest) {
    std::vector<decoders::PackedRecord> records;
    if (decoders::decodeRecords(data, decoders::rawLogSchema().format, records)) return;
    for (const decoders::PackedRecord& r : records) {
        if (r.fields.size() < 4) continue;
        const std::int64_t millis = r.fields[3].number * 1000;
        std::int64_t& known = newest.try_emplace(std::to_string(r.fields[1].number), millis).first->second;
        known = std::max(known, millis);
    }
}

}  // namespace

std::string safeBaseName(const std::string& name, const std::string& fallback) {
    const auto slash = name.find_last_of("/\\");
    std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
    for (char& c : base) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                        c == '_' || c == '-';
        if (!ok) c = '_';
    }
    if (base.find_first_not_of('.') == std::string::npos) return fallback;
    return base;
}

UploadStore::UploadStore(std::string root) : root_(std::move(root)) {}

bool UploadStore::store(const std::string& upfileName, const std::string& filenameField, const std::string& bytes,
                        const std::string& receivedAt, std::string& summary) {
    std::lock_guard<std::mutex> lock(mutex_);
    const fs::path folder = fs::path(root_) / "uploads";
    std::error_code ec;
    fs::create_directories(folder, ec);

    std::string base = safeBaseName(upfileName.empty() ? filenameField : upfileName, "upload.zip");
    std::string stem = base.size() > 4 && base.substr(base.size() - 4) == ".zip" ? base.substr(0, base.size() - 4)
                                                                                   : base;
    // A sequence number not used by an earlier run writing to the same folder.
    std::string prefix;
    do {
        prefix = numbered(next_++) + "-";
    } while (fs::exists(folder / (prefix + stem + ".zip")) || fs::exists(folder / (prefix + stem)));
    const std::string zipName = prefix + stem + ".zip";
    const fs::path zipPath = folder / zipName;
    const fs::path unpacked = folder / (prefix + stem);

    std::string error;
    const bool stored = writeFile(zipPath, bytes);
    if (!stored) error = "cannot write " + zipPath.string();

    std::vector<decoders::ZipEntry> entries;
    decoders::DecodeError zipError;
    if (error.empty()) {
        zipError = decoders::readZip(zipPath.string(), entries);
        if (zipError) error = zipError.describe();
    }
    fs::create_directories(unpacked, ec);
    std::set<std::string> used;
    std::string entryList;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const decoders::ZipEntry& entry = entries[i];
        // Entry names come from the client: only a bare, safe name is used on
        // disk, and a repeated name gets a number so nothing is overwritten.
        std::string name = safeBaseName(entry.name, "entry-" + std::to_string(i));
        while (!used.insert(name).second) name += "-" + std::to_string(i);
        writeFile(unpacked / name, entry.data);
        const decoders::FileKind kind = decoders::detectKind(entry.name, entry.data);
        if (stored && kind == decoders::FileKind::RawLog) noteEventTimes(entry.data, newestEventMillis_);
        if (kind != decoders::FileKind::Unknown && kind != decoders::FileKind::Zip) {
            std::string lines;
            decoders::DecodeError e = decoders::toJsonLines(kind, entry.data, lines);
            writeFile(unpacked / (name + ".jsonl"), lines);
            if (e && error.empty()) error = "entry \"" + entry.name + "\" " + e.describe();
        }
        if (!entryList.empty()) entryList += ",";
        entryList += decoders::jsonString(entry.name);
    }
    std::string decoded;
    decoders::zipToJsonLines(zipPath.string(), decoded);
    writeFile(folder / (prefix + stem + ".jsonl"), decoded);

    summary = "{\"time\":" + decoders::jsonString(receivedAt) +
                          ",\"upfile\":" + decoders::jsonString(upfileName) +
                          ",\"filename\":" + decoders::jsonString(filenameField) +
                          ",\"size\":" + std::to_string(bytes.size()) +
                          ",\"stored\":" + decoders::jsonString("uploads/" + zipName) +
                          ",\"unpacked\":" + decoders::jsonString("uploads/" + prefix + stem) +
                          ",\"entries\":[" + entryList + "]" +
                          ",\"error\":" + (error.empty() ? std::string("null") : decoders::jsonString(error)) + "}";
    std::ofstream index(fs::path(root_) / "uploads.jsonl", std::ios::app);
    index << summary << "\n";
    index.flush();
    return stored;
}

std::map<std::string, std::int64_t> UploadStore::newestEventMillis() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return newestEventMillis_;
}

}  // namespace testserver
