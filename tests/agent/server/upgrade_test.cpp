// The version check and the hand-over to Renovo: what is asked, downloaded,
// copied and started.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <fstream>

#include "agent/scheduler/scheduler.h"
#include "tests/agent/server/upgrade_fixture.h"

namespace {

TEST_F(UpgradeTest, EqualVersionsAskOnceAndDoNothingElse) {
    UpgradeCheck();
    EXPECT_EQ(server.targets(), std::vector<std::string>{"/event/agentHandler?mode=version"});
    EXPECT_FALSE(std::filesystem::exists(upgradeDir()));

    // An empty answer names no version to upgrade to.
    serverVersion.clear();
    UpgradeCheck();
    EXPECT_EQ(server.targets().size(), 2u);
    EXPECT_FALSE(std::filesystem::exists(upgradeDir()));
}

TEST_F(UpgradeTest, DifferentVersionDownloadsCopiesAndStartsRenovo) {
    serverVersion = "8.0.2";
    const std::string marker = root.file("renovo-ran");
    renovoScript = recordingRenovo(marker);
    const auto bin = root.path / "install" / "bin";
    for (const char* library : {"libcurl.dll", "ssleay32.dll"}) {
        std::FILE* f = std::fopen((bin / library).c_str(), "wb");
        std::fputs(library, f);
        std::fclose(f);
    }
    LogCapture log(4);
    UpgradeCheck();

    EXPECT_EQ(server.targets(), (std::vector<std::string>{"/event/agentHandler?mode=version",
                                                          "/event/agentHandler?mode=Renovo.exe"}));
    const std::string renovo = upgradeDir() + "/Renovo.exe";
    EXPECT_EQ(ReadWholeFile(renovo), renovoScript);
    struct stat info {};
    ASSERT_EQ(::stat(renovo.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    EXPECT_EQ(ReadWholeFile(upgradeDir() + "/libcurl.dll"), "libcurl.dll");
    EXPECT_EQ(ReadWholeFile(upgradeDir() + "/ssleay32.dll"), "ssleay32.dll");
    EXPECT_FALSE(std::filesystem::exists(upgradeDir() + "/libeay32.dll"));
    EXPECT_NE(log.text().find("\n Failed to Copy : " + (root.path / "install").string() +
                              "//bin/libeay32.dll"),
              std::string::npos);
    EXPECT_NE(log.text().find("\n Current version: 8.0.1, Version in server: 8.0.2"), std::string::npos);

    // Renovo runs on its own; the agent does not wait for it.
    ASSERT_TRUE(waitForFile(marker));
    EXPECT_EQ(ReadWholeFile(marker),
              std::filesystem::canonical(root.path / "install").string() + "/bin\n[8.0.2]\n");
    struct stat folder {};
    ASSERT_EQ(::stat(upgradeDir().c_str(), &folder), 0);
    EXPECT_EQ(folder.st_mode & 07777, 0700u);
}

// The server's text is one argument, whatever blanks or quotes it holds.
TEST_F(UpgradeTest, VersionTextIsOneArgument) {
    serverVersion = "9.0 --target /etc \"x\\\" y\n";
    const std::string marker = root.file("renovo-ran");
    renovoScript = recordingRenovo(marker);
    UpgradeCheck();
    ASSERT_TRUE(waitForFile(marker));
    const std::string text = ReadWholeFile(marker);
    EXPECT_EQ(text.substr(text.find('\n') + 1), "[" + serverVersion + "]\n");
}

// A download that fails starts nothing and leaves no part of a program.
TEST_F(UpgradeTest, FailedDownloadStartsNothing) {
    serverVersion = "9.0";
    const std::string marker = root.file("renovo-ran");
    renovoScript = recordingRenovo(marker);
    renovoStatus = 500;
    LogCapture log(4);
    UpgradeCheck();
    const std::string text = log.text();
    EXPECT_NE(text.find("\n Download Renovo failed.."), std::string::npos);
    EXPECT_EQ(text.find("\n Calling Renovo"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(upgradeDir() + "/Renovo.exe"));
}

// An old Renovo.exe (here a link to a file of the system) is replaced, never
// written through; an unsafe folder or parent stops the upgrade before any
// download.
TEST_F(UpgradeTest, UnsafeFolderOrOldFileIsNeverWrittenThrough) {
    serverVersion = "9.0";
    const std::string marker = root.file("renovo-ran");
    renovoScript = recordingRenovo(marker);
    const std::string victim = root.file("victim");
    { std::ofstream(victim) << "keep"; }
    std::filesystem::create_directory(upgradeDir());
    ::chmod(upgradeDir().c_str(), 0700);
    std::filesystem::create_symlink(victim, upgradeDir() + "/Renovo.exe");
    UpgradeCheck();
    ASSERT_TRUE(waitForFile(marker));
    EXPECT_EQ(ReadWholeFile(victim), "keep");
    EXPECT_FALSE(std::filesystem::is_symlink(upgradeDir() + "/Renovo.exe"));

    LogCapture log(4);
    ::chmod(upgradeDir().c_str(), 0777);
    UpgradeCheck();
    EXPECT_NE(log.text().find("is not a private folder of this user"), std::string::npos);
    ::chmod(upgradeDir().c_str(), 0700);
    ::chmod((root.path / "install").c_str(), 0777);
    UpgradeCheck();
    EXPECT_NE(log.text().find("lies in a folder that others may write"), std::string::npos);
    ::chmod((root.path / "install").c_str(), 0755);
    std::filesystem::remove(upgradeDir() + "/Renovo.exe");
    std::filesystem::remove(upgradeDir());
    std::filesystem::create_directory_symlink(root.path, upgradeDir());
    UpgradeCheck();
    EXPECT_EQ(log.text().find("\n Calling Renovo"), std::string::npos);
    const auto targets = server.targets();
    EXPECT_EQ(std::count(targets.begin(), targets.end(), "/event/agentHandler?mode=Renovo.exe"), 1);
}

TEST_F(UpgradeTest, CheckRunsAtOnceThenEveryNinetyMinutes) {
    platform::useManualClock(1700000000000);
    resetSchedulerForTests();
    ASSERT_TRUE(initScheduler());
    ASSERT_TRUE(createScheduler("DEFAULT"));
    ASSERT_TRUE(ScheduleUpgradeCheck());
    runDueEntries();
    EXPECT_EQ(server.targets().size(), 1u);
    platform::advanceClock(5399 * 1000);
    runDueEntries();
    EXPECT_EQ(server.targets().size(), 1u);
    platform::advanceClock(1000);
    runDueEntries();
    EXPECT_EQ(server.targets().size(), 2u);
    resetSchedulerForTests();
}

TEST(FsRedirection, NothingToSwitchOutsideWindows) {
    EXPECT_FALSE(IsWow64());
    EXPECT_TRUE(RevertFsRedirection());
    EXPECT_TRUE(DisableFsRedirection());
    EXPECT_TRUE(RevertFsRedirection());
}

// A shared temporary folder would let a local user place the program that
// root starts, so TEMP and TMPDIR play no part.
TEST(UpgradeFolder, LiesInTheInstallDirectoryWhateverTempSays) {
    PutAgentSetting("AgentInstallDir", "/opt/orbisk/");
    ::setenv("TEMP", "/var/a", 1);
    EXPECT_EQ(UpgradeFolder(), "/opt/orbisk/OrbiskAgent");
    ::unsetenv("TEMP");
}

}  // namespace
