// The metrics file's text against the rules of the Prometheus text format:
// every family has one HELP and one TYPE line before its samples, which
// follow one another; names, labels and values are well formed, label values
// escaped; counters end in _total.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "agent/service/status_file.h"

namespace {

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
    const std::regex help(R"(# HELP (ambrik_[a-zA-Z0-9_:]*) \S.*)");
    const std::regex type(R"(# TYPE (ambrik_[a-zA-Z0-9_:]*) (gauge|counter))");
    const std::regex sampleLine(
        R"re((ambrik_[a-zA-Z0-9_:]*)(\{[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\["\\n])*"(?:,[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\["\\n])*")*\})? (\S+))re");
    std::set<std::string> families;
    std::map<std::string, std::string> types;
    std::set<std::string> series;
    std::string current, helped;
    std::map<std::string, std::string> values;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (std::regex_match(line, m, help)) {
            EXPECT_TRUE(families.insert(m[1]).second) << "family again: " << line;
            helped = m[1];
        } else if (std::regex_match(line, m, type)) {
            EXPECT_EQ(m[1], helped) << line;
            current = m[1];
            types[current] = m[2];
            if (m[2] == "counter") {
                EXPECT_TRUE(current.ends_with("_total")) << line;
            }
        } else if (std::regex_match(line, m, sampleLine)) {
            EXPECT_EQ(m[1], current) << "sample outside its family: " << line;
            EXPECT_TRUE(series.insert(std::string(m[1]) + std::string(m[2])).second) << "series again: " << line;
            char* end = nullptr;
            std::strtod(m[3].str().c_str(), &end);
            EXPECT_EQ(*end, '\0') << line;
            values[std::string(m[1]) + std::string(m[2])] = m[3];
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
