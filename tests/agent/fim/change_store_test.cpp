// The change data set against the test server: the trend line, the rename
// configuration, the zip upload with its deletions, and what happens to the
// files when the server is down or the upload fails.

#include "fim_fixture.h"
#include "testserver/decoders/decoders.h"
#include "testserver/harness.h"

namespace {

constexpr std::int64_t kHourA = (1700000000LL * 10000000LL) + 116444736000000000LL;
constexpr std::int64_t kHourB = kHourA + 3600LL * 10000000LL;

class ChangeStoreTest : public FimTest {
protected:
    void SetUp() override {
        FimTest::SetUp();
        ASSERT_TRUE(server_.ok()) << server_.error();
        pointAgentAt(server_.httpPort());
        std::lock_guard lock(rulesLock());
        monitorRules().monitorDirs = {"c:\\data"};
        monitorRules().locations.emplace("c:\\data", LocationIds{12, 0});
    }

    static void change(const std::string& path, std::uint32_t reason, std::int64_t time = kHourA) {
        processChange({path, "c:\\data", reason | 0x80000000u, 0, time, true});
    }

    // The entries of the n-th upload, by name.
    std::map<std::string, std::string> upload(std::size_t n) {
        std::map<std::string, std::string> out;
        std::vector<std::filesystem::path> zips;
        for (const auto& e : std::filesystem::directory_iterator(server_.outputDir() + "/uploads"))
            if (e.path().extension() == ".zip") zips.push_back(e.path());
        std::sort(zips.begin(), zips.end());
        EXPECT_GT(zips.size(), n);
        if (zips.size() <= n) return out;
        EXPECT_NE(zips[n].filename().string().find("changedata_42.zip"), std::string::npos);
        std::vector<decoders::ZipEntry> entries;
        auto error = decoders::readZip(zips[n].string(), entries);
        EXPECT_FALSE(error) << error.describe();
        for (auto& e : entries) out[e.name] = e.data;
        return out;
    }

    testserver::TestServer server_;
};

TEST_F(ChangeStoreTest, ABatchIsExportedUploadedAndItsFilesDeleted) {
    change("c:\\data\\a.txt", 0x100);
    change("c:\\data\\a.txt", 0x2, kHourB);
    change("c:\\data\\gone.txt", 0x200);
    changeJob({});
    ASSERT_TRUE(server_.waitForUploads(1, 10000));
    auto entries = upload(0);
    ASSERT_EQ(entries.size(), 3u);
    std::vector<decoders::RenameEntry> renames;
    ASSERT_FALSE(decoders::decodeRenameConfig(entries["renameconfig"], renames));
    ASSERT_EQ(renames.size(), 1u);
    EXPECT_EQ(renames[0].locationId, 12);
    EXPECT_EQ(renames[0].path, "c:\\data\\gone.txt");
    EXPECT_EQ(entries["renameconfig"], "12+file+c:\\data\\gone.txt\n");
    // One trend row for the batch, whatever hours it spans.
    std::vector<decoders::Row> rows;
    decoders::RowFormat format;
    ASSERT_FALSE(decoders::decodeRows(entries["fimtrendfile"], std::nullopt, 0, rows, format));
    ASSERT_EQ(rows.size(), 1u);
    ASSERT_EQ(rows[0].values.size(), 8u);
    EXPECT_EQ(rows[0].values[3].value_or(""), "42");
    EXPECT_EQ(rows[0].values[4].value_or(""), "1");
    EXPECT_EQ(rows[0].values[5].value_or(""), "1");
    EXPECT_EQ(rows[0].values[6].value_or(""), "1");
    std::vector<decoders::PackedRecord> records;
    ASSERT_FALSE(decoders::decodeRecords(entries["changeindex"], "sslsszzll", records));
    EXPECT_EQ(records.size(), 3u);
    EXPECT_TRUE(folderIsEmpty(kChangeDataDir));
    EXPECT_EQ(countRows(FimDataSet::Change), 0);
    EXPECT_TRUE(log_->has("\n Transfer done. Deleting change data files"));
}

TEST_F(ChangeStoreTest, AFailedUploadKeepsEverythingForTheNextTransfer) {
    change("c:\\data\\a.txt", 0x100);
    ASSERT_TRUE(server_.failRequests("agentUpload", 500, 1));
    changeJob({});
    EXPECT_TRUE(log_->has("\n Transfer failed for change data. "));
    EXPECT_FALSE(folderIsEmpty(kChangeDataDir));
    EXPECT_FALSE(std::filesystem::exists("changedata_42.zip"));
    SetServerStatus(kServerDown);
    change("c:\\data\\b.txt", 0x100);
    changeJob({});
    EXPECT_TRUE(log_->has("\n Server down or no data present."));
    // Back up, nothing new: the files of both batches go in one zip.
    SetServerStatus(kServerUp);
    changeJob({});
    EXPECT_TRUE(log_->has("\n Change file found when Ambrik was down or in current env for data/changedata"));
    // (the refused upload is not kept by the server)
    ASSERT_TRUE(server_.waitForUploads(1, 10000));
    auto entries = upload(0);
    std::vector<decoders::PackedRecord> records;
    ASSERT_FALSE(decoders::decodeRecords(entries["changeindex"], "sslsszzll", records));
    EXPECT_EQ(records.size(), 2u);
    std::vector<decoders::Row> rows;
    decoders::RowFormat format;
    ASSERT_FALSE(decoders::decodeRows(entries["fimtrendfile"], std::nullopt, 0, rows, format));
    EXPECT_EQ(rows.size(), 2u);
    EXPECT_TRUE(folderIsEmpty(kChangeDataDir));
    changeJob({});
    EXPECT_TRUE(log_->has("\n No changes when Ambrik was down or in current env"));
}

TEST_F(ChangeStoreTest, CountRowsCountsEachDataSetAndKeepsATotal) {
    EXPECT_EQ(countRows(FimDataSet::Base), 0);
    EXPECT_EQ(countRows(FimDataSet::TreeView), 0);
    ChangeRecord record;
    record.path = "c:\\data\\x";
    record.changeType = "CREATED";
    dumpChangeRecords({record, record});
    EXPECT_EQ(countRows(FimDataSet::Change), 2);
    EXPECT_EQ(countRows(FimDataSet::Change), 2);
    EXPECT_TRUE(log_->has("\n total changes detected so far in dbsl is 4"));
    EXPECT_TRUE(log_->has("\n Query : select count(*) from FileChanges"));
}

}  // namespace
