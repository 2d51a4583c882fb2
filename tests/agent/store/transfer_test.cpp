// The folder zipper and the event data transfer against an upload server on
// 127.0.0.1; the zips are read back with the server's decoders.

#include <httplib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <random>
#include <thread>
#include <vector>

#include "agent/server/http_client.h"
#include "agent/store/data_files.h"
#include "agent/store/transfer.h"
#include "agent/store/transfer_pipeline.h"
#include "agent/store/zip_directory.h"
#include "platform/threads.h"
#include "store_fixture.h"
#include "testserver/decoders/decoders.h"

namespace {

std::vector<decoders::ZipEntry> zipEntries(const std::string& path) {
    std::vector<decoders::ZipEntry> entries;
    auto error = decoders::readZip(path, entries);
    EXPECT_FALSE(error) << error.describe();
    return entries;
}

std::vector<std::string> entryNames(const std::vector<decoders::ZipEntry>& entries) {
    std::vector<std::string> names;
    for (const auto& e : entries) names.push_back(e.name);
    return names;
}

// An agentUpload endpoint that keeps every uploaded zip and answers with a
// status the test sets.
class UploadServer {
public:
    UploadServer() {
        server_.Post("/event/agentUpload", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard lock(mutex_);
            if (onUpload) onUpload();
            if (req.has_file("upfile")) uploads.push_back(req.get_file_value("upfile"));
            res.status = status;
            res.set_content("ok", "text/plain");
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running()) std::this_thread::yield();
    }
    ~UploadServer() {
        server_.stop();
        thread_.join();
    }
    int port() const { return port_; }

    std::mutex mutex_;
    std::vector<httplib::MultipartFormData> uploads;
    int status = 200;
    std::function<void()> onUpload;

private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
};

class TransferTest : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        PutAgentSetting("ServerProtocol", "http");
        PutAgentSetting("ServerIPAddress", "127.0.0.1");
        PutAgentSetting("ServerPort", std::to_string(server_.port()));
        SetAgentId(42);
        SetServerStatus(kServerUp);
        HttpTransferLimits limits;
        limits.verbose = false;
        SetHttpTransferLimits(limits);
    }
    void TearDown() override {
        stopTransferWorker();
        setTransferDriveSetLock(nullptr);
        StoreTest::TearDown();
    }

    void collect(int count, int eventId) {
        std::vector<EventRecord> events;
        for (int i = 0; i < count; ++i) events.push_back(event(5, eventId, 1 + i % 5));
        std::lock_guard lock(eventDataMutex);
        storeEvents(events.data(), count);
        ASSERT_TRUE(appendRawLogs({"Windows", 5, "dc01"}, events.data(), count));
    }

    // The entries of upload n, from a copy of the uploaded bytes.
    std::vector<decoders::ZipEntry> upload(std::size_t n) {
        std::lock_guard lock(server_.mutex_);
        EXPECT_GT(server_.uploads.size(), n);
        if (server_.uploads.size() <= n) return {};
        EXPECT_EQ(server_.uploads[n].filename, "logdata_42.zip");
        std::ofstream("received.zip", std::ios::binary) << server_.uploads[n].content;
        return zipEntries("received.zip");
    }

    std::size_t uploadCount() {
        std::lock_guard lock(server_.mutex_);
        return server_.uploads.size();
    }

    UploadServer server_;
};

std::size_t rawLogCount(const std::string& bytes) {
    std::vector<decoders::PackedRecord> records;
    EXPECT_FALSE(decoders::decodeRecords(bytes, kRawLogFormat, records));
    return records.size();
}

}  // namespace

