// The attribute data sets: rows and files of the base, periodic and new data,
// batching that changes nothing in the files, the identifiers of new items,
// the schedule, jobs on two threads that never mix their rows, and the file
// worker's stop in the middle of a large file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "agent/fim/attribute_sets.h"
#include "agent/fim/change_detect.h"
#include "agent/fim/change_store.h"
#include "agent/fim/file_attributes.h"
#include "agent/fim/file_worker.h"
#include "agent/fim/fim_datasets.h"
#include "agent/fim/fim_locks.h"
#include "agent/fim/monitor_config.h"
#include "agent/scheduler/scheduler.h"
#include "agent/server/http_client.h"
#include "agent/store/event_store.h"
#include "platform/clock.h"
#include "platform/wmi.h"
#include "tests/agent/fim/fim_test_support.h"
#include "tests/platform/support/temp_dir.h"
#include "tests/support/log_capture.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> lines(const fs::path& file) {
    std::ifstream in(file);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

class DataSetTest : public ::testing::Test {
protected:
    void SetUp() override {
        previous = fs::current_path();
        fs::current_path(dir.path());
        for (const char* folder : {"data/basedata", "data/periodicdata", "data/newdata", "data/changedata"})
            fs::create_directories(folder);
        platform::wmi::setHostsRoot((dir.path() / "wmi-hosts").string());
        ASSERT_EQ(openEventStore(), 1);
        ASSERT_TRUE(createEventTables());
        SetAgentId(5);
        SetServerStatus(2);  // down: the data sets stay in their folders
        useDatabaseFlag(1);
        resetMonitorRulesForTests();
        clearAttributeLists();
        root = dir.path() / "vol";
    }
    void TearDown() override {
        setAttributeBatchForTests(0);
        resetMonitorRulesForTests();
        clearAttributeLists();
        closeEventStore();
        fs::current_path(previous);
    }
    fs::path make(const std::string& relative, const std::string& content = "x") {
        const fs::path p = root / relative;
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << content;
        return p;
    }
    // Monitors a location (lower-case Windows path) with its identifiers.
    std::string monitor(const fs::path& local, bool directory, std::int64_t locId, std::int64_t templId = 0) {
        std::string path = windowsPathOf(local);
        for (char& c : path) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        std::lock_guard<std::recursive_mutex> lock(rulesLock());
        MonitorRules& rules = monitorRules();
        (directory ? rules.monitorDirs : rules.monitorFiles).insert(path);
        rules.locations.emplace(path, LocationIds{locId, templId});
        return path;
    }
    TempDir dir;
    fs::path previous, root;
};

}  // namespace

TEST_F(DataSetTest, BaseBuildWritesEveryItemOnceAndKeepsItWhileTheServerIsDown) {
    make("loc/a.txt", "abc");
    make("loc/sub/b.txt", "12345");
    make("single.txt", "single");
    const std::string loc = monitor(root / "loc", true, 11);
    const std::string single = monitor(root / "single.txt", false, 0, 22);
    LogCapture log;
    buildBaseDataSet();
    const auto rows = lines("data/basedata/baseconfig");
    const auto tree = lines("data/basedata/treeviewconfig");
    ASSERT_EQ(rows.size(), 5u);  // single, a.txt, sub, b.txt, loc (walk order below loc)
    ASSERT_EQ(tree.size(), 5u);
    EXPECT_NE(rows.front().find("|**|" + single + "|**|"), std::string::npos) << rows.front();
    EXPECT_NE(rows.back().find("|**|" + loc + "|**|"), std::string::npos) << rows.back();
    EXPECT_NE(tree.front().find(".null"), std::string::npos);
    EXPECT_EQ(countRows(FimDataSet::Base), 0);
    EXPECT_EQ(countRows(FimDataSet::TreeView), 0);
    EXPECT_TRUE(log.has("\n Dumping initial data to DB : "));
    EXPECT_TRUE(log.has("\n Server down or no data present."));
    EXPECT_FALSE(collectionFlag());

    // A second build appends to baseconfig; the tree view holds the latest batch.
    buildBaseDataSet();
    EXPECT_EQ(lines("data/basedata/baseconfig").size(), 10u);
    EXPECT_EQ(lines("data/basedata/treeviewconfig").size(), 5u);

    // Rows that could not be written out stay in their table for the next
    // transfer (the files cannot be opened: folders stand in their place).
    fs::rename("data/basedata", "kept");
    fs::create_directories("data/basedata/baseconfig");
    fs::create_directories("data/basedata/treeviewconfig");
    buildBaseDataSet();
    EXPECT_EQ(countRows(FimDataSet::Base), 5);
    EXPECT_EQ(countRows(FimDataSet::TreeView), 5);
    EXPECT_TRUE(log.has("\n Unable to write data/basedata/baseconfig; the rows of FileAttributes stay"));
    fs::remove_all("data/basedata");
    fs::rename("kept", "data/basedata");
    baseTransfer();
    EXPECT_EQ(countRows(FimDataSet::Base), 0);
    EXPECT_EQ(lines("data/basedata/baseconfig").size(), 15u);
}

