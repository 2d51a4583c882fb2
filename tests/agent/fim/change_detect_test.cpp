// Reason texts, classification, the rule check and the recording of changes
// into the three lists, the change index records and the change job.

#include "fim_fixture.h"
#include "testserver/decoders/decoders.h"

namespace {

constexpr std::uint32_t kClose = 0x80000000;
constexpr std::uint32_t kCreate = 0x100;
constexpr std::uint32_t kDelete = 0x200;
constexpr std::uint32_t kExtend = 0x2;
constexpr std::uint32_t kOldName = 0x1000;
constexpr std::uint32_t kNewName = 0x2000;
constexpr std::uint32_t kDirectory = 0x10;
// 2023-11-14 22:13:20 UTC as a FILETIME.
constexpr std::int64_t kFileTime = (1700000000LL * 10000000LL) + 116444736000000000LL;

class ChangeDetectTest : public FimTest {
protected:
    void rules(std::initializer_list<std::string> monitorDirs,
               std::initializer_list<std::string> monitorFiles = {},
               std::initializer_list<std::string> ignoreDirs = {},
               std::initializer_list<std::string> ignoreFiles = {}) {
        std::lock_guard lock(rulesLock());
        MonitorRules& r = monitorRules();
        r.monitorDirs = monitorDirs;
        r.monitorFiles = monitorFiles;
        r.ignoreDirs = ignoreDirs;
        r.ignoreFiles = ignoreFiles;
        std::int64_t id = 10;
        for (const auto& d : monitorDirs) r.locations.emplace(d, LocationIds{id++, 0});
        for (const auto& f : monitorFiles) r.locations.emplace(f, LocationIds{0, id++});
    }
    static void change(const std::string& path, std::uint32_t reason, std::uint32_t attributes = 0,
                       const std::string& parent = "C:\\Data") {
        processChange({path, parent, reason, attributes, kFileTime, true});
    }
    static std::vector<ChangeRecord> queued() {
        std::lock_guard lock(changeListLock());
        return changeList();
    }
    static bool accepted(const std::string& path, std::int64_t* id = nullptr) {
        std::int64_t scratch = 0;
        return checkRules(path, id ? id : &scratch);
    }
};

TEST(ReasonText, NamesInBitOrderAndTheCapacityHoldsEveryBit) {
    std::string text;
    ASSERT_TRUE(GetReason(0, &text));
    EXPECT_EQ(text, "");
    ASSERT_TRUE(GetReason(0x80000008, &text));
    EXPECT_EQ(text, "0x00000008, *Close*");
    ASSERT_TRUE(GetReason(0x80000102, &text));
    EXPECT_EQ(text, "DataExtend, FileCreate, *Close*");
    // Every bit at once: the longest text there is must fit.
    ASSERT_TRUE(GetReason(0xFFFFFFFF, &text));
    EXPECT_LT(text.size(), kReasonTextCapacity);
    EXPECT_EQ(text.rfind("DataOverwrite, DataExtend", 0), 0u);
    LogCapture log;
    std::string untouched = "before";
    EXPECT_FALSE(GetReason(0xFFFFFFFF, &untouched, text.size()));
    EXPECT_EQ(untouched, "before");
    EXPECT_TRUE(log.has("\n GetReason: Insufficeient Buff.."));
    EXPECT_TRUE(GetReason(0xFFFFFFFF, &untouched, text.size() + 1));
}

TEST(ReasonText, ClassificationTakesTheFirstMatchingKind) {
    struct Case { std::uint32_t reason; const char* type; };
    const Case cases[] = {
        {kCreate | kDelete | kClose, "CREATED"}, {kExtend | kDelete | kClose, "MODIFIED"},
        {0x40 | kClose, "MODIFIED"},             {kDelete | kClose, "DELETED"},
        {kNewName | kClose, "RENAMED"},          {kOldName | kClose, nullptr},
        {0x800 | kClose, nullptr},               {kClose, nullptr},
    };
    for (const Case& c : cases) {
        std::string text, type;
        ASSERT_TRUE(GetReason(c.reason, &text));
        EXPECT_EQ(classifyChange(text, &type), c.type != nullptr) << text;
        if (c.type) {
            EXPECT_EQ(type, c.type) << text;
        }
    }
}

TEST_F(ChangeDetectTest, RuleCheckHonoursIgnoresPrefixesAndIdentifiers) {
    rules({"c:\\data", "c:\\data\\deep"}, {"c:\\etc\\hosts"}, {"c:\\data\\tmp"}, {"c:\\data\\skip.txt"});
    std::int64_t id = 0;
    EXPECT_TRUE(accepted("c:\\data", &id));
    EXPECT_EQ(id, 10);
    EXPECT_TRUE(accepted("c:\\data\\deep\\x", &id));
    EXPECT_EQ(id, 10);  // the first covering folder in set order
    EXPECT_TRUE(accepted("c:\\etc\\hosts", &id));
    EXPECT_EQ(id, 12);  // a template location reports its TEMPL_ID
    EXPECT_FALSE(accepted("c:\\data\\tmp\\a.txt"));
    EXPECT_FALSE(accepted("c:\\data\\tmp"));
    EXPECT_TRUE(accepted("c:\\data\\tmpfile"));
    EXPECT_FALSE(accepted("c:\\data\\skip.txt"));
    EXPECT_FALSE(accepted("c:\\database\\x"));
    EXPECT_FALSE(accepted("c:\\etc\\hosts.bak"));
    EXPECT_FALSE(accepted("d:\\data\\x"));
    // A name that itself reads like a monitored path does not make its
    // item part of that location.
    EXPECT_FALSE(accepted("c:\\other\\c:\\data\\x"));
    EXPECT_TRUE(log_->has("\n Changes on dir c:\\data\\tmp\\a.txt ignored as per rule!!"));
    EXPECT_TRUE(log_->has("\n Changes on File c:\\data\\skip.txt ignored as per rule!!"));
}

TEST_F(ChangeDetectTest, LocationsWithoutDriveStillMatchAnywhereInThePath) {
    rules({"data", "c:\\z"});
    EXPECT_TRUE(accepted("c:\\x\\data\\y"));
    EXPECT_TRUE(accepted("c:\\x\\mydata"));
    EXPECT_FALSE(accepted("c:\\x\\database"));
    EXPECT_TRUE(accepted("c:\\z\\q"));
}

TEST_F(ChangeDetectTest, ChangesAreRecordedWithTheirListsAndTimes) {
    rules({"c:\\data"});
    change("C:\\Data\\New.TXT", kCreate | kDelete | kClose);
    change("C:\\Data\\Dir", kCreate | kClose, kDirectory);
    change("C:\\Data\\Dir\\inner.txt", kCreate | kClose, 0, "C:\\Data\\Dir");
    change("C:\\Data\\moved.txt", kNewName | kClose);
    change("C:\\Data\\b.txt", kExtend | kOldName | kClose);
    change("C:\\Data\\acl.txt", 0x800 | kClose);
    change("C:\\Other\\x.txt", kCreate | kClose);
    change("C:\\Data\\open.txt", kCreate);  // no close: nothing
    const auto records = queued();
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records[0].path, "c:\\data\\new.txt");
    EXPECT_EQ(records[0].changeType, "CREATED");
    EXPECT_EQ(records[0].isFile, 1);
    EXPECT_EQ(records[1].isFile, 0);
    EXPECT_EQ(records[3].changeType, "RENAMED");
    EXPECT_EQ(records[4].changeType, "MODIFIED");
    const std::tm local = platform::toLocalTime(1700000000);
    EXPECT_EQ(records[0].time, 1700000000);
    EXPECT_EQ(records[0].day, local.tm_mday);
    EXPECT_EQ(records[0].hourOfDay, local.tm_hour);
    char hour[32];
    std::strftime(hour, sizeof hour, "%Y-%m-%d %H:00:00", &local);
    EXPECT_EQ(records[0].hourString, hour);
    {
        std::lock_guard lock(removedListLock());
        ASSERT_EQ(removedItemList().size(), 2u);
        EXPECT_EQ(removedItemList()[0].text, "+file+c:\\data\\new.txt");
        EXPECT_EQ(removedItemList()[0].locationId, 10);
        EXPECT_EQ(removedItemList()[1].text, "+file+c:\\data\\b.txt");
        EXPECT_EQ(removedItemList()[1].locationId, 0);
    }
    std::lock_guard lock(newItemLock());
    ASSERT_EQ(newItemList().size(), 3u);  // inner.txt is covered by its new folder
    EXPECT_EQ(newItemList()[1].path, "c:\\data\\dir");
    EXPECT_EQ(newItemList()[1].parentPath, "C:\\Data");
    EXPECT_EQ(newItemList()[2].path, "c:\\data\\moved.txt");
}