TEST_F(StoreTest, ZipHoldsEveryFileByBareNameDeflatedWithoutTimeStamps) {
    std::mt19937 random(7);
    std::string big(300000, '\0');  // larger than many 16000-byte chunks
    for (char& c : big) c = static_cast<char>('a' + random() % 4);
    std::ofstream("serverdata/rawlogs", std::ios::binary) << big;
    std::ofstream("serverdata/aggregate") << "|**|NULL|**|**|\n";
    std::ofstream("serverdata/empty");

    std::vector<std::string> added;
    // Backslashes are read as slashes.
    ASSERT_EQ(zipDirectory("serverdata\\", "out.zip", &added), 1);
    EXPECT_EQ(added, (std::vector<std::string>{"serverdata/aggregate", "serverdata/empty",
                                               "serverdata/rawlogs"}));
    auto entries = zipEntries("out.zip");
    ASSERT_EQ(entryNames(entries), (std::vector<std::string>{"aggregate", "empty", "rawlogs"}));
    EXPECT_EQ(entries[2].data, big);
    EXPECT_EQ(entries[0].data, "|**|NULL|**|**|\n");
    EXPECT_EQ(entries[1].data, "");
    for (const auto& e : entries) {
        EXPECT_EQ(e.method, 8) << e.name;
        EXPECT_EQ(e.dosDate, entries[0].dosDate) << "entries carry no time of their own";
    }
    EXPECT_LT(entries[2].compressedSize, big.size() / 3);

    // The same files zipped again give the same bytes: nothing depends on time.
    platform::advanceClock(3'600'000);
    ASSERT_EQ(zipDirectory("serverdata/", "again.zip"), 1);
    EXPECT_EQ(readFile("out.zip"), readFile("again.zip"));
}

TEST_F(StoreTest, ZipSkipsSubFoldersAndKeepsGoing) {
    std::filesystem::create_directories("serverdata/archive/inner");
    std::ofstream("serverdata/aggregate") << "a";
    std::ofstream("serverdata/rawlogs") << "r";
    std::vector<std::string> added;
    ASSERT_EQ(zipDirectory("serverdata/", "out.zip", &added), 1);
    EXPECT_EQ(entryNames(zipEntries("out.zip")), (std::vector<std::string>{"aggregate", "rawlogs"}));
    EXPECT_EQ(added.size(), 2u);
    EXPECT_NE(logText().find("\n Unable to open filename: serverdata/archive"), std::string::npos);
}

// A name that is not ASCII is stored as UTF-8 and says so (bit 11 of the
// entry's flags in the central directory); ASCII names keep it clear.
TEST_F(StoreTest, ZipMarksNamesThatAreNotAsciiAsUtf8) {
    const std::string name = "\xD0\xBE\xD1\x82\xD1\x87\xD1\x91\xD1\x82-\xE6\x97\xA5\xE5\xBF\x97";  // "отчёт-日志"
    std::ofstream("serverdata/aggregate") << "a";
    std::ofstream("serverdata/" + name) << "n";
    ASSERT_EQ(zipDirectory("serverdata/", "out.zip"), 1);
    const auto entries = zipEntries("out.zip");
    ASSERT_EQ(entryNames(entries), (std::vector<std::string>{"aggregate", name}));
    EXPECT_EQ(entries[1].data, "n");
    const std::string bytes = readFile("out.zip");
    std::vector<std::pair<std::string, unsigned>> flags;
    for (std::size_t at = bytes.find("PK\x01\x02"); at != std::string::npos && at + 46 <= bytes.size();
         at = bytes.find("PK\x01\x02", at + 4)) {
        auto word = [&](std::size_t off) {
            return static_cast<unsigned>(static_cast<unsigned char>(bytes[at + off])) |
                   static_cast<unsigned>(static_cast<unsigned char>(bytes[at + off + 1])) << 8;
        };
        flags.emplace_back(bytes.substr(at + 46, word(28)), word(8) & 0x800u);
    }
    EXPECT_EQ(flags, (std::vector<std::pair<std::string, unsigned>>{{"aggregate", 0u}, {name, 0x800u}}));
}

TEST_F(StoreTest, ZipTakesAtMost511NamesAndTheRestWaits) {
    for (int i = 0; i < 600; ++i) std::ofstream("serverdata/f" + std::to_string(1000 + i)) << i;
    std::vector<std::string> added;
    ASSERT_EQ(zipDirectory("serverdata/", "out.zip", &added), 1);
    EXPECT_EQ(added.size(), kZipMaxNames);
    EXPECT_EQ(zipEntries("out.zip").size(), kZipMaxNames);
    for (const auto& path : added) std::filesystem::remove(path);
    ASSERT_EQ(zipDirectory("serverdata/", "rest.zip", &added), 1);
    EXPECT_EQ(added.size(), 600 - kZipMaxNames);
}

