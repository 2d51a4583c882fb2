// execute, the installer-code texts and the error reports, in both message
// layouts.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "common/process_helpers.h"
#include "platform/clock.h"
#include "tests/support/log_capture.h"
#include "tests/platform/support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

class Execute : public ::testing::Test {
protected:
    TempDir temp;
    const fs::path dir = temp.path();
    const fs::path startDir = fs::current_path();
    void TearDown() override { platform::useSystemClock(); }
    void script(const std::string& name, const std::string& body) { writeScript(dir / name, body); }
};

TEST_F(Execute, InstallerSuccessCodesGiveZeroWithTheirRemarks) {
    // Exit statuses have 8 bits on POSIX; the full code goes through the channel.
    script("patch", "echo 3010 >&\"$ORBISK_EXIT_CODE_FD\"\nexit 3010");
    LogCapture log(4);
    std::string remarks;
    EXPECT_EQ(execute(dir.c_str(), "patch /quiet", &remarks, 1, false), 0);
    EXPECT_EQ(remarks, "Unknown Error. Code : 3010");
    std::string text = log.text();
    EXPECT_NE(text.find("\n @@@@@@@@ Inside execute Method @@@@@@@@"), std::string::npos);
    EXPECT_NE(text.find("\n execute : Current Working Directory : " + startDir.string() + " "), std::string::npos) << text;
    EXPECT_NE(text.find("\n execute : Executing Application Source : patch /quiet "), std::string::npos);
    EXPECT_NE(text.find("\n execute : Set Working Directory : " + dir.string() + " "), std::string::npos);
    EXPECT_NE(text.find("\n execute : Process successfully created for application patch /quiet "), std::string::npos);
    EXPECT_NE(text.find("\n execute : Error Code : 3010 "), std::string::npos);
    EXPECT_NE(text.find("\n execute : Remarks from the CreateProcess is Unknown Error. Code : 3010 for the executable patch /quiet "),
              std::string::npos);
    EXPECT_NE(text.find("\n @@@@@@@@ End Of execute Method @@@@@@@@ "), std::string::npos);

    script("reboot", "echo 1641 >&\"$ORBISK_EXIT_CODE_FD\"\nexit 1641");
    EXPECT_EQ(execute(dir.c_str(), "reboot", &remarks, 1, false), 0);
    script("fails", "echo 17024 >&\"$ORBISK_EXIT_CODE_FD\"\nexit 17024");
    EXPECT_EQ(execute(dir.c_str(), "fails", &remarks, 1, false), 17024);
    EXPECT_EQ(remarks, "OfficeUpdateError: Creating folder failed.");
    script("seven", "exit 7");
    EXPECT_EQ(execute(dir.c_str(), "seven", &remarks, 1, false), 7);
    EXPECT_EQ(remarks, "Unknown Error. Code : 7");
}

TEST_F(Execute, WorkingDirectoryIsTheChildsOnly) {
    script("where", "pwd > where.txt");
    std::string remarks;
    ASSERT_EQ(execute(dir.c_str(), "where", &remarks, 1, false), 0);
    EXPECT_EQ(slurp(dir / "where.txt"), dir.string() + "\n");
    EXPECT_EQ(fs::current_path(), startDir);

    LogCapture log(4);
    EXPECT_NE(execute((dir / "missing").c_str(), "where", &remarks, 1, false), 0);
    EXPECT_TRUE(log.has("\n execute : Failed to set the WorkingDirectory " + (dir / "missing").string() + " "));
    EXPECT_EQ(fs::current_path(), startDir);
}

