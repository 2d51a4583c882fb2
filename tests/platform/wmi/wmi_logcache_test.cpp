// Queries for newer events skip unchanged log files and read grown ones on
// from where the last read ended; every answer is compared with a read of
// fresh copies of the same files from their start.
#include <gtest/gtest.h>

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
    // Record numbers of the events the host answers newer than the time.
    std::vector<std::int64_t> newer(const std::string& hostName, const std::string& dmtf) {
        std::vector<std::int64_t> out;
        for (const auto& o : query(hostName, "Select * from Win32_NTLogEvent where TimeGenerated > '" + dmtf + "'"))
            out.push_back(integer(o, "RecordNumber"));
        return out;
    }
    // The same query on a copy of the host's folder, which nothing has read.
    std::vector<std::int64_t> fromStart(const std::string& hostName, const std::string& dmtf) {
        const std::string copy = hostName + "-copy" + std::to_string(copies_++);
        fs::copy(host(hostName), host(copy), fs::copy_options::recursive);
        return newer(copy, dmtf);
    }
    // Asks the host and a fresh copy for each condition: the answers agree.
    void expectFullReadAnswers(const std::string& hostName, std::initializer_list<int> seconds) {
        for (int s : seconds) EXPECT_EQ(newer(hostName, after(s)), fromStart(hostName, after(s))) << "after " << s;
    }
    int reportsOf(const std::string& part) {
        std::lock_guard<std::mutex> lock(diagnosticsMutex());
        int n = 0;
        for (const auto& d : diagnostics()) n += d.find(part) != std::string::npos;
        return n;
    }

private:
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
    EXPECT_EQ(reportsOf("Application.xml: event 3 skipped"), 1);

    // Nothing new: neither file is read.
    EXPECT_EQ(newer("h1", after(12)), V{});
    EXPECT_EQ(newer("h1", after(4)), (V{10, 11, 12}));
    EXPECT_EQ(reportsOf("Application.xml: event 3 skipped"), 1);

    // Appended events are read from where the last read ended.
    appendFile(log, events(20, 21));
    EXPECT_EQ(newer("h1", after(12)), (V{20, 21}));
    EXPECT_EQ(reportsOf("Application.xml: event 3 skipped"), 1);

    // A condition older than what was read before needs the whole file.
    EXPECT_EQ(newer("h1", after(3)), (V{4, 20, 21, 10, 11, 12}));
    EXPECT_EQ(reportsOf("Application.xml: event 3 skipped"), 2);
    expectFullReadAnswers("h1", {0, 2, 4, 11, 12, 20, 21});
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

TEST_F(IncrementalReads, EvtxFilesAreSkippedWhileUnchanged) {
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
    EXPECT_EQ(numbers(newest), V{});
    EXPECT_EQ(numbers(newest), V{});
    const V fromMiddle = numbers(middle);
    EXPECT_FALSE(fromMiddle.empty());
    V expected;
    for (const auto& o : all)
        if (text(o, "TimeGenerated") > middle) expected.push_back(integer(o, "RecordNumber"));
    EXPECT_EQ(fromMiddle, expected);

    // Another file under the same name is read in full.
    fs::remove(host("h1") / "Security.evtx");
    fs::create_symlink(kSamples + "omerbenamram-evtx/samples/system.evtx", host("h1") / "Security.evtx");
    const auto other = query("h1", kAllEvents);
    EXPECT_FALSE(other.empty());
    EXPECT_NE(other.size(), all.size());
}

}  // namespace