TEST_F(StoreTest, ZipFailuresLeaveNoZipBehind) {
    EXPECT_EQ(zipDirectory("no-such-folder/", "out.zip"), 0);
    EXPECT_FALSE(std::filesystem::exists("out.zip"));

    std::ofstream("serverdata/rawlogs") << "r";
    EXPECT_EQ(zipDirectory("serverdata/", "missing-dir/out.zip"), 0);
    EXPECT_NE(logText().find("Error opening zip file missing-dir/out.zip"), std::string::npos);

    // A file that cannot be read makes the zip incomplete: no zip at all.
    // (Root reads any file, so this needs an ordinary user.)
    if (::geteuid() != 0) {
        std::ofstream("serverdata/unreadable") << "u";
        std::filesystem::permissions("serverdata/unreadable", std::filesystem::perms::none);
        std::vector<std::string> added = {"stale"};
        EXPECT_EQ(zipDirectory("serverdata/", "out.zip", &added), 0);
        EXPECT_FALSE(std::filesystem::exists("out.zip"));
        EXPECT_TRUE(added.empty());
        EXPECT_NE(logText().find("\n Unable to open filename: serverdata/unreadable"), std::string::npos);
    }
}

// Only the folder's own regular files are sent: a link (to a file elsewhere,
// or to nothing) or a FIFO is skipped, left in place, and never blocks.
TEST_F(StoreTest, ZipTakesOnlyRegularFilesNeverThroughLinks) {
    std::ofstream("secret.txt") << "not for the server";
    std::ofstream("serverdata/rawlogs") << "r";
    std::filesystem::create_symlink("../secret.txt", "serverdata/aggregate");
    std::filesystem::create_symlink("gone", "serverdata/dangling");
    ASSERT_EQ(::mkfifo("serverdata/pipe", 0600), 0);
    std::vector<std::string> added;
    ASSERT_EQ(zipDirectory("serverdata/", "out.zip", &added), 1);
    EXPECT_EQ(added, std::vector<std::string>{"serverdata/rawlogs"});
    EXPECT_EQ(entryNames(zipEntries("out.zip")), std::vector<std::string>{"rawlogs"});
    EXPECT_TRUE(std::filesystem::is_symlink("serverdata/aggregate"));
    EXPECT_EQ(readFile("secret.txt"), "not for the server");
    EXPECT_NE(logText().find("\n Unable to open filename: serverdata/aggregate"), std::string::npos);
}

TEST_F(TransferTest, SuccessfulTransferSendsBothFilesAndDeletesThem) {
    collect(3, 528);
    const std::string before = currentSnapshotName();
    transferEventData(nullptr);
    EXPECT_NE(currentSnapshotName(), before);
    auto entries = upload(0);
    ASSERT_EQ(entryNames(entries), (std::vector<std::string>{"aggregate", "rawlogs"}));
    EXPECT_EQ(rawLogCount(entries[1].data), 3u);
    std::vector<decoders::Row> rows;
    decoders::RowFormat used;
    ASSERT_FALSE(decoders::decodeRows(entries[0].data, decoders::RowFormat::Enclosed, 15, rows, used));
    EXPECT_EQ(rows.size(), 1u);  // one kind: one line with its severity counts
    ASSERT_EQ(rows[0].values.size(), 15u);
    EXPECT_EQ(*rows[0].values[10], "1");
    EXPECT_EQ(*rows[0].values[11], "1");
    EXPECT_EQ(*rows[0].values[12], "1");

    EXPECT_FALSE(std::filesystem::exists("serverdata/rawlogs"));
    EXPECT_FALSE(std::filesystem::exists("serverdata/aggregate"));
    EXPECT_FALSE(std::filesystem::exists("logdata_42.zip"));
    const std::string log = logText();
    EXPECT_NE(log.find("\n Transfer data engaged"), std::string::npos);
    EXPECT_NE(log.find("\n Zip Name: logdata_42.zip"), std::string::npos);
    EXPECT_NE(log.find("\n Transfer done. Deleting files"), std::string::npos);
}

