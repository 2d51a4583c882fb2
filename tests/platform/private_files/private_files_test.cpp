// The agent's own files and folders: only its user may use them, and a link
// or a special file placed among them is never followed or opened.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "platform/private_files.h"
#include "tests/platform/support/temp_dir.h"

namespace fs = std::filesystem;
using namespace platform;

namespace {

unsigned modeOf(const fs::path& p) {
    struct stat info {};
    return ::lstat(p.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

TEST(PrivateFiles, FoldersAreMadeOrClosedAndLinksRefused) {
    TempDir temp;
    const fs::path base = temp.path();
    ASSERT_TRUE(makePrivateDirectory((base / "data/changedata").string()));
    EXPECT_EQ(modeOf(base / "data"), 0700u);
    EXPECT_EQ(modeOf(base / "data/changedata"), 0700u);

    fs::create_directory(base / "old");
    fs::permissions(base / "old", fs::perms(0755));
    EXPECT_TRUE(makePrivateDirectory((base / "old/").string()));
    EXPECT_EQ(modeOf(base / "old"), 0700u);

    fs::create_directory(base / "elsewhere");
    fs::permissions(base / "elsewhere", fs::perms(0755));
    fs::create_directory_symlink(base / "elsewhere", base / "linked");
    errno = 0;
    EXPECT_FALSE(makePrivateDirectory((base / "linked").string()));
    EXPECT_EQ(errno, ELOOP);
    EXPECT_EQ(modeOf(base / "elsewhere"), 0755u);
    { std::ofstream(base / "plain") << "x"; }
    EXPECT_FALSE(makePrivateDirectory((base / "plain").string()));
}

TEST(PrivateFiles, OnlyRegularFilesAreOpenedAndNeverThroughALink) {
    TempDir temp;
    const fs::path base = temp.path();
    const mode_t old = ::umask(022);
    std::FILE* made = openRegularFile((base / "new").string(), "w");
    ::umask(old);
    ASSERT_NE(made, nullptr);
    std::fputs("data", made);
    std::fclose(made);
    EXPECT_EQ(modeOf(base / "new"), 0600u);

    { std::ofstream(base / "target") << "keep"; }
    fs::create_symlink(base / "target", base / "link");
    for (const char* mode : {"r", "w", "a", "ab"}) {
        errno = 0;
        EXPECT_EQ(openRegularFile((base / "link").string(), mode), nullptr) << mode;
        EXPECT_EQ(errno, ELOOP) << mode;
    }
    EXPECT_EQ(slurp(base / "target"), "keep");
    EXPECT_FALSE(isRegularFileNoFollow((base / "link").string()));
    EXPECT_TRUE(isRegularFileNoFollow((base / "target").string()));

    // A FIFO would block a reader for ever; a folder is no data file.
    ASSERT_EQ(::mkfifo((base / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(openRegularFile((base / "fifo").string(), "rb"), nullptr);
    EXPECT_EQ(openRegularFile(base.string(), "rb"), nullptr);
    EXPECT_EQ(openRegularFile((base / "new").string(), "rw+x"), nullptr);

    std::FILE* appended = openRegularFile((base / "new").string(), "a");
    ASSERT_NE(appended, nullptr);
    std::fputs("+more", appended);
    std::fclose(appended);
    EXPECT_EQ(slurp(base / "new"), "data+more");

    fs::permissions(base / "target", fs::perms(0644));
    EXPECT_TRUE(makePrivateFile((base / "target").string()));
    EXPECT_EQ(modeOf(base / "target"), 0600u);
    EXPECT_TRUE(makePrivateFile((base / "missing").string()));
    EXPECT_FALSE(makePrivateFile((base / "link").string()));
}

}  // namespace
