// The version check and the hand-over to Renovo: what is asked, downloaded,
// copied and started.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "agent/scheduler/scheduler.h"
#include "agent/server/upgrade.h"
#include "platform/clock.h"
#include "tests/agent/server/local_server.h"

namespace {

class UpgradeTest : public ::testing::Test {
protected:
    void SetUp() override {
        HttpGlobalInit();
        server.http().Get("/event/agentHandler", [this](const httplib::Request& req, httplib::Response& res) {
            const std::string mode = req.get_param_value("mode");
            if (mode == "version") res.set_content(serverVersion, "text/plain");
            else if (mode == "Renovo.exe") {
                res.status = renovoStatus;
                res.set_content(renovoScript, "application/octet-stream");
            }
            else res.status = 404;
        });
        UseLocalServer(server.start());
        PutAgentSetting("AgentVersion", "8.0.1");
        std::filesystem::create_directories(root.path / "install" / "bin");
        PutAgentSetting("AgentInstallDir", (root.path / "install").string() + "/");
        oldTemp = std::getenv("TEMP") ? std::getenv("TEMP") : "";
        ::setenv("TEMP", root.file("temp").c_str(), 1);
    }
    void TearDown() override {
        if (oldTemp.empty()) ::unsetenv("TEMP");
        else ::setenv("TEMP", oldTemp.c_str(), 1);
        platform::useSystemClock();
    }
    std::string upgradeDir() const { return root.file("temp") + "/OrbiskAgent"; }

    LocalServer server;
    ScratchDir root{"upgrade"};
    std::string oldTemp;
    std::string serverVersion = "8.0.1";
    std::string renovoScript;
    int renovoStatus = 200;
};

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
    renovoScript = "#!/bin/sh\npwd > " + marker + ".tmp\necho \"$@\" >> " + marker + ".tmp\nmv " +
                   marker + ".tmp " + marker + "\n";
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
    EXPECT_TRUE(info.st_mode & S_IXUSR);
    EXPECT_EQ(ReadWholeFile(upgradeDir() + "/libcurl.dll"), "libcurl.dll");
    EXPECT_EQ(ReadWholeFile(upgradeDir() + "/ssleay32.dll"), "ssleay32.dll");
    EXPECT_FALSE(std::filesystem::exists(upgradeDir() + "/libeay32.dll"));
    EXPECT_NE(log.text().find("\n Failed to Copy : " + (root.path / "install").string() +
                              "//bin/libeay32.dll"),
              std::string::npos);
    EXPECT_NE(log.text().find("\n Current version: 8.0.1, Version in server: 8.0.2"), std::string::npos);

    // Renovo runs on its own; the agent does not wait for it.
    for (int i = 0; i < 1000 && !std::filesystem::exists(marker); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(ReadWholeFile(marker),
              std::filesystem::canonical(root.path / "install").string() + "/bin\n8.0.2\n");
}

TEST_F(UpgradeTest, FailedDownloadIsLoggedAndTheUpgradeGoesOn) {
    serverVersion = "9.0";
    renovoStatus = 500;
    LogCapture log(4);
    UpgradeCheck();
    const std::string text = log.text();
    EXPECT_NE(text.find("\n Download Renovo failed.."), std::string::npos);
    EXPECT_NE(text.find("\n Calling Renovo"), std::string::npos);
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

TEST(UpgradeFolder, TempThenTmpdirThenSlashTmp) {
    const std::string temp = std::getenv("TEMP") ? std::getenv("TEMP") : "";
    const std::string tmpdir = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
    ::setenv("TEMP", "/var/a", 1);
    ::setenv("TMPDIR", "/var/b", 1);
    EXPECT_EQ(UpgradeFolder(), "/var/a/OrbiskAgent");
    ::unsetenv("TEMP");
    EXPECT_EQ(UpgradeFolder(), "/var/b/OrbiskAgent");
    ::unsetenv("TMPDIR");
    EXPECT_EQ(UpgradeFolder(), "/tmp/OrbiskAgent");
    if (!temp.empty()) ::setenv("TEMP", temp.c_str(), 1);
    if (!tmpdir.empty()) ::setenv("TMPDIR", tmpdir.c_str(), 1);
}

}  // namespace
