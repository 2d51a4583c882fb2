// Queries for newer events start reading a log file at the first event that
// can match, skip unchanged files with nothing newer, and read grown ones on
// from where the last read ended; every answer is compared with a read of
// fresh copies of the same files from their start.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/platform/wmi/wmi_test_util.h"

using namespace wmitest;

namespace {

const std::string kSamples = std::string(AMBRIK_SHARED_DATA_DIR) + "/evtx/";

std::string at(int second) {
    char text[40];
    std::snprintf(text, sizeof text, "2024-03-10T12:%02d:%02d.000000000Z", second / 60, second % 60);
    return text;
}

// The condition "newer than 12:00 plus `second` seconds, UTC".
std::string after(int second) {
    char text[40];
    std::snprintf(text, sizeof text, "2024031012%02d%02d.000000+000", second / 60, second % 60);
    return text;
}

std::string events(int fromRecord, int toRecord) {
    std::string out;
    for (int r = fromRecord; r <= toRecord; ++r) {
        EventXml e;
        e.recordId = r;
        e.systemTime = at(r);
        e.data = {"value " + std::to_string(r)};
        out += eventXml(e);
    }
    return out;
}

class IncrementalReads : public WmiTest {
protected:
    // Record numbers of the events the host answers newer than the time (or
    // as new, with orEqual); the answer must be that of a full read of the
    // same files.
    std::vector<std::int64_t> newer(const std::string& hostName, const std::string& dmtf,
                                    bool orEqual = false) {
        const auto answer = ask(hostName, dmtf, orEqual);
        const std::string copy = hostName + "-copy" + std::to_string(copies_++);
        fs::copy(host(hostName), host(copy), fs::copy_options::recursive);
        EXPECT_EQ(answer, ask(copy, dmtf, orEqual)) << (orEqual ? ">= " : "> ") << dmtf;
        std::vector<std::int64_t> numbers;
        for (const auto& a : answer) numbers.push_back(std::stoll(a.substr(0, a.find(' '))));
        return numbers;
    }
    // Asks for each condition, and so compares each answer with a full read.
    void expectFullReadAnswers(const std::string& hostName, std::initializer_list<int> seconds) {
        for (int s : seconds) {
            newer(hostName, after(s));
            newer(hostName, after(s), true);
        }
    }
    // Reports about the host's own file (not about its copies).
    int reportsOf(const std::string& hostName, const std::string& part) {
        const std::string needle = "/" + hostName + "/" + part;
        std::lock_guard<std::mutex> lock(diagnosticsMutex());
        int n = 0;
        for (const auto& d : diagnostics()) n += d.find(needle) != std::string::npos;
        return n;
    }

private:
    // Each event as its record number, time and insertion strings.
    std::vector<std::string> ask(const std::string& hostName, const std::string& dmtf, bool orEqual) {
        std::vector<std::string> out;
        const std::string wql = std::string("Select * from Win32_NTLogEvent where TimeGenerated ") +
                                (orEqual ? ">=" : ">") + " '" + dmtf + "'";
        for (const auto& o : query(hostName, wql)) {
            std::string line = std::to_string(integer(o, "RecordNumber")) + " " + text(o, "TimeGenerated");
            for (const auto& t : prop(o, "InsertionStrings").texts) line += " [" + t + "]";
            out.push_back(line);
        }
        return out;
    }

