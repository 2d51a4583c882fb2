#include "tools/fim_summary.h"

#include <cctype>
#include <cstdlib>
#include <map>
#include <set>
#include <vector>

#include "testserver/decoders/decoders.h"

namespace {

// Columns of the attribute rows.
constexpr std::size_t kColumns = 24;
constexpr std::size_t kFileName = 4, kMd5 = 17, kSha1 = 18, kError = 19, kSize = 20, kFileCount = 21,
                      kFolderCount = 22, kIsFile = 23;

struct Item {
    std::string md5, sha1, error;
    long long size = 0, files = 0, folders = 0;
    bool isFile = true;
};

struct DataSet {
    DataSet(const char* l, const char* c) : label(l), config(c) {}
    const char* label;
    const char* config;  // the attribute file in its zips
    int zips = 0;
    int treeViewEntries = 0;
    std::vector<std::pair<std::string, Item>> items;  // in upload order
};

std::string value(const decoders::Row& row, std::size_t column) {
    return column < row.values.size() ? row.values[column].value_or("") : std::string();
}

bool hasDigest(const std::string& text) {
    if (text.size() != 32 && text.size() != 40) return false;
    for (char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

void readRows(const std::string& data, DataSet& set, int& damaged) {
    std::vector<decoders::Row> rows;
    decoders::RowFormat used{};
    if (decoders::decodeRows(data, std::nullopt, 0, rows, used)) ++damaged;
    for (auto row : rows) {
        // The tab format writes no separator after the leading NULL column.
        if (row.values.size() == kColumns - 1) row.values.insert(row.values.begin(), std::string());
        if (row.values.size() < kColumns) continue;
        Item item;
        item.md5 = value(row, kMd5);
        item.sha1 = value(row, kSha1);
        item.error = value(row, kError);
        item.size = std::atoll(value(row, kSize).c_str());
        item.files = std::atoll(value(row, kFileCount).c_str());
        item.folders = std::atoll(value(row, kFolderCount).c_str());
        item.isFile = value(row, kIsFile) != "0";
        set.items.emplace_back(value(row, kFileName), item);
    }
}

void describe(const DataSet& set, std::string& out) {
    int files = 0, folders = 0, digests = 0;
    for (const auto& [path, item] : set.items) {
        (item.isFile ? files : folders) += 1;
        if (hasDigest(item.md5) && hasDigest(item.sha1)) ++digests;
    }
    out += "  " + std::string(set.label) + ": " + std::to_string(set.zips) + " upload(s), " +
           std::to_string(set.items.size()) + " item(s) (" + std::to_string(files) + " file(s), " +
           std::to_string(folders) + " folder(s)), " + std::to_string(digests) + " with checksums, " +
           std::to_string(set.treeViewEntries) + " tree-view entr" + (set.treeViewEntries == 1 ? "y" : "ies") +
           "\n";
    for (const auto& [path, item] : set.items) {
        out += "    " + path;
        if (item.isFile) {
            out += "  " + std::to_string(item.size) + " bytes";
            if (hasDigest(item.md5)) out += "  md5 " + item.md5;
            else if (!item.md5.empty()) out += "  md5: " + item.md5;
            if (hasDigest(item.sha1)) out += "  sha1 " + item.sha1;
        } else {
            out += "  folder: " + std::to_string(item.files) + " file(s), " + std::to_string(item.folders) +
                   " folder(s), " + std::to_string(item.size) + " bytes";
        }
        if (!item.error.empty()) out += "  error: " + item.error;
        out += "\n";
    }
}

}  // namespace

void summariseFimDataSets(const std::vector<std::filesystem::path>& zips, std::string& out) {
    DataSet base("base", "baseconfig"), periodic("periodic", "periodicconfig"), added("new", "newconfig");
    int damaged = 0;
    for (const auto& zip : zips) {
        const std::string name = zip.filename().string();
        // Upload names carry a sequence number in front ("0003-basedata_7.zip").
        DataSet* set = name.find("periodicdata_") != std::string::npos ? &periodic
                       : name.find("basedata_") != std::string::npos   ? &base
                       : name.find("newdata_") != std::string::npos    ? &added
                                                                       : nullptr;
        if (!set) continue;
        ++set->zips;
        std::vector<decoders::ZipEntry> entries;
        if (decoders::readZip(zip.string(), entries)) ++damaged;
        for (const auto& e : entries) {
            if (e.name == set->config) {
                readRows(e.data, *set, damaged);
            } else if (e.name == "treeviewconfig") {
                std::vector<decoders::Row> rows;
                decoders::RowFormat used{};
                if (decoders::decodeRows(e.data, std::nullopt, 0, rows, used)) ++damaged;
                set->treeViewEntries += static_cast<int>(rows.size());
            }
        }
    }
    out += "\nFile integrity data sets:\n";
    if (!base.zips && !periodic.zips && !added.zips) out += "  (none)\n";
    for (const DataSet* set : {&base, &periodic, &added})
        if (set->zips) describe(*set, out);
    if (damaged) out += "  " + std::to_string(damaged) + " file(s) with decoding errors\n";

    // What the latest periodic data says against the base: items whose
    // content changed, items that are new, items that are gone.
    if (base.zips && periodic.zips) {
        std::map<std::string, Item> before, after;
        for (const auto& [path, item] : base.items) before[path] = item;
        for (const auto& [path, item] : periodic.items) after[path] = item;
        int changed = 0, appeared = 0, gone = 0;
        std::string lines;
        for (const auto& [path, item] : after) {
            const auto it = before.find(path);
            if (it == before.end()) {
                ++appeared;
                lines += "    new since the base: " + path + "\n";
            } else if (item.isFile && (item.md5 != it->second.md5 || item.sha1 != it->second.sha1 ||
                                       item.size != it->second.size)) {
                ++changed;
                lines += "    changed since the base: " + path + "\n";
            }
        }
        for (const auto& [path, item] : before)
            if (!after.count(path)) {
                ++gone;
                lines += "    gone since the base: " + path + "\n";
            }
        out += "  periodic against base: " + std::to_string(changed) + " changed, " + std::to_string(appeared) +
               " new, " + std::to_string(gone) + " gone\n" + lines;
    }
}