TEST_F(ChangeDetectTest, ANewItemCoversOnlyWhatLiesBelowIt) {
    rules({"c:\\watch"});
    change("C:\\Watch\\a", kCreate | kClose, kDirectory);
    change("C:\\Watch\\ab\\x.txt", kCreate | kClose, 0, "C:\\Watch\\ab");  // a sibling, not below "a"
    change("C:\\Watch\\a\\b\\y.txt", kCreate | kClose, 0, "C:\\Watch\\a\\b");
    change("C:\\Watch\\a", kCreate | kClose, kDirectory);  // created again: still one item
    {
        std::lock_guard lock(newItemLock());
        ASSERT_EQ(newItemList().size(), 2u);
        EXPECT_EQ(newItemList()[1].path, "c:\\watch\\ab\\x.txt");
        releaseNewItemList();  // what the new-data job does
    }
    change("C:\\Watch\\a\\z.txt", kCreate | kClose, 0, "C:\\Watch\\a");
    std::lock_guard lock(newItemLock());
    ASSERT_EQ(newItemList().size(), 1u);  // the emptied list no longer covers anything
    EXPECT_EQ(newItemList()[0].path, "c:\\watch\\a\\z.txt");
}

TEST_F(ChangeDetectTest, AChangeWithoutItsParentNeverMatches) {
    // Even a location whose text equals the error text is not matched.
    const std::string text = "x cannot find path for objects parent id 0x0000000000000005";
    rules({text, "x"}, {text});
    processChange({"x cannot find path for objects parent ID 0x0000000000000005", "", kCreate | kClose,
                   0, kFileTime, false});
    EXPECT_TRUE(queued().empty());
}

