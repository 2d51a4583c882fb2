// The agent's own files and the process environment, the same on every
// system: folders, file status, the current directory, cutting an open file
// back, environment variables as children see them, case-insensitive
// comparison and UTC times.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "platform/clock.h"
#include "platform/env.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "platform/text.h"
#include "tests/support/contract_child.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;
using namespace platform;

namespace {

constexpr long kAlreadyExists = 183;

class FilesContract : public ::testing::Test {
protected:
    TempFolder temp;
    const fs::path dir = temp.path();
    std::string at(const std::string& name) const { return utf8Path(dir / pathFromUtf8(name)); }
};

TEST_F(FilesContract, FoldersAreMadeOnceAndExistingOnesAreNoError) {
    EXPECT_EQ(makeDirectory(at("new")), kErrorSuccess);
    EXPECT_TRUE(fs::is_directory(dir / "new"));
    EXPECT_EQ(makeDirectory(at("new")), kErrorSuccess) << "an existing folder is no error";
    writeWholeFile(dir / "file", "x");
    EXPECT_EQ(makeDirectory(at("file")), kAlreadyExists) << "a file of that name is";
    EXPECT_EQ(makeDirectory(at("missing/child")), kErrorPathNotFound) << "parents are not made";
    EXPECT_EQ(makeDirectory(at("Gr\xC3\xBC\xC3\x9F" "e")), kErrorSuccess);
    EXPECT_TRUE(fs::is_directory(dir / pathFromUtf8("Gr\xC3\xBC\xC3\x9F" "e"))) << "paths are UTF-8";
}

TEST_F(FilesContract, StatusTellsFilesFromFoldersAndMissingFilesFromMissingFolders) {
    writeWholeFile(dir / "data.bin", std::string(1234, 'a'));
    FileStatus status;
    ASSERT_EQ(fileStatus(at("data.bin"), &status), kErrorSuccess);
    EXPECT_TRUE(status.regular);
    EXPECT_FALSE(status.directory);
    EXPECT_EQ(status.size, 1234u);
    const std::int64_t now = nowSeconds();
    EXPECT_LE(std::llabs(status.modifiedSeconds - now), 300) << "modified time in seconds since 1970";

    ASSERT_EQ(fileStatus(utf8Path(dir), &status), kErrorSuccess);
    EXPECT_TRUE(status.directory);
    EXPECT_FALSE(status.regular);

    EXPECT_EQ(fileStatus(at("absent.txt"), &status), kErrorFileNotFound);
    EXPECT_EQ(fileStatus(at("absent/inner.txt"), &status), kErrorPathNotFound);
}

TEST_F(FilesContract, CurrentDirectoryChangesAndRefusesWhatIsNoFolder) {
    std::string before;
    ASSERT_EQ(currentDirectory(&before), kErrorSuccess);
    fs::create_directory(dir / "here");
    ASSERT_EQ(setCurrentDirectory(at("here")), kErrorSuccess);
    std::string now;
    EXPECT_EQ(currentDirectory(&now), kErrorSuccess);
    EXPECT_TRUE(fs::equivalent(pathFromUtf8(now), dir / "here")) << now;
    // Relative paths resolve against it.
    EXPECT_EQ(makeDirectory("relative"), kErrorSuccess);
    EXPECT_TRUE(fs::is_directory(dir / "here" / "relative"));

    writeWholeFile(dir / "plain", "x");
    EXPECT_EQ(setCurrentDirectory(at("plain")), 267L) << "a file is not a folder";
    EXPECT_EQ(setCurrentDirectory(at("absent")), kErrorFileNotFound);
    EXPECT_EQ(currentDirectory(&now), kErrorSuccess);
    EXPECT_TRUE(fs::equivalent(pathFromUtf8(now), dir / "here")) << "a failed change leaves it";
    ASSERT_EQ(setCurrentDirectory(before), kErrorSuccess);
}

TEST_F(FilesContract, AnOpenFileIsMeasuredAndCutBack) {
    std::FILE* file = std::fopen(at("cut.bin").c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::setvbuf(file, nullptr, _IONBF, 0);
    ASSERT_EQ(std::fwrite("0123456789", 1, 10, file), 10u);
    std::uint64_t size = 0;
    EXPECT_EQ(openFileSize(file, &size), kErrorSuccess);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(truncateOpenFile(file, 4), kErrorSuccess);
    EXPECT_EQ(openFileSize(file, &size), kErrorSuccess);
    EXPECT_EQ(size, 4u);
    std::fclose(file);
    EXPECT_EQ(readWholeFile(dir / "cut.bin"), "0123");
    EXPECT_EQ(openFileSize(nullptr, &size), kErrorInvalidHandle);
}

// Cyrillic and CJK names: on Windows they reach the wide calls whole.
TEST_F(FilesContract, FilesAreListedRenamedCopiedAndRemovedByUtf8Names) {
    const std::string folder = at("\xD0\x94\xD0\xB0\xD0\xBD\xD0\xBD\xD1\x8B\xD0\xB5");  // "Данные"
    const std::string file = "\xE6\x97\xA5\xE5\xBF\x97.dat";                                // "日志.dat"
    ASSERT_EQ(makeDirectories(joinFolderPath(folder, "a/b")), kErrorSuccess) << "parents are made";
    writeWholeFile(pathFromUtf8(joinFolderPath(folder, file)), "12345");
    std::vector<DirectoryEntry> entries;
    ASSERT_EQ(listDirectory(folder, &entries), kErrorSuccess);
    ASSERT_EQ(entries.size(), 2u) << "no \".\" or \"..\"";
    std::sort(entries.begin(), entries.end(), [](auto& l, auto& r) { return l.name < r.name; });
    EXPECT_EQ(entries[0].name, "a");
    EXPECT_TRUE(entries[0].directory);
    EXPECT_FALSE(entries[0].regular);
    EXPECT_EQ(entries[1].name, file);
    EXPECT_TRUE(entries[1].regular);
    EXPECT_EQ(entries[1].size, 5u);
    EXPECT_EQ(listDirectory(at("absent"), &entries), kErrorPathNotFound) << "as the pattern absent\\* gives";
    EXPECT_EQ(listDirectory(joinFolderPath(folder, file), &entries), 267L) << "a file is no folder";

    const std::string from = joinFolderPath(folder, file);
    const std::string copy = joinFolderPath(folder, "\xD0\xBA\xD0\xBE\xD0\xBF\xD0\xB8\xD1\x8F");
    writeWholeFile(pathFromUtf8(copy), "old");
    ASSERT_EQ(copyFile(from, copy), kErrorSuccess);
    std::string bytes;
    ASSERT_TRUE(readFileWhole(copy, &bytes));
    EXPECT_EQ(bytes, "12345") << "a copy replaces the file there";
    ASSERT_TRUE(readFileWhole(copy, &bytes, 2));
    EXPECT_EQ(bytes, "123") << "one byte past the limit shows a file over it";
    EXPECT_FALSE(readFileWhole(at("absent"), &bytes));
    ASSERT_EQ(resizeFile(copy, 2), kErrorSuccess);
    EXPECT_EQ(readWholeFile(pathFromUtf8(copy)), "12");

    ASSERT_EQ(renameFile(copy, from), kErrorSuccess) << "renaming replaces the file there";
    EXPECT_EQ(readWholeFile(pathFromUtf8(from)), "12");
    EXPECT_EQ(fileStatus(copy, nullptr), kErrorFileNotFound);
    EXPECT_EQ(removeFile(copy), kErrorFileNotFound);
    EXPECT_EQ(removeDirectory(folder), 145L) << "a folder that holds files stays";
    ASSERT_EQ(removeTree(folder), kErrorSuccess);
    EXPECT_FALSE(fs::exists(pathFromUtf8(folder)));
    EXPECT_EQ(removeTree(folder), kErrorSuccess) << "a missing folder is no error";
    EXPECT_EQ(pathLeaf("serverdata/sending\\rawlogs"), "rawlogs");
}

TEST(EnvironmentContract, VariablesAreSetReadRemovedAndInherited) {
    const std::string name = "AMBRIK_CONTRACT_VARIABLE";
    const ScopedEnvironment restore(name, std::nullopt);
    EXPECT_EQ(getEnvironment(name), std::nullopt);
    ASSERT_TRUE(setEnvironment(name, "first value"));
    EXPECT_EQ(getEnvironment(name), "first value");
    ASSERT_TRUE(setEnvironment(name, std::string(5000, 'v')));
    EXPECT_EQ(getEnvironment(name), std::string(5000, 'v')) << "long values come back whole";
    ASSERT_TRUE(setEnvironment(name, "Gr\xC3\xBC\xC3\x9F" "e"));
    EXPECT_EQ(getEnvironment(name), "Gr\xC3\xBC\xC3\x9F" "e");

    TempFolder temp;
    Process child(nullptr, nullptr);
    ASSERT_EQ(startProcess(childCommandLine({"report", utf8Path(temp.path() / "env.txt"), "0", name}),
                           utf8Path(temp.path()), false, &child),
              kErrorSuccess);
    std::uint32_t code = 1;
    ASSERT_EQ(waitProcess(child, -1, &code), kErrorSuccess);
    const std::string report = readWholeFile(temp.path() / "env.txt");
    EXPECT_NE(report.find("\nGr\xC3\xBC\xC3\x9F" "e\n"), std::string::npos) << report;

    EXPECT_TRUE(unsetEnvironment(name));
    EXPECT_EQ(getEnvironment(name), std::nullopt);
    EXPECT_TRUE(unsetEnvironment(name)) << "removing a variable that is not set is no error";
    EXPECT_FALSE(setEnvironment("", "x"));
    EXPECT_FALSE(setEnvironment("A=B", "x"));
    EXPECT_EQ(getEnvironment(""), std::nullopt);
}

TEST(TextContract, CaseIsIgnoredForAsciiLettersOnly) {
    EXPECT_TRUE(equalsIgnoreCase("DEFAULT", "default"));
    EXPECT_TRUE(equalsIgnoreCase("", ""));
    EXPECT_FALSE(equalsIgnoreCase("DEFAULT", "DEFAULTS"));
    EXPECT_FALSE(equalsIgnoreCase("a[", "A{")) << "only letters fold";
    EXPECT_FALSE(equalsIgnoreCase("\xC3\x9C", "\xC3\xBC")) << "other bytes compare as they are";
}

TEST(ClockContract, UtcTimesConvertBothWaysAndFieldsCarryOver) {
    for (std::int64_t seconds : {std::int64_t{0}, std::int64_t{951782400}, std::int64_t{951868799},
                                 std::int64_t{1700000000}, std::int64_t{4102444800}}) {
        EXPECT_EQ(fromUtcTime(toUtcTime(seconds)), seconds) << seconds;
    }
    std::tm tm{};
    tm.tm_year = 124;  // 2024-03-01 00:00:-1 is the last second of 29 February
    tm.tm_mon = 2;
    tm.tm_mday = 1;
    tm.tm_sec = -1;
    const std::tm before = toUtcTime(fromUtcTime(tm));
    EXPECT_EQ(before.tm_mon, 1);
    EXPECT_EQ(before.tm_mday, 29);
    EXPECT_EQ(before.tm_hour, 23);
    EXPECT_EQ(before.tm_sec, 59);
    tm = {};
    tm.tm_year = 99;  // month 12 of 1999 is January 2000
    tm.tm_mon = 12;
    tm.tm_mday = 1;
    EXPECT_EQ(fromUtcTime(tm), 946684800);
}

}  // namespace