TEST_F(DataSetTest, BatchesChangeNothingInTheFiles) {
    for (int i = 0; i < 40; ++i) make("loc/d" + std::to_string(i % 4) + "/f" + std::to_string(i) + ".txt");
    monitor(root / "loc", true, 3);
    // The paths in row order (access times may differ from run to run).
    auto names = [] {
        std::vector<std::string> out;
        for (const std::string& row : lines("data/periodicdata/periodicconfig")) {
            const std::size_t start = row.find("|**|", row.find("|**|", row.find("|**|", 4) + 4) + 4) + 4;
            out.push_back(row.substr(start, row.find("|**|", start) - start));
        }
        return out;
    };
    periodicJob();
    const auto whole = names();
    const auto wholeTree = lines("data/periodicdata/treeviewconfig");
    setAttributeBatchForTests(3);
    periodicJob();  // truncates: only the latest run is kept
    EXPECT_EQ(names(), whole);
    EXPECT_EQ(lines("data/periodicdata/treeviewconfig"), wholeTree);
    EXPECT_EQ(whole.size(), 45u);
    EXPECT_EQ(wholeTree.size(), 45u);
}

TEST_F(DataSetTest, NewItemsTakeTheIdentifiersOfTheClosestMonitoredLocation) {
    make("outer/inner/new.txt", "n");
    make("outer/other.txt", "o");
    make("file.txt", "f");
    const std::string outer = monitor(root / "outer", true, 1);
    const std::string inner = monitor(root / "outer/inner", true, 0, 2);
    const std::string file = monitor(root / "file.txt", false, 3);
    {
        std::lock_guard<std::mutex> lock(newItemLock());
        newItemList().push_back({inner + "\\new.txt", inner, 1});
        newItemList().push_back({outer + "\\other.txt", outer, 1});
        newItemList().push_back({file, windowsPathOf(root), 1});
    }
    newDataJob();
    const auto rows = lines("data/newdata/newconfig");
    ASSERT_EQ(rows.size(), 3u);
    // Rows of database flag 1 start with the empty NULL, LOC_ID and TEMPL_ID.
    EXPECT_EQ(rows[0].rfind("|**|0|**|2|**|5|**|", 0), 0u) << rows[0];
    EXPECT_EQ(rows[1].rfind("|**|1|**|0|**|5|**|", 0), 0u) << rows[1];
    EXPECT_EQ(rows[2].rfind("|**|3|**|0|**|5|**|", 0), 0u) << rows[2];
    std::lock_guard<std::mutex> lock(newItemLock());
    EXPECT_TRUE(newItemList().empty());
}

