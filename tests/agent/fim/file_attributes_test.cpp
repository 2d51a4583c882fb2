// Attribute collection and the directory walk: counts, tree-view parents,
// large sparse files, the WMI property rule and quoting, and failures.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <map>

#include "agent/fim/attribute_sets.h"
#include "agent/fim/file_attributes.h"
#include "agent/fim/wmi_util.h"
#include "platform/wmi.h"
#include "tests/agent/fim/fim_test_support.h"
#include "tests/platform/support/temp_dir.h"
#include "tests/support/log_capture.h"

namespace fs = std::filesystem;

namespace {

class AttributeTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::wmi::setHostsRoot((dir.path() / "wmi-hosts").string());
        platform::wmi::setLocalHostName("agentbox");
        useDatabaseFlag(1);
        resetChecksumSwitch();
        clearAttributeLists();
    }
    void TearDown() override {
        setCollectionFlag(false);
        setUpdateFlag(false);
        setNewDataFlag(false);
        clearAttributeLists();
        resetChecksumSwitch();
    }
    fs::path make(const std::string& relative, const std::string& content = "x") {
        const fs::path p = dir.path() / relative;
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << content;
        return p;
    }
    TempDir dir;
};

// A WMI object with fixed properties.
class FixedObject : public platform::wmi::Object {
public:
    platform::wmi::HResult get(const std::string& name, platform::wmi::Variant& out) const override {
        using platform::wmi::Variant;
        out = Variant{};
        if (name == "Missing") return platform::wmi::WBEM_E_NOT_FOUND;
        if (name == "Flag") {
            out.type = Variant::Type::Boolean;
            out.boolean = true;
        } else if (name == "Off") {
            out.type = Variant::Type::Boolean;
        } else if (name == "Text") {
            out.type = Variant::Type::Text;
            out.text = "20240310120000.000000+060";
        }
        return platform::wmi::WBEM_S_NO_ERROR;
    }
};

}  // namespace

TEST(WmiPropertyRule, ValuesFailuresNullsAndSizes) {
    FixedObject o;
    EXPECT_EQ(wmiPropertyText(o, "Missing"), "-1");
    EXPECT_EQ(wmiPropertyText(o, "Nothing"), "-");
    EXPECT_EQ(wmiPropertyText(o, "Flag"), "True");
    EXPECT_EQ(wmiPropertyText(o, "Off"), "False");
    EXPECT_EQ(wmiPropertyText(o, "Text"), "20240310120000.000000+060");
    EXPECT_EQ(wmiSizeFromText("-"), 0);
    EXPECT_EQ(wmiSizeFromText("-1"), -1);
    EXPECT_EQ(wmiSizeFromText("5368709120"), 5368709120LL);
    EXPECT_EQ(wqlQuote("c:\\it's"), "c:\\\\it\\'s");
}