// A server that takes its time over an upload does not hold up collection:
// collectors store events and write fresh data files meanwhile, and those
// are neither deleted with the upload's files nor lost.
TEST_F(TransferTest, CollectionGoesOnDuringTheUpload) {
    collect(3, 528);
    std::mutex driveSet;
    setTransferDriveSetLock(&driveSet);
    bool dataFree = false, driveFree = false;
    server_.onUpload = [&] {
        dataFree = eventDataMutex.try_lock();
        if (dataFree) eventDataMutex.unlock();
        driveFree = driveSet.try_lock();
        if (driveFree) driveSet.unlock();
        if (dataFree) collect(2, 4624);
    };
    transferEventData(nullptr);
    EXPECT_TRUE(dataFree);
    EXPECT_TRUE(driveFree);
    EXPECT_EQ(rawLogCount(upload(0)[1].data), 3u);
    EXPECT_EQ(rawLogCount(readFile("serverdata/rawlogs")), 2u);
    EXPECT_EQ(countCurrentEvents(), 2);
    server_.onUpload = nullptr;
    transferEventData(nullptr);
    EXPECT_EQ(rawLogCount(upload(1)[1].data), 2u);
    EXPECT_FALSE(std::filesystem::exists("serverdata/rawlogs"));
}

// An upload that fails puts its files back before what was collected during
// it; the next zip holds both, in order.
TEST_F(TransferTest, FailedUploadPutsItsFilesBackBeforeTheNewOnes) {
    collect(2, 528);
    server_.status = 500;
    server_.onUpload = [&] { collect(1, 4624); };
    transferEventData(nullptr);
    EXPECT_FALSE(std::filesystem::exists("serverdata/sending"));
    EXPECT_EQ(rawLogCount(readFile("serverdata/rawlogs")), 3u);
    server_.status = 200;
    server_.onUpload = nullptr;
    platform::advanceClock(180'000);
    transferEventData(nullptr);
    std::vector<decoders::PackedRecord> records;
    ASSERT_FALSE(decoders::decodeRecords(upload(1)[1].data, kRawLogFormat, records));
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].fields[5].number, 528);
    EXPECT_EQ(records[2].fields[5].number, 4624);
}

// Files left aside by an upload that was cut short go out with the next
// transfer. A start-up drops them with the data files: the restarted agent
// collects their events again from the server's last message time.
TEST_F(TransferTest, FilesLeftAsideByACrashGoOutNextTime) {
    collect(2, 528);
    std::filesystem::create_directories("serverdata/sending");
    std::filesystem::rename("serverdata/rawlogs", "serverdata/sending/rawlogs");
    collect(1, 4624);
    transferEventData(nullptr);
    EXPECT_EQ(rawLogCount(upload(0)[1].data), 3u);
    EXPECT_FALSE(std::filesystem::exists("serverdata/sending"));

    collect(1, 528);
    std::filesystem::create_directories("serverdata/sending");
    std::filesystem::rename("serverdata/rawlogs", "serverdata/sending/rawlogs");
    collect(1, 4624);
    removeServerDataFiles();
    EXPECT_FALSE(std::filesystem::exists("serverdata/sending"));
    EXPECT_FALSE(std::filesystem::exists(kRawLogsFilePath));
}

