// The public NTFS sample beside the checkout (../shared/data/ntfs): a real
// volume's journal stream and Windows' own fsutil listing of it, read in
// place. Shared by the record tests and by the journal stand-in under wine.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "platform/journal.h"

namespace ntfs_sample {

// The sample's volume: its journal id, its end and its root folder.
inline constexpr std::uint64_t kJournalId = 0x01d4b29a6f9cc0e9ull;
inline constexpr std::int64_t kNextUsn = 29792;
inline constexpr std::uint64_t kRootReference = 0x0005000000000005ull;

inline std::string folder() {
#if defined(_WIN32)
    // Under wine the checkout is on drive Z, whatever the current drive is.
    return std::string("Z:") + AMBRIK_SHARED_DATA_DIR + "/ntfs/msuhanov-dfir_ntfs/test_data/";
#else
    return std::string(AMBRIK_SHARED_DATA_DIR) + "/ntfs/msuhanov-dfir_ntfs/test_data/";
#endif
}

inline constexpr const char* kMissing = "the public NTFS samples are not here (../shared/data/ntfs beside the checkout)";

// One V2 record of the stream: decoded, and its bytes as Windows wrote them.
struct Record {
    platform::UsnRecord record;
    std::vector<std::uint8_t> bytes;
};

// Every V2 record of the stream in USN order; nullopt when the file is
// absent, and an empty list (with *damage set) when the stream is not as
// expected. A record never crosses a 4 KiB page and the rest of a page is
// zeros; range-tracking (V4) records, which a V2 reader never asks for, are
// passed over.
inline std::optional<std::vector<Record>> readJournal(std::string* damage = nullptr) {
    std::ifstream in(folder() + "usnjrnlj.bin", std::ios::binary);
    if (!in) return std::nullopt;
    // Read as an output buffer holds the records, after its next USN.
    std::vector<std::uint8_t> out(8, 0);
    out.insert(out.end(), std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    std::vector<Record> records;
    auto fail = [&](const std::string& what) {
        if (damage) *damage = what;
        return std::vector<Record>{};
    };
    const std::size_t end = 8 + static_cast<std::size_t>(kNextUsn);
    if (out.size() < end) return fail("the stream is shorter than its records");
    for (std::size_t o = 8; o < end;) {
        platform::UsnRecord r;
        if (platform::decodeUsnRecord(out, o, &r)) {
            records.push_back({r, std::vector<std::uint8_t>(out.begin() + static_cast<std::ptrdiff_t>(o),
                                                            out.begin() + static_cast<std::ptrdiff_t>(o + r.RecordLength))});
            o += r.RecordLength;
        } else if (out[o + 4] == 4) {
            const std::size_t length = out[o] | out[o + 1] << 8;
            if (length < 8 || length % 8 != 0) return fail("bad range-tracking record at " + std::to_string(o - 8));
            o += length;
        } else {
            if (out[o] != 0) return fail("damaged record at stream offset " + std::to_string(o - 8));
            o = 8 + ((o - 8) / 4096 + 1) * 4096;
        }
    }
    return records;
}

// One record of the fsutil listing (its V4 records left out).
struct Listed {
    std::int64_t usn = -1;
    std::string name, fileId, parentId, time;
    std::uint32_t reason = 0, attributes = 0;
};

// The listing's records; empty when the file is absent.
inline std::vector<Listed> readListing() {
    std::ifstream listing(folder() + "usnjrnlj.fsutil.txt");
    std::vector<Listed> listed;
    std::string line;
    auto value = [&](const char* key) -> std::optional<std::string> {
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) return std::nullopt;
        std::string k = line.substr(0, colon);
        while (!k.empty() && k.back() == ' ') k.pop_back();
        if (k != key) return std::nullopt;
        std::string v = line.substr(colon + 2);
        while (!v.empty() && (v.back() == '\r' || v.back() == '\n')) v.pop_back();
        return v;
    };
    while (std::getline(listing, line)) {
        if (auto v = value("Usn")) {
            listed.push_back(Listed{});
            listed.back().usn = std::stoll(*v);
        }
        if (listed.empty()) continue;
        if (auto v = value("File name")) listed.back().name = *v;
        if (auto v = value("Reason")) listed.back().reason = static_cast<std::uint32_t>(std::stoul(*v, nullptr, 16));
        if (auto v = value("File attributes"))
            listed.back().attributes = static_cast<std::uint32_t>(std::stoul(*v, nullptr, 16));
        if (auto v = value("File ID")) listed.back().fileId = *v;
        if (auto v = value("Parent file ID")) listed.back().parentId = *v;
        if (auto v = value("Time stamp")) listed.back().time = *v;
        if (auto v = value("Major version"))
            if (*v == "4") listed.pop_back();
    }
    return listed;
}

// A 64-bit reference as the listing writes a 128-bit file id.
inline std::string hexId(std::uint64_t id) {
    char text[33];
    std::snprintf(text, sizeof text, "%016llx%016llx", 0ull, static_cast<unsigned long long>(id));
    return text;
}

// Expects the records to be the listing's, field by field. The listing's
// times are the local time of the machine that wrote it, so they must differ
// from the decoded UTC times by one whole-quarter-hour offset shared by all.
inline void expectAsListed(const std::vector<platform::UsnRecord>& records, const std::vector<Listed>& listed) {
    ASSERT_EQ(records.size(), listed.size());
    auto listedSeconds = [](const std::string& t) {  // M/D/YYYY H:MM:SS as seconds since 1970 (UTC rules)
        int mo = 0, d = 0, y = 0, h = 0, mi = 0, s = 0;
        EXPECT_EQ(std::sscanf(t.c_str(), "%d/%d/%d %d:%d:%d", &mo, &d, &y, &h, &mi, &s), 6) << t;
        const int yy = y - (mo <= 2), era = yy / 400, yoe = yy - era * 400;
        const int doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
        const std::int64_t days = era * 146097LL + yoe * 365LL + yoe / 4 - yoe / 100 + doy - 719468LL;
        return days * 86400LL + h * 3600LL + mi * 60LL + s;
    };
    std::optional<std::int64_t> offset;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const platform::UsnRecord& r = records[i];
        const Listed& l = listed[i];
        SCOPED_TRACE("USN " + std::to_string(l.usn));
        EXPECT_EQ(r.Usn, l.usn);
        EXPECT_EQ(std::string(r.FileName.begin(), r.FileName.end()), l.name);
        EXPECT_EQ(r.Reason, l.reason);
        EXPECT_EQ(r.FileAttributes, l.attributes);
        EXPECT_EQ(hexId(r.FileReferenceNumber), l.fileId);
        EXPECT_EQ(hexId(r.ParentFileReferenceNumber), l.parentId);
        const std::int64_t shift = listedSeconds(l.time) - platform::unixSecondsFromFileTime(r.TimeStamp);
        if (!offset) offset = shift;
        EXPECT_EQ(shift, *offset);
    }
    ASSERT_TRUE(offset.has_value());
    EXPECT_EQ(*offset % 900, 0);
}

}  // namespace ntfs_sample
