// Starting programs, the same on every system: command-line words, the
// program found in the child's working directory, exit codes, start
// failures, the time limit on the manual clock (258) and termination.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "platform/clock.h"
#include "platform/process.h"
#include "tests/support/contract_child.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;
using namespace platform;

namespace {

TEST(CommandLineWords, FollowWindowsQuotingRules) {
    struct Case {
        const char* line;
        std::vector<std::string> words;
    } cases[] = {
        {"prog a b", {"prog", "a", "b"}},
        {"  prog   a\t b  ", {"prog", "a", "b"}},
        {"\"C:\\Program Files\\x.exe\" arg", {"C:\\Program Files\\x.exe", "arg"}},
        {"C:\\dir\\x.exe \"a b\" c", {"C:\\dir\\x.exe", "a b", "c"}},
        {"p a\\\\b", {"p", "a\\\\b"}},            // backslashes not before a quote are literal
        {"p a\\\"b", {"p", "a\"b"}},              // \" is a literal quote
        {"p a\\\\\"b c\"", {"p", "a\\b c"}},      // \\" is one backslash, quote opens
        {"p a\\\\\\\"b", {"p", "a\\\"b"}},        // \\\" is a backslash and a quote
        {"p \"\" x", {"p", "", "x"}},             // an empty quoted word counts
        {"p \"a\"\"b\"", {"p", "a\"b"}},          // a doubled quote inside quotes
        {"p \"\"\"", {"p", "\""}},
        {"p \"unterminated arg", {"p", "unterminated arg"}},
        {"\"prog\\\" x", {"prog\\", "x"}},        // the program name ignores escapes
        {"", {}},
        {"   ", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(splitCommandLine(c.line), c.words) << c.line;
}

TEST(CommandLineWords, AQuotedWordSplitsBackAsOneArgument) {
    EXPECT_EQ(quoteCommandWord("8.0.2"), "8.0.2");  // nothing to quote: unchanged
    for (const std::string text : {"8.0.2 --evil x", "", "a\"b", "tail\\", "a\\\"b c", "8.0.2\n", "\"", "\\\\\""})
        EXPECT_EQ(splitCommandLine("prog " + quoteCommandWord(text) + " next"),
                  (std::vector<std::string>{"prog", text, "next"}))
            << text;
}

class ProcessContract : public ::testing::Test {
protected:
    TempFolder temp;
    const fs::path dir = temp.path();
    void TearDown() override { useSystemClock(); }
};

// The process's own usage: memory and threads as the system counts them, and
// processor time that grows with work done.
TEST(ProcessUsage, CountsMemoryThreadsAndProcessorTime) {
    platform::ProcessUsage before;
    ASSERT_EQ(platform::currentProcessUsage(&before), 0);
    EXPECT_GT(before.residentBytes, 1u << 20);
    std::atomic<bool> done{false};
    std::thread busy([&] {
        volatile std::uint64_t x = 0;
        const double start = before.cpuSeconds;
        platform::ProcessUsage now;
        do {
            for (int i = 0; i < 1000000; ++i) x = x + static_cast<std::uint64_t>(i);
            platform::currentProcessUsage(&now);
        } while (now.cpuSeconds < start + 0.05);
        done = true;
    });
    busy.join();
    platform::ProcessUsage after;
    ASSERT_EQ(platform::currentProcessUsage(&after), 0);
    EXPECT_TRUE(done);
    EXPECT_GE(after.cpuSeconds, before.cpuSeconds + 0.05);
    EXPECT_GE(after.threads, 1u);
    std::thread idle([&] {
        platform::ProcessUsage during;
        ASSERT_EQ(platform::currentProcessUsage(&during), 0);
        EXPECT_GE(during.threads, 2u);  // this one and the test's
    });
    idle.join();
}

TEST_F(ProcessContract, ProgramIsFoundInTheWorkingDirectoryAndRunsThereWithItsArguments) {
    fs::create_directory(dir / "work");
    copySelfProgram(dir / "work", "tool");
    const fs::path before = fs::current_path();
    const ScopedEnvironment variable("AMBRIK_CONTRACT_VALUE", "inherited value");
    // "tool" alone: no folder, no extension.
    std::string line = childCommandLine({"report", "out.txt", "7", "AMBRIK_CONTRACT_VALUE", "one", "two words", "a\"q"},
                                        "tool");
    std::uint32_t code = 0;
    ASSERT_EQ(runToEnd(line, utf8Path(dir / "work"), &code), kErrorSuccess);
    EXPECT_EQ(code, 7u);
    const std::string report = readWholeFile(dir / "work" / "out.txt");
    const std::size_t firstEnd = report.find('\n');
    ASSERT_NE(firstEnd, std::string::npos) << report;
    EXPECT_TRUE(fs::equivalent(pathFromUtf8(report.substr(0, firstEnd)), dir / "work")) << report;
    EXPECT_EQ(report.substr(firstEnd + 1), "inherited value\none|two words|a\"q|\n");
    EXPECT_EQ(fs::current_path(), before) << "the caller's directory never changes";
}

TEST_F(ProcessContract, ExitCodesComeBackAsTheyWere) {
    for (std::uint32_t expected : {0u, 1u, 3u, 200u}) {
        std::uint32_t code = 99;
        ASSERT_EQ(runToEnd(childCommandLine({"exit", std::to_string(expected)}), "", &code), kErrorSuccess);
        EXPECT_EQ(code, expected);
    }
}

TEST_F(ProcessContract, StartFailuresGiveWindowsCodes) {
    Process p(nullptr, nullptr);
    EXPECT_EQ(startProcess("no-such-program-ambrik", utf8Path(dir), false, &p), kErrorFileNotFound);
    EXPECT_EQ(startProcess(quoteCommandWord(utf8Path(dir / "missing")), "", false, &p), kErrorFileNotFound);
    EXPECT_EQ(startProcess(childCommandLine({"exit", "0"}), utf8Path(dir / "missing-dir"), false, &p),
              kErrorDirectory);
    EXPECT_EQ(startProcess("   ", "", false, &p), kErrorInvalidParameter);
    EXPECT_FALSE(p);
}

TEST_F(ProcessContract, TimeLimitRunsOnTheClockAndTerminationSetsTheExitCode) {
    useManualClock(1'000'000);
    Process p(nullptr, nullptr);
    ASSERT_EQ(startProcess(childCommandLine({"block", "up.txt"}), utf8Path(dir), false, &p), kErrorSuccess);
    EXPECT_GT(processId(p), 0);
    EXPECT_NE(processId(p), currentProcessId());
    // Time moves only once the program is up: it is the limit that ends the
    // wait, and a whole program that termination ends.
    while (readWholeFile(dir / "up.txt").empty()) std::this_thread::yield();

    std::uint32_t code = 99;
    const long rc = waitAsTheClockRuns(p, 60'000, &code);
    EXPECT_EQ(rc, kWaitTimeout);
    EXPECT_EQ(code, 99u) << "no exit code on a time-out";

    ASSERT_EQ(terminateProcess(p, 9), kErrorSuccess);
    ASSERT_EQ(waitProcess(p, 0, &code), kErrorSuccess);
    EXPECT_EQ(code, 9u) << "terminated with the given exit code";
}

TEST_F(ProcessContract, WaitReturnsAsSoonAsTheChildEndsOnAStoppedClock) {
    useManualClock(5'000);
    Process p(nullptr, nullptr);
    ASSERT_EQ(startProcess(childCommandLine({"exit", "0"}), "", false, &p), kErrorSuccess);
    std::uint32_t code = 1;
    EXPECT_EQ(waitProcess(p, 60'000, &code), kErrorSuccess);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(nowMillis(), 5'000);
}

}  // namespace
