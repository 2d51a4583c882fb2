// Starting programs on POSIX: shell scripts, PATH search, signals, the
// exit-code channel and process groups (the portable part is in
// process_contract_test.cpp).
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/clock.h"
#include "platform/process.h"
#include "tests/platform/support/temp_dir.h"
#include "tests/support/contract_child.h"

namespace fs = std::filesystem;
using namespace platform;

namespace {

class Processes : public ::testing::Test {
protected:
    TempDir temp;
    const fs::path dir = temp.path();
    const fs::path startDir = fs::current_path();
    void TearDown() override { useSystemClock(); }
    void script(const fs::path& path, const std::string& body, bool executable = true) {
        writeScript(path, body, executable);
    }
    long run(const std::string& line, const std::string& workDir, std::uint32_t* code) {
        return runToEnd(line, workDir, code);
    }
};

TEST_F(Processes, ScriptsRunInTheWorkingDirectoryAndPosixStartFailuresGiveWindowsCodes) {
    fs::create_directory(dir / "work");
    script(dir / "work" / "tool", "pwd > where.txt\nexit 7");
    std::uint32_t code = 0;
    ASSERT_EQ(run("tool", (dir / "work").string(), &code), kErrorSuccess);
    EXPECT_EQ(code, 7u);
    EXPECT_EQ(slurp(dir / "work" / "where.txt"), (dir / "work").string() + "\n");
    Process p(nullptr, nullptr);
    script(dir / "plain", "exit 0", false);
    EXPECT_EQ(startProcess((dir / "plain").string(), "", false, &p), kErrorAccessDenied);
    std::ofstream(dir / "notaprogram") << "\x7f" "ELF garbage";
    fs::permissions(dir / "notaprogram", fs::perms::owner_all);
    EXPECT_EQ(startProcess((dir / "notaprogram").string(), "", false, &p), kErrorBadExeFormat);
    EXPECT_FALSE(p);
}

TEST_F(Processes, ProgramsAreSearchedAlongPathAndSignalsGiveCodes) {
    std::uint32_t code = 0;
    ASSERT_EQ(run("sh -c \"exit 3\"", "", &code), kErrorSuccess);
    EXPECT_EQ(code, 3u);
    ASSERT_EQ(run("sh -c \"kill -9 $$\"", "", &code), kErrorSuccess);
    EXPECT_EQ(code, 128u + 9u);
}

TEST_F(Processes, FullExitCodesComeThroughTheChannelWhenTheyAgreeWithTheStatus) {
    std::uint32_t code = 0;
    script(dir / "full", "echo 3010 >&\"$ORBISK_EXIT_CODE_FD\"\nexit 3010");
    ASSERT_EQ(run("full", dir.string(), &code), kErrorSuccess);
    EXPECT_EQ(code, 3010u);
    script(dir / "stale", "echo 3010 >&3\nexit 0");
    ASSERT_EQ(run("stale", dir.string(), &code), kErrorSuccess);
    EXPECT_EQ(code, 0u) << "a code that disagrees with the exit status is ignored";
    // A child that floods the channel neither blocks nor changes its code.
    script(dir / "flood", "i=0; while [ $i -lt 3000 ]; do echo 'noise noise noise noise' >&3; i=$((i+1)); done\nexit 5");
    ASSERT_EQ(run("flood", dir.string(), &code), kErrorSuccess);
    EXPECT_EQ(code, 5u);
}

TEST_F(Processes, TimeLimitRunsOnTheClockAndTerminationEndsTheWholeGroup) {
    useManualClock(1'000'000);
    script(dir / "slow", "sleep 600 &\necho $! > child.pid\nwait");
    Process p(nullptr, nullptr);
    ASSERT_EQ(startProcess("slow", dir.string(), false, &p), kErrorSuccess);

    // Wait for the grandchild to exist before time moves on.
    while (!fs::exists(dir / "child.pid") || slurp(dir / "child.pid").empty()) std::this_thread::yield();
    pid_t grandchild = std::atoi(slurp(dir / "child.pid").c_str());
    ASSERT_GT(grandchild, 0);

    std::uint32_t code = 99;
    long rc = waitAsTheClockRuns(p, 60'000, &code);
    EXPECT_EQ(rc, kWaitTimeout);
    EXPECT_EQ(code, 99u) << "no exit code on a time-out";

    pid_t pid = static_cast<pid_t>(processId(p));
    ASSERT_EQ(terminateProcess(p, 0), kErrorSuccess);
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
    // The group was killed; the orphan is reaped by init, give it a moment.
    bool gone = false;
    for (int i = 0; i < 2000 && !gone; ++i) {
        gone = ::kill(grandchild, 0) != 0 || slurp("/proc/" + std::to_string(grandchild) + "/stat").find(" Z ") != std::string::npos;
        if (!gone) std::this_thread::yield();
    }
    EXPECT_TRUE(gone) << "the program's own child ends with it";
    ASSERT_EQ(waitProcess(p, 0, &code), kErrorSuccess);
    EXPECT_EQ(code, 0u) << "terminated with the given exit code";
}

TEST_F(Processes, AChildNobodyWaitsForIsReapedWhenItEnds) {
    pid_t pid = -1;
    {
        Process p(nullptr, nullptr);
        ASSERT_EQ(startProcess("true", "", false, &p), kErrorSuccess);
        pid = static_cast<pid_t>(processId(p));
    }  // dropped without a wait, as a program that runs on is
    // A zombie still answers kill(pid, 0); only a reaped child is gone.
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (::kill(pid, 0) == 0 && std::chrono::steady_clock::now() < limit) std::this_thread::yield();
    EXPECT_EQ(::kill(pid, 0), -1) << "no zombie is left behind";
}

}  // namespace
