// execute on every system: installer exit codes and their remarks, the
// child's own working directory, a working directory that is no folder, and
// the time limit that ends the program with 258.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "common/process_helpers.h"
#include "platform/clock.h"
#include "tests/support/contract_child.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

class ExecuteContract : public ::testing::Test {
protected:
    TempFolder temp;
    const fs::path dir = temp.path();
    const std::string folder = utf8Path(dir);
    void SetUp() override { copySelfProgram(dir, "patch"); }
    void TearDown() override { platform::useSystemClock(); }
    // "patch" run in the temporary folder, in its child role.
    static std::string patch(const std::vector<std::string>& words) { return childCommandLine(words, "patch"); }
};

TEST_F(ExecuteContract, InstallerSuccessCodesGiveZeroAndOthersTheirCode) {
    std::string remarks;
    EXPECT_EQ(execute(folder.c_str(), patch({"exit", "3010"}).c_str(), &remarks, 1, false), 0);
    EXPECT_EQ(remarks, "Unknown Error. Code : 3010");
    EXPECT_EQ(execute(folder.c_str(), patch({"exit", "1641"}).c_str(), &remarks, 1, false), 0);
    EXPECT_EQ(execute(folder.c_str(), patch({"exit", "17024"}).c_str(), &remarks, 1, false), 17024);
    EXPECT_EQ(remarks, "OfficeUpdateError: Creating folder failed.");
    LogCapture log(4);
    EXPECT_EQ(execute(folder.c_str(), patch({"exit", "7"}).c_str(), &remarks, 1, false), 7);
    EXPECT_EQ(remarks, "Unknown Error. Code : 7");
    EXPECT_TRUE(log.has("\n execute : Error Code : 7 "));
    EXPECT_TRUE(log.has("\n execute : Set Working Directory : " + folder + " "));
}

TEST_F(ExecuteContract, TheWorkingDirectoryIsTheChildsOnly) {
    const fs::path before = fs::current_path();
    std::string remarks;
    ASSERT_EQ(execute(folder.c_str(), patch({"report", "where.txt", "0", "PATH"}).c_str(), &remarks, 1, false), 0);
    const std::string report = readWholeFile(dir / "where.txt");
    EXPECT_TRUE(fs::equivalent(pathFromUtf8(report.substr(0, report.find('\n'))), dir)) << report;
    EXPECT_EQ(fs::current_path(), before);

    LogCapture log(4);
    const std::string missing = utf8Path(dir / "missing");
    EXPECT_EQ(execute(missing.c_str(), patch({"exit", "0"}).c_str(), &remarks, 1, false), 267);
    EXPECT_TRUE(log.has("\n execute : Failed to set the WorkingDirectory " + missing + " "));
    EXPECT_EQ(fs::current_path(), before);
}

TEST_F(ExecuteContract, TheTimeLimitEndsTheProgramWith258) {
    platform::useManualClock(50'000);
    std::atomic<bool> done{false};
    std::thread ticker([&] {
        // Time moves only once the program is up, so it is the limit that ends it.
        while (!done && readWholeFile(dir / "up.txt").empty()) std::this_thread::yield();
        while (!done) {
            platform::advanceClock(5'000);
            std::this_thread::yield();
        }
    });
    LogCapture log(4);
    std::string remarks;
    const std::string line = patch({"block", "up.txt"});
    const long rc = execute(folder.c_str(), line.c_str(), &remarks, 1, false);
    done = true;
    ticker.join();
    EXPECT_EQ(rc, 258);
    EXPECT_EQ(remarks, "Unknown Error. Code : 258");
    EXPECT_TRUE(log.has("\n execute : Terminating the Process for application " + line +
                        " as time is exceeded 1 Minutes "));
}

}  // namespace