    int copies_ = 0;
};

using V = std::vector<std::int64_t>;

// A damaged event shows which parts of a file are read: it is reported each
// time the reader passes it.
TEST_F(IncrementalReads, UnchangedFilesAreSkippedAndGrownOnesReadOnFromTheirEnd) {
    writeHostXml("h1", "<host/>");
    const fs::path log = host("h1") / "Application.xml";
    writeFile(log, events(1, 2) + "<Event><System></Event>\n" + events(3, 4));
    writeFile(host("h1") / "System.xml", "<Events>" + events(10, 12) + "</Events>");
    EXPECT_EQ(newer("h1", after(0)), (V{1, 2, 3, 4, 10, 11, 12}));
    EXPECT_EQ(reportsOf("h1", "Application.xml: event 3 skipped"), 1);

    // Nothing new: neither file is read.
    EXPECT_EQ(newer("h1", after(12)), V{});
    EXPECT_EQ(newer("h1", after(4)), (V{10, 11, 12}));
    EXPECT_EQ(reportsOf("h1", "Application.xml: event 3 skipped"), 1);

    // Appended events are read from where the last read ended.
    appendFile(log, events(20, 21));
    EXPECT_EQ(newer("h1", after(12)), (V{20, 21}));
    EXPECT_EQ(reportsOf("h1", "Application.xml: event 3 skipped"), 1);

    // An older condition starts at the first event newer than it: after 3
    // that is record 4, behind the damaged event; after 2 it is record 3,
    // before it.
    EXPECT_EQ(newer("h1", after(3)), (V{4, 20, 21, 10, 11, 12}));
    EXPECT_EQ(reportsOf("h1", "Application.xml: event 3 skipped"), 1);
    EXPECT_EQ(newer("h1", after(2)), (V{3, 4, 20, 21, 10, 11, 12}));
    EXPECT_EQ(reportsOf("h1", "Application.xml: event 3 skipped"), 2);
    expectFullReadAnswers("h1", {0, 2, 4, 11, 12, 20, 21});
}

// Times out of order, events without a time, a declaration that changes the
// encoding half-way and a UTF-16 file, whose offsets cannot be kept.
TEST_F(IncrementalReads, ReadsStartAtTheFirstEventThatCanMatch) {
    writeHostXml("h1", "<host currentTimeZone='0'/>");
    auto event = [](int record, int second, bool timed = true) {
        EventXml e;
        e.recordId = record;
        e.systemTime = timed ? at(second) : "";
        e.data = {"value " + std::to_string(record)};
        return eventXml(e);
    };
    writeFile(host("h1") / "A.xml", event(1, 5) + event(2, 3) + event(3, 7) + "<Event><System></Event>\n" +
                                        event(4, 7) + event(5, 0, false) + event(6, 6) + event(7, 9));
    EXPECT_EQ(newer("h1", after(0)), (V{1, 2, 3, 4, 6, 7}));
    EXPECT_EQ(reportsOf("h1", "A.xml: event 4 skipped"), 1);
    EXPECT_EQ(newer("h1", after(8)), V{7});
    EXPECT_EQ(newer("h1", after(7)), V{7});
    EXPECT_EQ(reportsOf("h1", "A.xml: event 4 skipped"), 1);  // record 7 lies behind it
    EXPECT_EQ(newer("h1", after(7), true), (V{3, 4, 7}));
    EXPECT_EQ(reportsOf("h1", "A.xml: event 4 skipped"), 2);
    EXPECT_EQ(newer("h1", after(9)), V{});
    expectFullReadAnswers("h1", {0, 2, 3, 4, 5, 6, 8, 9});

    // Entries read in another encoding than those before them.
    std::string latin = event(13, 13);
    latin.replace(latin.find("value"), 5, "val\xe9");
    writeFile(host("h1") / "B.xml",
              event(10, 10) + event(11, 11) + "<?xml version='1.0' encoding='ISO-8859-1'?>" + event(12, 12) + latin);
    EXPECT_EQ(newer("h1", after(9)), (V{10, 11, 12, 13}));
    expectFullReadAnswers("h1", {10, 11, 12, 13});

    // UTF-16: every matching query reads the whole file.
    const std::string plain = event(20, 20) + event(21, 21);
    std::string wide = "\xFF\xFE";
    for (char c : plain) wide += std::string{c, '\0'};
    writeFile(host("h1") / "C.xml", wide);
    expectFullReadAnswers("h1", {19, 20, 21});
}

TEST_F(IncrementalReads, RewrittenTruncatedAndHalfWrittenFilesGiveTheFullReadAnswers) {
    writeHostXml("h1", "<host/>");
    const fs::path log = host("h1") / "Application.xml";
    writeFile(log, events(1, 5));
    EXPECT_EQ(newer("h1", after(5)), V{});

    // Rewritten in place at the same size: other events.
    std::string sameSize = events(1, 5);
    sameSize.replace(sameSize.find("value 5"), 7, "value 9");
    sameSize.replace(sameSize.find("T12:00:05"), 9, "T12:00:09");
    writeFile(log, sameSize);
    EXPECT_EQ(newer("h1", after(5)), (V{5}));

    // Rewritten bigger with another start: read from the start again.
    writeFile(log, events(30, 31) + events(40, 42));
    EXPECT_EQ(newer("h1", after(40)), (V{41, 42}));
    // Cut shorter.
    writeFile(log, events(30, 31));
    EXPECT_EQ(newer("h1", after(30)), (V{31}));

    // A root element whose end moves as events go in before it.
    writeFile(log, "<Events>\n" + events(50, 51) + "</Events>\n");
    EXPECT_EQ(newer("h1", after(51)), V{});
    writeFile(log, "<Events>\n" + events(50, 53) + "</Events>\n");
    EXPECT_EQ(newer("h1", after(51)), (V{52, 53}));

    // An event still being written is taken once it is whole.
    const std::string next = events(54, 54);
    appendFile(log, next.substr(0, 100));
    EXPECT_EQ(newer("h1", after(53)), V{});
    appendFile(log, next.substr(100));
    EXPECT_EQ(newer("h1", after(53)), (V{54}));
    expectFullReadAnswers("h1", {0, 51, 53, 54});

    // Deleted and created again under the same name.
    fs::remove(log);
    EXPECT_EQ(newer("h1", after(0)), V{});
    writeFile(log, events(1, 2));
    EXPECT_EQ(newer("h1", after(0)), (V{1, 2}));
}

TEST_F(IncrementalReads, EvtxFilesAreSkippedWhileUnchangedAndReadFromTheFirstMatch) {
    writeHostXml("h1", "<host currentTimeZone='0'/>");
    fs::create_directories(host("h1"));
    fs::create_symlink(kSamples + "omerbenamram-evtx/samples/security.evtx", host("h1") / "Security.evtx");
    const auto all = query("h1", kAllEvents);
    ASSERT_EQ(all.size(), 2261u);
    std::string newest = text(all[0], "TimeGenerated");
    for (const auto& o : all) newest = std::max(newest, text(o, "TimeGenerated"));
    const std::string middle = text(all[1200], "TimeGenerated");

    auto numbers = [&](const std::string& dmtf) {
        std::vector<std::int64_t> out;
        for (const auto& o : query("h1", "Select * from Win32_NTLogEvent where TimeGenerated > '" + dmtf + "'"))
            out.push_back(integer(o, "RecordNumber"));
        return out;
    };
    auto expected = [&](const std::string& dmtf) {
        V out;
        for (const auto& o : all)
            if (text(o, "TimeGenerated") > dmtf) out.push_back(integer(o, "RecordNumber"));
        return out;
    };
    EXPECT_EQ(numbers(newest), V{});
    EXPECT_EQ(numbers(newest), V{});
    // The distinct times, newest first: the queries the agent asks.
    std::vector<std::string> times;
    for (const auto& o : all) times.push_back(text(o, "TimeGenerated"));
    std::sort(times.rbegin(), times.rend());
    times.erase(std::unique(times.begin(), times.end()), times.end());
    ASSERT_GE(times.size(), 4u);
    for (const std::string& t : {times[1], times[1], times[3], middle, times[2]}) {
        const V answer = numbers(t);
        EXPECT_FALSE(answer.empty());
        EXPECT_EQ(answer, expected(t)) << t;
    }

    // Another file under the same name is read in full.
    fs::remove(host("h1") / "Security.evtx");
    fs::create_symlink(kSamples + "omerbenamram-evtx/samples/system.evtx", host("h1") / "Security.evtx");
    const auto other = query("h1", kAllEvents);
    EXPECT_FALSE(other.empty());
    EXPECT_NE(other.size(), all.size());
}

}  // namespace