TEST_F(TransferTest, FailedUploadKeepsFilesForTheNextTransfer) {
    collect(2, 528);
    server_.status = 500;
    transferEventData(nullptr);
    EXPECT_NE(logText().find("\n Transfer failed. "), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists("serverdata/rawlogs"));
    EXPECT_TRUE(std::filesystem::exists("serverdata/aggregate"));
    EXPECT_FALSE(std::filesystem::exists("logdata_42.zip"));

    platform::advanceClock(180'000);
    collect(1, 4624);
    server_.status = 200;
    transferEventData(nullptr);
    auto entries = upload(1);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(rawLogCount(entries[1].data), 3u);  // both periods in one zip
    std::vector<decoders::Row> rows;
    decoders::RowFormat used;
    ASSERT_FALSE(decoders::decodeRows(entries[0].data, decoders::RowFormat::Enclosed, 15, rows, used));
    EXPECT_EQ(rows.size(), 2u);  // one line per period's kind
    EXPECT_FALSE(std::filesystem::exists("serverdata/rawlogs"));
}

TEST_F(TransferTest, LeftOverFilesGoOutEvenWithoutNewEvents) {
    collect(2, 528);
    server_.status = 500;
    transferEventData(nullptr);
    server_.status = 200;
    const std::string snapshot = currentSnapshotName();
    transferEventData(nullptr);
    EXPECT_EQ(currentSnapshotName(), snapshot);  // nothing new to rotate
    EXPECT_EQ(uploadCount(), 2u);
    EXPECT_EQ(rawLogCount(upload(1)[1].data), 2u);
    EXPECT_FALSE(std::filesystem::exists("serverdata/rawlogs"));

    // Nothing new and nothing left: no upload.
    transferEventData(nullptr);
    EXPECT_EQ(uploadCount(), 2u);
    EXPECT_NE(logText().find("\n Server down or no data present."), std::string::npos);
}

TEST_F(TransferTest, ServerDownNeverRotatesOrUploads) {
    collect(2, 528);
    SetServerStatus(kServerDown);
    const std::string snapshot = currentSnapshotName();
    transferEventData(nullptr);
    transferEventData(nullptr);
    EXPECT_EQ(currentSnapshotName(), snapshot);
    EXPECT_EQ(countCurrentEvents(), 2);
    EXPECT_EQ(uploadCount(), 0u);
    EXPECT_FALSE(std::filesystem::exists("serverdata/aggregate"));
    const std::string log = logText();
    auto first = log.find("\n Server down or no data present.");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(log.find("\n Server down or no data present.", first + 1), std::string::npos);
}

TEST_F(TransferTest, NothingIsSentBeforeRegistrationGaveAnAgentId) {
    collect(2, 528);
    ResetAgentSettings();
    PutAgentSetting("ServerProtocol", "http");
    PutAgentSetting("ServerIPAddress", "127.0.0.1");
    PutAgentSetting("ServerPort", std::to_string(server_.port()));
    transferEventData(nullptr);
    EXPECT_EQ(uploadCount(), 0u);
    EXPECT_EQ(countCurrentEvents(), 2);  // still collecting in the same snapshot

    SetAgentId(42);
    transferEventData(nullptr);
    EXPECT_EQ(rawLogCount(upload(0)[1].data), 2u);
}

TEST_F(TransferTest, IncompleteZipIsNotSentAndNothingIsDeleted) {
    collect(2, 528);
    // The zip cannot be made where it goes (root reads every data file, so an
    // unreadable one is no way to spoil it; links and FIFOs are skipped).
    std::filesystem::create_directory("logdata_42.zip");
    std::ofstream("logdata_42.zip/in-the-way");
    transferEventData(nullptr);
    EXPECT_EQ(uploadCount(), 0u);
    EXPECT_TRUE(std::filesystem::exists("serverdata/rawlogs"));
    EXPECT_TRUE(std::filesystem::exists("serverdata/aggregate"));
    EXPECT_NE(logText().find("Could not zip serverdata/ completely"), std::string::npos);

    // Once the way is clear again, everything goes out.
    std::filesystem::remove_all("logdata_42.zip");
    transferEventData(nullptr);
    auto entries = upload(0);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(rawLogCount(entries[1].data), 2u);
}

TEST_F(TransferTest, UploadDeletesOnlyTheFilesThatWentIntoTheZip) {
    collect(1, 528);
    std::filesystem::create_directories("serverdata/sub");
    std::ofstream("serverdata/sub/keep") << "k";
    transferEventData(nullptr);
    EXPECT_EQ(entryNames(upload(0)), (std::vector<std::string>{"aggregate", "rawlogs"}));
    EXPECT_TRUE(std::filesystem::exists("serverdata/sub/keep"));
    EXPECT_FALSE(std::filesystem::exists("serverdata/rawlogs"));
}

TEST_F(TransferTest, UnreachableServerFailsTheUploadAndKeepsFiles) {
    PutAgentSetting("ServerPort", "1");  // nothing listens there
    collect(1, 528);
    transferEventData(nullptr);
    EXPECT_TRUE(std::filesystem::exists("serverdata/rawlogs"));
    EXPECT_NE(logText().find("\n Transfer failed. "), std::string::npos);
}

TEST_F(TransferTest, EventsStoredWhileTransfersRunAreNeitherLostNorSentTwice) {
    constexpr int kThreads = 4, kBuffers = 20, kPerBuffer = 10;
    std::vector<std::thread> collectors;
    for (int t = 0; t < kThreads; ++t)
        collectors.emplace_back([this] {
            for (int b = 0; b < kBuffers; ++b) collect(kPerBuffer, 528);
        });
    for (int i = 0; i < 5; ++i) transferEventData(nullptr);
    for (auto& c : collectors) c.join();
    transferEventData(nullptr);

    std::size_t records = 0;
    long counted = 0;
    for (std::size_t n = 0; n < uploadCount(); ++n) {
        auto entries = upload(n);
        for (const auto& e : entries) {
            if (e.name == "rawlogs") records += rawLogCount(e.data);
            if (e.name != "aggregate") continue;
            std::vector<decoders::Row> rows;
            decoders::RowFormat used;
            ASSERT_FALSE(decoders::decodeRows(e.data, decoders::RowFormat::Enclosed, 15, rows, used));
            for (const auto& row : rows)
                for (int c = 10; c < 15; ++c) counted += std::stol(*row.values[c]);
        }
    }
    EXPECT_EQ(records, std::size_t{kThreads * kBuffers * kPerBuffer});
    EXPECT_EQ(counted, kThreads * kBuffers * kPerBuffer);
    EXPECT_FALSE(std::filesystem::exists("serverdata/rawlogs"));
}

// The transfer worker: the caller goes on while an upload is held; batches go
// out in hand-over order, a repeated hand-over joins the batch that waits,
// and a folder's files left by a failed upload go out before the newer ones
// (a snapshot file is replaced by its newer copy).
TEST_F(TransferTest, TheWorkerSendsInHandOverOrderWhileTheCallerGoesOn) {
    const FolderDataSet change{DataSet::Change, "changes/", "changedata", "\n Change sent", "\n Change failed",
                               {"snapshot"}};
    std::filesystem::create_directories("changes");
    std::ofstream("changes/trend") << "old\n";
    std::ofstream("changes/snapshot") << "old\n";
    server_.status = 500;
    ASSERT_TRUE(handOverFolder(change));  // no worker yet: runs here and fails
    EXPECT_TRUE(std::filesystem::exists("changes/sending/trend"));
    EXPECT_EQ(transferStates()[static_cast<std::size_t>(DataSet::Change)].consecutiveFailures, 1);
    EXPECT_EQ(transferStates()[static_cast<std::size_t>(DataSet::Change)].pendingFiles, 2u);
    server_.status = 200;
    std::ofstream("changes/trend") << "new\n";
    std::ofstream("changes/snapshot") << "new\n";

    ASSERT_TRUE(startTransferWorker());
    platform::Event entered(true), release(true);
    server_.onUpload = [&] {
        entered.set();
        release.wait(-1);
    };
    collect(3, 528);
    transferEventData(nullptr);
    ASSERT_TRUE(entered.wait(-1));  // the first upload is held by the server
    collect(2, 4624);
    EXPECT_TRUE(handOverFolder(change));
    transferEventData(nullptr);
    transferEventData(nullptr);  // joins the event batch that waits
    const auto held = transferStates();
    EXPECT_TRUE(held[static_cast<std::size_t>(DataSet::Events)].running);
    EXPECT_TRUE(held[static_cast<std::size_t>(DataSet::Events)].waiting);
    EXPECT_TRUE(held[static_cast<std::size_t>(DataSet::Change)].waiting);
    release.set();
    ASSERT_TRUE(waitForTransfers(-1));
    stopTransferWorker();

    // (the server keeps the refused upload too: the first of four)
    ASSERT_EQ(uploadCount(), 4u);
    EXPECT_EQ(rawLogCount(upload(1)[1].data), 3u);
    EXPECT_EQ(rawLogCount(upload(3)[1].data), 2u);
    {
        std::lock_guard lock(server_.mutex_);
        EXPECT_EQ(server_.uploads[2].filename, "changedata_42.zip");
        std::ofstream("change.zip", std::ios::binary) << server_.uploads[2].content;
    }
    const auto entries = zipEntries("change.zip");
    std::map<std::string, std::string> byName;
    for (const auto& e : entries) byName[e.name] = e.data;
    EXPECT_EQ(byName["trend"], "old\nnew\n");
    EXPECT_EQ(byName["snapshot"], "new\n");
    EXPECT_FALSE(std::filesystem::exists("changes/sending"));
    const auto done = transferStates();
    for (DataSet set : {DataSet::Events, DataSet::Change}) {
        const DataSetTransferState& s = done[static_cast<std::size_t>(set)];
        EXPECT_EQ(s.lastResult, 0);
        EXPECT_EQ(s.consecutiveFailures, 0);
        EXPECT_EQ(s.pendingFiles, 0u);
        EXPECT_FALSE(s.waiting || s.running);
    }
}
