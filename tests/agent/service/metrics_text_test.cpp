// The metrics file's text against the rules of the Prometheus text format:
// every family has one HELP and one TYPE line before its samples, which
// follow one another; names, labels and values are well formed, label values
// escaped; counters end in _total.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "agent/service/status_file.h"

namespace {

bool nameChar(char c, bool first) {
    return c == '_' || c == ':' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (!first && c >= '0' && c <= '9');
}

// The metric or label name at text[i], moving i past it ("" when none).
std::string nameAt(const std::string& text, std::size_t& i, bool label) {
    const std::size_t begin = i;
    while (i < text.size() && nameChar(text[i], i == begin) && !(label && text[i] == ':')) ++i;
    return text.substr(begin, i - begin);
}

struct Sample {
    std::string name, labels, value;
};

// A sample line: name{label="value",...} value; false when it is not one.
bool parseSample(const std::string& line, Sample* out) {
    std::size_t i = 0;
    out->name = nameAt(line, i, false);
    if (out->name.empty()) return false;
    const std::size_t labelsBegin = i;
    if (i < line.size() && line[i] == '{') {
        do {
            ++i;
            if (nameAt(line, i, true).empty() || line.compare(i, 2, "=\"") != 0) return false;
            for (i += 2; i < line.size() && line[i] != '"'; ++i)
                if (line[i] == '\\' && (++i >= line.size() || std::string("\\\"n").find(line[i]) == std::string::npos))
                    return false;
            if (i++ >= line.size()) return false;
        } while (i < line.size() && line[i] == ',');
        if (i >= line.size() || line[i++] != '}') return false;
    }
    out->labels = line.substr(labelsBegin, i - labelsBegin);
    if (i >= line.size() || line[i++] != ' ') return false;
    out->value = line.substr(i);
    char* end = nullptr;
    std::strtod(out->value.c_str(), &end);
    return !out->value.empty() && *end == '\0';
}

StatusSnapshot sample() {
    StatusSnapshot s;
    s.now = 1700000100;
    s.startedAt = 1700000000;
    s.server.up = true;
    s.server.lastSuccess = 1700000090;
    HostStatus a;
    a.id = 201;
    a.name = "one.corp";
    a.run.recordGaps = 7;
    a.run.readThrough = 1700000040;
    HostStatus b;
    b.id = 202;
    b.name = "we\"ird\\name\nx";
    s.hosts = {a, b};
    s.transfers[0].pendingBytes = 300;
    DriveStatus c, d;
    c.letter = 'C';
    c.readUsn = 100;
    c.nextUsn = 164;
    d.letter = 'D';
    s.drives = {c, d};
    s.processKnown = true;
    s.process.cpuSeconds = 1.5;
    s.process.residentBytes = 1 << 20;
    s.process.threads = 9;
    return s;
}

TEST(MetricsText, FollowsThePrometheusTextFormat) {
    const std::string text = MetricsText(sample());
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    std::set<std::string> families;
    std::map<std::string, std::string> types;
    std::set<std::string> series;
    std::string current, helped;
    std::map<std::string, std::string> values;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        Sample sample;
        if (line.rfind("# HELP ", 0) == 0 || line.rfind("# TYPE ", 0) == 0) {
            std::size_t i = 7;
            const std::string name = nameAt(line, i, false);
            ASSERT_EQ(name.rfind("ambrik_", 0), 0u) << line;
            ASSERT_LT(i + 1, line.size()) << line;
            ASSERT_EQ(line[i], ' ') << line;
            const std::string rest = line.substr(i + 1);
            if (line[2] == 'H') {
                EXPECT_TRUE(families.insert(name).second) << "family again: " << line;
                helped = name;
            } else {
                EXPECT_EQ(name, helped) << line;
                EXPECT_TRUE(rest == "gauge" || rest == "counter") << line;
                if (rest == "counter") {
                    EXPECT_TRUE(name.ends_with("_total")) << line;
                }
                current = name;
                types[name] = rest;
            }
        } else if (parseSample(line, &sample)) {
            EXPECT_EQ(sample.name, current) << "sample outside its family: " << line;
            EXPECT_TRUE(series.insert(sample.name + sample.labels).second) << "series again: " << line;
            values[sample.name + sample.labels] = sample.value;
        } else {
            ADD_FAILURE() << "not a line of the format: " << line;
        }
    }
    EXPECT_EQ(values["ambrik_host_record_gaps_total{host=\"one.corp\",host_id=\"201\"}"], "7");
    EXPECT_EQ(values["ambrik_host_lag_seconds{host=\"one.corp\",host_id=\"201\"}"], "60");
    EXPECT_EQ(values["ambrik_host_lag_seconds{host=\"we\\\"ird\\\\name\\nx\",host_id=\"202\"}"], "-1");
    EXPECT_EQ(values["ambrik_transfer_pending_bytes{data_set=\"events\"}"], "300");
    EXPECT_EQ(values["ambrik_drive_backlog_bytes{drive=\"C\"}"], "64");
    EXPECT_EQ(values["ambrik_process_cpu_seconds_total"], "1.500");
    EXPECT_EQ(values["ambrik_server_up"], "1");
    EXPECT_EQ(types["ambrik_host_events_collected_total"], "counter");
}

}  // namespace
