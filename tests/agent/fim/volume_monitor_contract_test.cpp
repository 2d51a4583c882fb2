// The volume monitor over a real NTFS journal (the public sample beside the
// checkout): the changes it hands on from the sample's records are the same
// on both systems, those listed in data/sample_journal_changes.txt. On
// Windows (under wine) the monitor reads through the Win32 journal backend,
// which the journal stand-in answers at its seam, and builds its folder map
// from the backend's enumeration; on Linux it reads the stand-in's control
// codes directly.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "agent/fim/volume_monitor.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "tests/agent/fim/fim_state.h"
#include "tests/platform/journal/ntfs_sample.h"
#include "tests/support/journal_standin.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_folder.h"

namespace {

class SampleJournalMonitor : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(platform::currentDirectory(&previousDir_), platform::kErrorSuccess);
        ASSERT_EQ(platform::setCurrentDirectory(utf8Path(temp_.path())), platform::kErrorSuccess);
        for (const char* sub : {"data", "data/changedata", "data/basedata", "data/periodicdata", "data/newdata"})
            ASSERT_EQ(platform::makeDirectory(sub), platform::kErrorSuccess);
        log_ = std::make_unique<LogCapture>();
        platform::useManualClock(1'700'000'000'000);
        startFimState();
        std::lock_guard lock(rulesLock());
        monitorRules().monitorDirs = {"c:"};
        monitorRules().locations.emplace("c:", LocationIds{7, 0});
    }
    void TearDown() override {
        endFimState();
        log_.reset();
        platform::useSystemClock();
        platform::setCurrentDirectory(previousDir_);
    }
    static std::vector<std::string> changes() {
        std::vector<std::string> out;
        std::lock_guard lock(changeListLock());
        for (const auto& c : changeList()) out.push_back(c.changeType + " " + c.path);
        return out;
    }

    TempFolder temp_;
    std::string previousDir_;
    std::unique_ptr<LogCapture> log_;
};

std::vector<std::string> expectedChanges() {
#if defined(_WIN32)
    std::ifstream in(std::string("Z:") + AMBRIK_SOURCE_DIR "/tests/agent/fim/data/sample_journal_changes.txt");
#else
    std::ifstream in(AMBRIK_SOURCE_DIR "/tests/agent/fim/data/sample_journal_changes.txt");
#endif
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] != '#') lines.push_back(line);
    return lines;
}

}  // namespace

TEST_F(SampleJournalMonitor, TheSampleJournalGivesTheChangesItsListingImplies) {
    const auto sample = ntfs_sample::readJournal();
    if (!sample || sample->empty()) GTEST_SKIP() << ntfs_sample::kMissing;
    std::vector<std::vector<std::uint8_t>> bytes;
    for (const auto& record : *sample) bytes.push_back(record.bytes);
    JournalStandIn standIn(std::move(bytes), ntfs_sample::kJournalId, ntfs_sample::kNextUsn,
                           ntfs_sample::kRootReference);
    auto monitor = std::make_shared<VolumeMonitor>();
    monitor->backupPath = backupFilePath('C');
#if defined(_WIN32)
    ASSERT_EQ(platform::openVolume("\\\\.\\C:", &monitor->volume), platform::kErrorSuccess);
    VolumeMonitor& m = *monitor;
    monitor->journal.query = [&m](platform::UsnJournalData* data) { return platform::queryUsnJournal(m.volume, data); };
    monitor->journal.read = [&m](const platform::ReadUsnJournalData& in, void* out, std::uint32_t size,
                                 std::uint32_t* returned) {
        return platform::readUsnJournal(m.volume, in, out, size, returned);
    };
    // The first start: the map comes from the backend's enumeration of the volume.
    ASSERT_TRUE(SetEnv(*monitor));
    EXPECT_TRUE(log_->has("\n Populating File DB done for Drive: C"));
#else
    monitor->journal.query = [&standIn](platform::UsnJournalData* data) {
        std::uint32_t got = 0;
        return standIn.control(platform::kFsctlQueryUsnJournal, nullptr, 0, data, sizeof *data, &got);
    };
    monitor->journal.read = [&standIn](const platform::ReadUsnJournalData& in, void* out, std::uint32_t size,
                                       std::uint32_t* returned) {
        return standIn.control(platform::kFsctlReadUsnJournal, &in, sizeof in, out, size, returned);
    };
    // The map a first start builds: the root and every folder the enumeration lists.
    monitor->map.Add(standIn.rootReference(), u"C:", 0);
    platform::MftEnumData in{0, 0, ntfs_sample::kNextUsn};
    std::vector<std::uint8_t> out(65544);
    std::uint32_t got = 0;
    while (standIn.control(platform::kFsctlEnumUsnData, &in, sizeof in, out.data(),
                           static_cast<std::uint32_t>(out.size()), &got) == 0) {
        for (const platform::UsnRecord& r : platform::decodeUsnOutput({out.data(), got}))
            if (r.FileAttributes & platform::kFileAttributeDirectory)
                monitor->map.Add(r.FileReferenceNumber, r.FileName, r.ParentFileReferenceNumber);
        in.StartFileReferenceNumber = platform::usnOutputHeader({out.data(), got});
    }
#endif
    // Every record from the journal's first on.
    setReadState(*monitor, 0, ntfs_sample::kJournalId);
    processJournalRecords(*monitor);
    const std::vector<std::string> expected = expectedChanges();
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(changes(), expected);
    EXPECT_EQ(monitor->readState.StartUsn, ntfs_sample::kNextUsn);
    EXPECT_EQ(monitor->committedUsn, ntfs_sample::kNextUsn);
}
