// First records of the journal on a mapped folder, with the recursive watcher.
#include "tests/platform/journal/journal_fixture.h"

using namespace platform;

TEST_F(JournalVolume, CreateWriteMoveAndDeleteGiveClosedRecords) {
    if (getenv("FORCE_INOTIFY")) setenv("AMBRIK_JOURNAL_WATCHER", "inotify", 1);
    auto h = open();
    UsnJournalData d{};
    EXPECT_EQ(queryUsnJournal(h, &d), kErrorJournalNotActive);
    createJournal(h);
    writeFile(volume / "a.txt", "hello");
    flushVolumeWatcher(h);
    std::filesystem::create_directory(volume / "dir");
    flushVolumeWatcher(h);
    std::filesystem::rename(volume / "a.txt", volume / "dir" / "b.txt");
    flushVolumeWatcher(h);
    std::filesystem::remove(volume / "dir" / "b.txt");
    flushVolumeWatcher(h);
    const std::vector<std::string> expected = {
        "a.txt:FILE_CREATE",          "a.txt:DATA_EXTEND|FILE_CREATE", "a.txt:DATA_EXTEND|FILE_CREATE|CLOSE",
        "dir:FILE_CREATE|CLOSE",      "a.txt:RENAME_OLD_NAME",         "b.txt:RENAME_NEW_NAME|CLOSE",
        "b.txt:FILE_DELETE|CLOSE"};
    EXPECT_EQ(describe(readAll(h)), expected);
}