TEST_F(AttributeTest, FilesGetWmiFieldsOwnerDaclAndChecksumsOnlyWhenSwitchedOn) {
    const fs::path file = make("docs/it's a 'quoted' name.txt", "abc");
    FileAttributeRecord r;
    r.path = windowsPathOf(file);
    collectFileAttributes(r);
    EXPECT_EQ(r.status, "OK");  // the quote no longer breaks the query
    EXPECT_EQ(r.hidden, "False");
    EXPECT_EQ(r.system, "False");
    EXPECT_EQ(r.version, "-");
    EXPECT_EQ(r.size, 3);
    EXPECT_EQ(r.createdTime.size(), 25u);
    EXPECT_EQ(r.dacl.rfind("ACLINFO: ACETYPE: ACCESS_ALLOWED,", 0), 0u);
    EXPECT_FALSE(r.owner.empty());
    EXPECT_EQ(r.md5, "");
    setChecksumSwitch();
    FileAttributeRecord again;
    again.path = r.path;
    collectFileAttributes(again);
    EXPECT_EQ(again.md5, "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(again.sha1, "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST_F(AttributeTest, AFailedWmiConnectionLeavesTheWmiFieldsEmpty) {
    std::ofstream(make("wmi-hosts/agentbox/host.xml").c_str())
        << "<host><fault step=\"connect\" hresult=\"0x80070005\"/></host>";
    const fs::path file = make("a.txt");
    LogCapture log;
    FileAttributeRecord r;
    r.path = windowsPathOf(file);
    collectFileAttributes(r);
    EXPECT_EQ(r.status, "");
    EXPECT_EQ(r.createdTime, "");
    EXPECT_FALSE(r.dacl.empty());
    EXPECT_TRUE(log.has("\n WMIUTil::ConnectServer failed"));
    EXPECT_TRUE(log.has("\nWMI query for file " + doubled(r.path) + " failed"));
}

TEST_F(AttributeTest, WalkCountsEverythingAndGivesEachItemItsParent) {
    make("loc/a.txt", "12345");
    make("loc/sub/b.txt", "1");
    make("loc/sub/deeper/c.txt", "12");
    fs::create_directories(dir.path() / "loc/empty");
    const std::string loc = windowsPathOf(dir.path() / "loc");

    // Without a data-set job the walk only counts.
    DirStats stats;
    ASSERT_EQ(getDirStats(loc + "\\", stats, 0, kWalkModeBase, 7, 9), 1);
    EXPECT_EQ(stats.fileCount, 3);
    EXPECT_EQ(stats.folderCount, 3);
    EXPECT_EQ(stats.size, 8);
    EXPECT_TRUE(baseRecordList().empty());

    useDatabaseFlag(0);
    setCollectionFlag(true);
    FileAttributeRecord top;
    top.path = loc;
    top.isFile = 0;
    ASSERT_EQ(collectDirectoryAttributes(top, kWalkModeBase, 7, 9), 1);
    EXPECT_EQ(top.fileCount, 3);
    EXPECT_EQ(top.folderCount, 3);
    EXPECT_EQ(top.size, 8);
    EXPECT_EQ(top.status, "OK");
    EXPECT_TRUE(periodicRecordList().empty());

    const auto& records = baseRecordList();
    const auto& tree = treeViewEntryList();
    ASSERT_EQ(records.size(), 6u);
    ASSERT_EQ(tree.size(), 6u);
    std::map<std::string, TreeViewEntry> byPath;
    for (std::size_t i = 0; i < tree.size(); ++i) {
        EXPECT_EQ(records[i].path, tree[i].path);
        EXPECT_EQ(records[i].LOC_ID, 7);
        EXPECT_EQ(records[i].TEMPL_ID, 9);
        byPath[tree[i].path] = tree[i];
    }
    const std::string e = doubled(loc);
    ASSERT_EQ(byPath.count(e + "\\\\sub\\\\deeper\\\\c.txt"), 1u);
    EXPECT_EQ(byPath[e + "\\\\sub\\\\deeper\\\\c.txt"].parentPath, e + "\\\\sub\\\\deeper");
    EXPECT_EQ(byPath[e + "\\\\a.txt"].parentPath, e);
    EXPECT_EQ(byPath[e + "\\\\sub"].hasChild, 1);
    EXPECT_EQ(byPath[e + "\\\\sub"].isFile, 0);
    EXPECT_EQ(byPath[e + "\\\\empty"].hasChild, 0);
    for (const FileAttributeRecord& r : records) {
        if (r.path == e + "\\\\sub") {
            EXPECT_EQ(r.fileCount, 2);
            EXPECT_EQ(r.folderCount, 1);
            EXPECT_EQ(r.size, 3);
        }
        if (r.path == e + "\\\\a.txt") {
            EXPECT_EQ(r.size, 5);
        }
    }

    // Another mode with only its own flag off hands nothing on.
    clearAttributeLists();
    FileAttributeRecord again;
    again.path = loc;
    again.isFile = 0;
    ASSERT_EQ(collectDirectoryAttributes(again, kWalkModeNew, 7, 9), 1);
    EXPECT_TRUE(newRecordList().empty());
    EXPECT_TRUE(treeViewEntryList().empty());
}

TEST_F(AttributeTest, FilesAboveFourGibibytesCountInFullWithoutBeingRead) {
    const fs::path big = make("loc/huge.bin", "");
    ASSERT_EQ(truncate(big.c_str(), 5LL << 30), 0);  // sparse: nothing is written
    make("loc/small.txt", "123");
    const std::string loc = windowsPathOf(dir.path() / "loc");
    DirStats stats;
    ASSERT_EQ(getFileAndFolderCount(loc, stats, 0), 1);
    EXPECT_EQ(stats.size, (5LL << 30) + 3);
    setCollectionFlag(true);
    FileAttributeRecord top;
    top.path = loc;
    top.isFile = 0;
    ASSERT_EQ(collectDirectoryAttributes(top, kWalkModeBase, 1, 0), 1);
    EXPECT_EQ(top.size, (5LL << 30) + 3);
    bool seen = false;
    for (const FileAttributeRecord& r : baseRecordList())
        if (r.path.find("huge.bin") != std::string::npos) {
            seen = true;
            EXPECT_EQ(r.size, 5LL << 30);
            EXPECT_EQ(r.md5, "");  // checksums are off
        }
    EXPECT_TRUE(seen);
}

TEST_F(AttributeTest, DirectoriesThatCannotBeListed) {
    LogCapture log;
    FileAttributeRecord r;
    r.path = windowsPathOf(dir.path() / "gone");
    r.isFile = 0;
    EXPECT_EQ(collectDirectoryAttributes(r, kWalkModeBase, 0, 0), 0);
    EXPECT_EQ(r.error, "Unable to locate the directory or access denied");
    EXPECT_EQ(r.status, "");
    EXPECT_EQ(r.dacl, "");
    EXPECT_TRUE(log.has("\ngetDirStats:: Invalid handle!!"));
    DirStats stats;
    EXPECT_EQ(getFileAndFolderCount(r.path, stats, 0), 0);
    EXPECT_TRUE(log.has("\ngetFileAndFolderCount: Invalid handle!!"));
}