// The base build holds rulesLock and then the attribute-set lock; the
// new-data job holds newItemLock, takes rulesLock only to read identifiers,
// then the attribute-set lock. Run side by side, with batches of one row so
// that rows reach the tables while the other job could export them, each data
// set's files hold only its own items and neither job waits for ever.
TEST_F(DataSetTest, BaseBuildAndNewDataJobNeverMixTheirRows) {
    setAttributeBatchForTests(1);
    for (int i = 0; i < 30; ++i) make("base/f" + std::to_string(i) + ".txt");
    for (int i = 0; i < 30; ++i) make("fresh/n" + std::to_string(i) + ".txt");
    monitor(root / "base", true, 1);
    // The new items lie outside every monitored location, so the base build never walks them.
    std::string fresh = windowsPathOf(root / "fresh");
    for (char& c : fresh) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (int round = 0; round < 3; ++round) {
        {
            std::lock_guard<std::mutex> lock(newItemLock());
            for (int i = 0; i < 30; ++i)
                newItemList().push_back({fresh + "\\n" + std::to_string(i) + ".txt", fresh, 1});
        }
        std::thread base([] { buildBaseDataSet(); });
        std::thread added([] { newDataJob(); });
        base.join();
        added.join();
    }
    for (const std::string& row : lines("data/newdata/treeviewconfig"))
        EXPECT_EQ(row.find("\\base"), std::string::npos) << row;
    for (const std::string& row : lines("data/newdata/newconfig"))
        EXPECT_EQ(row.find("\\base"), std::string::npos) << row;
    for (const std::string& row : lines("data/basedata/baseconfig"))
        EXPECT_EQ(row.find("\\fresh\\"), std::string::npos) << row;
    EXPECT_EQ(lines("data/basedata/treeviewconfig").size(), 31u);
    EXPECT_EQ(lines("data/newdata/newconfig").size(), 90u);
}

TEST_F(DataSetTest, ThePeriodicAndNewDataJobsRunOnTheirSchedule) {
    platform::useManualClock(1700000000000);
    resetSchedulerForTests();
    ASSERT_TRUE(initScheduler());
    LogCapture log;
    scheduleFimJobs();
    platform::advanceClock(1199 * 1000);
    runDueEntries();
    EXPECT_FALSE(log.has("\n New data Dumping to DB"));
    platform::advanceClock(1000);
    runDueEntries();
    EXPECT_TRUE(log.has("\n New data Dumping to DB : 0 number of logs"));
    EXPECT_FALSE(log.has("\n Periodic dump:Dumping to DB"));
    platform::advanceClock((21600 - 1200) * 1000);
    runDueEntries();
    EXPECT_TRUE(log.has("\n Periodic dump:Dumping to DB : 0 number of logs"));
    resetSchedulerForTests();
    platform::useSystemClock();
}

// The file worker hashes a 4 GiB sparse file while the caller goes on; the
// stop ends it between two read blocks, the rows stored before it are taken
// back, nothing is written out, and later jobs are refused.
TEST_F(DataSetTest, TheStopEndsAJobInTheMiddleOfALargeFileAndTakesItsRowsBack) {
    setAttributeBatchForTests(1);
    setChecksumSwitch();
    const fs::path big = make("loc/huge.bin", "");
    if (truncate(big.c_str(), 4LL << 30) != 0) GTEST_SKIP() << "the file system refuses a 4 GiB sparse file";
    monitor(make("first.txt", "stored before the large file"), false, 1);
    monitor(root / "loc", true, 2);
    LogCapture log;
    ASSERT_TRUE(startFileWorker());
    handOverBaseBuild();
    // The monitored file comes first and is stored at once (batches of one);
    // after the large file's line only its digest is left to do.
    const std::string reading = "Retrieving File Attributes for : " + windowsPathOf(big);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!log.has(reading) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(log.has(reading));
    ASSERT_EQ(countRows(FimDataSet::Base), 1);
    const auto began = std::chrono::steady_clock::now();
    EXPECT_TRUE(stopFileWorker(3000));
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(2));
    EXPECT_EQ(countRows(FimDataSet::Base), 0);
    EXPECT_EQ(countRows(FimDataSet::TreeView), 0);
    EXPECT_FALSE(fs::exists("data/basedata/baseconfig"));
    EXPECT_FALSE(collectionFlag());
    EXPECT_TRUE(log.has("\n Collection for FileAttributes ended by the stop; its rows were taken back"));
    EXPECT_FALSE(handOverFileJob(FileJob::Periodic, [] { ADD_FAILURE() << "ran after the stop"; }));
    resetFileWorkerForTests();
}
