#include "tools/server_summary.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "testserver/decoders/decoders.h"
#include "tools/fim_summary.h"

namespace fs = std::filesystem;

namespace {

// "mode=register" for agentHandler requests, else the last path component.
std::string requestKind(const std::string& target) {
    std::string path = target.substr(0, target.find('?'));
    std::string name = path.substr(path.rfind('/') + 1);
    std::size_t mode = target.find("mode=");
    if (mode != std::string::npos) {
        std::size_t end = target.find('&', mode);
        name += " " + target.substr(mode, end == std::string::npos ? std::string::npos : end - mode);
    }
    return name;
}

std::string hourText(long long seconds) {
    std::time_t t = static_cast<std::time_t>(seconds - seconds % 3600);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:00 UTC", &tm);
    return text;
}

struct HostHour {
    long long events = 0;
    long long notified = 0;
};

std::string field(const decoders::PackedRecord& record, std::size_t index) {
    if (index >= record.fields.size()) return {};
    const auto& f = record.fields[index];
    return f.letter == 's' ? f.text : std::to_string(f.number);
}

long long number(const decoders::PackedRecord& record, std::size_t index) {
    return index < record.fields.size() ? record.fields[index].number : 0;
}

}  // namespace

bool summariseServerOutput(const std::string& outputDir, std::string& out) {
    std::ifstream log(fs::path(outputDir) / "requests.log");
    if (!log) {
        out = "no requests.log in " + outputDir + "\n";
        return false;
    }
    std::map<std::string, long long> kinds;
    std::vector<std::string> firstKinds;
    std::string line;
    while (std::getline(log, line)) {
        std::size_t a = line.find(' ');
        std::size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
        if (b == std::string::npos) continue;
        std::string kind = requestKind(line.substr(b + 1));
        if (kinds[kind]++ == 0) firstKinds.push_back(kind);
    }
    out += "Requests seen (in order of first arrival):\n";
    for (const auto& kind : firstKinds)
        out += "  " + std::to_string(kinds[kind]) + " x " + kind + "\n";

    // Decoded uploads: raw-log records per host and hour; aggregate rows.
    std::map<std::string, std::map<std::string, HostHour>> rawByHost;
    std::map<std::string, long long> aggregateByHostHour;
    std::set<std::string> notifiedIds;
    std::vector<std::string> fileChanges;  // "TYPE path", in upload order
    std::vector<std::string> removedItems;
    int zips = 0, damaged = 0;
    const auto& schema = decoders::rawLogSchema();
    std::error_code ec;
    std::vector<fs::path> uploads;
    for (const auto& entry : fs::directory_iterator(fs::path(outputDir) / "uploads", ec))
        if (entry.path().extension() == ".zip") uploads.push_back(entry.path());
    std::sort(uploads.begin(), uploads.end());
    for (const auto& zipPath : uploads) {
        ++zips;
        std::vector<decoders::ZipEntry> entries;
        if (decoders::readZip(zipPath.string(), entries)) ++damaged;
        for (const auto& e : entries) {
            if (e.name == "rawlogs") {
                std::vector<decoders::PackedRecord> records;
                if (decoders::decodeRecords(e.data, schema.format, records)) ++damaged;
                for (const auto& r : records) {
                    HostHour& hh = rawByHost[field(r, 2) + " (id " + field(r, 1) + ")"]
                                            [hourText(number(r, 3))];
                    ++hh.events;
                    std::string ids = field(r, 21);
                    if (!ids.empty() && ids != "-") {
                        ++hh.notified;
                        notifiedIds.insert(ids);
                    }
                }
            } else if (e.name == "changeindex") {
                std::vector<decoders::PackedRecord> records;
                if (decoders::decodeRecords(e.data, decoders::changeIndexSchema().format, records)) ++damaged;
                for (const auto& r : records) fileChanges.push_back(field(r, 3) + " " + field(r, 1));
            } else if (e.name == "renameconfig") {
                std::vector<decoders::RenameEntry> entries;
                if (decoders::decodeRenameConfig(e.data, entries)) ++damaged;
                for (const auto& r : entries)
                    removedItems.push_back(r.path + " (location " + std::to_string(r.locationId) + ")");
            } else if (e.name == "aggregate") {
                std::vector<decoders::Row> rows;
                decoders::RowFormat used{};
                if (decoders::decodeRows(e.data, std::nullopt, 0, rows, used)) ++damaged;
                for (auto row : rows) {
                    // The tab format writes no separator after the leading NULL column.
                    if (row.values.size() == 14) row.values.insert(row.values.begin(), std::string());
                    if (row.values.size() < 15) continue;
                    long long count = 0;
                    for (std::size_t c = 10; c < 15; ++c)
                        if (row.values[c] && !row.values[c]->empty())
                            count += std::atoll(row.values[c]->c_str());
                    std::string key = "host " + row.values[3].value_or("?") + ", hour " +
                                      row.values[2].value_or("?");
                    aggregateByHostHour[key] += count;
                }
            }
        }
    }
    out += "\nUploads: " + std::to_string(zips) + " zip(s)";
    if (damaged) out += ", " + std::to_string(damaged) + " with decoding errors";
    out += "\n\nRaw events per host and hour:\n";
    if (rawByHost.empty()) out += "  (none)\n";
    for (const auto& [host, hours] : rawByHost)
        for (const auto& [hour, hh] : hours) {
            out += "  " + host + "  " + hour + ": " + std::to_string(hh.events) + " event(s)";
            if (hh.notified) out += ", " + std::to_string(hh.notified) + " notified";
            out += "\n";
        }
    out += "\nAggregate counts per host and hour:\n";
    if (aggregateByHostHour.empty()) out += "  (none)\n";
    for (const auto& [key, count] : aggregateByHostHour)
        out += "  " + key + ": " + std::to_string(count) + "\n";
    out += "\nFile changes:\n";
    if (fileChanges.empty()) out += "  (none)\n";
    for (const auto& change : fileChanges) out += "  " + change + "\n";
    out += "\nRemoved from watched locations:\n";
    if (removedItems.empty()) out += "  (none)\n";
    for (const auto& item : removedItems) out += "  " + item + "\n";
    out += "\nNotification ids marked on events:";
    if (notifiedIds.empty()) out += " (none)";
    for (const auto& ids : notifiedIds) out += " " + ids;
    out += "\n";
    summariseFimDataSets(uploads, out);
    return true;
}