TEST_F(Execute, TimeLimitTerminatesTheProgramWith258) {
    platform::useManualClock(50'000);
    script("hang", "echo $$ > hang.pid\nexec sleep 600");
    std::atomic<bool> done{false};
    std::thread ticker([&] {
        // Time moves only once the program is up, so it is the limit that ends it.
        while (!done && (!fs::exists(dir / "hang.pid") || slurp(dir / "hang.pid").empty())) std::this_thread::yield();
        while (!done) {
            platform::advanceClock(5'000);
            std::this_thread::yield();
        }
    });
    LogCapture log(4);
    std::string remarks;
    long rc = execute(dir.c_str(), "hang", &remarks, 1, false);
    done = true;
    ticker.join();
    EXPECT_EQ(rc, 258);
    EXPECT_EQ(remarks, "Unknown Error. Code : 258");
    EXPECT_TRUE(log.has("\n execute : Terminating the Process for application hang as time is exceeded 1 Minutes "));
    pid_t pid = std::atoi(slurp(dir / "hang.pid").c_str());
    ASSERT_GT(pid, 0);
    EXPECT_EQ(::kill(pid, 0), -1) << "the program is gone";
    EXPECT_EQ(errno, ESRCH);
}

TEST_F(Execute, MissingProgramAndNoWaitAndAgentLayout) {
    LogCapture log(4);
    std::string remarks;
    EXPECT_EQ(execute(nullptr, "no-such-installer-ambrik.exe /q", &remarks, 1, false), 2);
    EXPECT_EQ(remarks, "Unknown Error. Code : 2");
    EXPECT_TRUE(log.has("\n execute : Failed to Create the Process for installing Patch "));
    EXPECT_FALSE(log.has("Current Working Directory")) << "no directory, no directory steps";

    auto before = platform::nowMillis();
    EXPECT_EQ(execute(dir.c_str(), "sleep 1", &remarks, 0, true), 0) << "a limit of 0 does not wait";
    EXPECT_EQ(remarks, "Unknown Error. Code : 0");
    EXPECT_LT(platform::nowMillis() - before, 60'000);

    LogCapture agentLog(4);
    script("three", "exit 3");
    EXPECT_EQ(execute(dir.c_str(), "three", &remarks, 1, false, MessageLayout::Agent), 3);
    std::string text = agentLog.text();
    EXPECT_EQ(text.rfind("@@@@@@@@ Inside execute Method @@@@@@@@ \n", 0), 0u) << text;
    EXPECT_NE(text.find("execute : Set Working Directory : " + dir.string() + " \n"), std::string::npos);
    EXPECT_NE(text.find("execute : Error Code : 3 \n"), std::string::npos);
    EXPECT_NE(text.find("@@@@@@@@ End Of execute Method @@@@@@@@ \n"), std::string::npos);
    EXPECT_EQ(text.find("\n execute"), std::string::npos) << "no tools-layout message";
}

TEST(UpdateErrors, TableTextsAndReportsInBothLayouts) {
    EXPECT_EQ(GetUpdateErrorText(17024), "OfficeUpdateError: Creating folder failed.");
    EXPECT_EQ(GetUpdateErrorText(17303), "OfficeUpdateError: Extracting file.");
    EXPECT_EQ(GetUpdateErrorText(17022), "Unknown Error. Code : 17022");
    EXPECT_EQ(GetUpdateErrorText(-5), "Unknown Error. Code : -5");

    LogCapture log(1);  // only LogEssential passes level 1
    EXPECT_EQ(ReportErrorCode(0), "Unknown Error. Code : 0");
    EXPECT_EQ(ReportErrorCode(17024), "OfficeUpdateError: Creating folder failed.");
    EXPECT_EQ(log.text(), "\n Message : Unknown Error. Code : 0");

    LogCapture all(3);
    ReportErrorCode(17024);
    ReportErrorCode(17025, MessageLayout::Agent);
    ReportErrorCode(0, MessageLayout::Agent);
    EXPECT_EQ(all.text(),
              "\n Error Code : 17024 , Error Message : OfficeUpdateError: Creating folder failed."
              "Error Code : 17025 , Error Message : OfficeUpdateError: Patch already installed. \n"
              "Message : Unknown Error. Code : 0 ");
}

TEST(SystemErrors, LastErrorIsLoggedWithItsText) {
    LogCapture log(4);
    errno = ENOENT;
    LogLastSystemError();
    EXPECT_EQ(log.text(), "\n Error Message: No such file or directory");
    EXPECT_EQ(errno, ENOENT);
}

}  // namespace