TEST_F(ChangeDetectTest, QueuedHookRunsWithTheChangeInTheList) {
    rules({"c:\\data"});
    std::size_t seen = 0;
    processChange({"c:\\data\\a", "c:\\data", kExtend | kClose, 0, kFileTime, true},
                  [&] { seen = changeList().size(); });
    EXPECT_EQ(seen, 1u);
}

TEST_F(ChangeDetectTest, ChangeJobWritesIndexRecordsAndStoresRows) {
    rules({"c:\\data"});
    change("C:\\Data\\a.txt", kCreate | kClose);
    change("C:\\Data\\a.txt", kExtend | kClose);
    int backups = 0;
    SetServerStatus(kServerDown);  // keep the files for inspection
    changeJob([&] { ++backups; });
    EXPECT_EQ(backups, 1);
    EXPECT_TRUE(queued().empty());
    const std::string bytes = readFile(kChangeIndexPath);
    std::vector<decoders::PackedRecord> records;
    auto error = decoders::decodeRecords(bytes, "sslsszzll", records);
    ASSERT_FALSE(error) << error.describe();
    ASSERT_EQ(records.size(), 2u);
    const auto& f = records[1].fields;
    EXPECT_EQ(f[0].text, "FIM");
    EXPECT_EQ(f[1].text, "c:\\data\\a.txt");
    EXPECT_EQ(f[2].number, 1700000000);
    EXPECT_EQ(f[3].text, "MODIFIED");
    EXPECT_EQ(f[4].text, "agenthost");
    EXPECT_EQ(f[6].number, 42);
    EXPECT_EQ(f[7].number, 1);
    EXPECT_EQ(records[0].length, bytes.size() / 2);
    EXPECT_TRUE(log_->has("\n 2 changes found"));
    // The rows went through the change database into the trend file.
    const std::string trend = readFile(kTrendFilePath);
    EXPECT_NE(trend.find("|**|42|**|1|**|1|**|0|**|0|**|"), std::string::npos) << trend;
    // An empty list writes nothing to the index but still runs the rest.
    changeJob([&] { ++backups; });
    EXPECT_EQ(backups, 2);
    EXPECT_EQ(readFile(kChangeIndexPath).size(), bytes.size());
}

TEST_F(ChangeDetectTest, AnIndexThatCannotBeWrittenKeepsTheChanges) {
    rules({"c:\\data"});
    change("C:\\Data\\a.txt", kCreate | kClose);
    SetServerStatus(kServerDown);
    std::filesystem::remove_all("data/changedata");
    std::filesystem::create_directories("data/changedata/changeindex");  // a folder: not writable as a file
    changeJob({});
    EXPECT_EQ(queued().size(), 1u);
    EXPECT_EQ(countRows(FimDataSet::Change), 0);
    std::filesystem::remove_all("data/changedata/changeindex");
    changeJob({});
    EXPECT_TRUE(queued().empty());
}

}  // namespace
