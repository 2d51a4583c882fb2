// Tamsel's log writers: levels, verbatim text, and when buffered messages
// reach the file.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/common/log/log_fixture.h"

namespace {

TEST_F(LogFile, LevelsDecideWhatIsWrittenAndTextIsVerbatim) {
    LogTrace("\n\t@@@@@ Inside CreateNewThread() @@@@@\n");
    LogInfo("\n info %d", 3);
    LogError("Error Code : %d , Error Message : %s \n", 5, "denied");
    EXPECT_EQ(onDisk(), "\n info 3Error Code : 5 , Error Message : denied \n");

    SetLogInfo("test.log", ".", 10000, nullptr, 1);
    LogError("error");
    LogEssential("\n essential");
    EXPECT_EQ(onDisk(), "\n info 3Error Code : 5 , Error Message : denied \n\n essential");

    SetLogInfo("test.log", ".", 10000, nullptr, 0);
    LogEssential("never");
    SetLogInfo("test.log", ".", 10000, nullptr, 4);
    LogTrace("%s", std::string(5000, 't').c_str());  // longer than the formatting buffer
    FlushLog();
    EXPECT_EQ(onDisk(), "\n info 3Error Code : 5 , Error Message : denied \n\n essential" +
                            std::string(5000, 't'));
}

// LogInfo waits in memory until 100 ms of clock time have passed since the
// first waiting message; LogError and LogEssential take everything before
// them along at once.
TEST_F(LogFile, InfoReachesTheFileWithin100MsErrorsAtOnce) {
    LogInfo("\n one");
    LogInfo("\n two");
    EXPECT_EQ(onDisk(), "");
    platform::advanceClock(100);
    waitForDisk("\n one\n two");

    LogInfo("\n three");
    LogEssential("\n four");
    EXPECT_EQ(onDisk(), "\n one\n two\n three\n four");
    LogInfo("\n five");
    LogError("\n six");
    EXPECT_EQ(onDisk(), "\n one\n two\n three\n four\n five\n six");

    LogInfo("\n seven");
    platform::advanceClock(100);
    waitForDisk("\n one\n two\n three\n four\n five\n six\n seven");
}

// Without waiting for the clock: a full buffer is written out, and closing or
// replacing the stream first writes what is pending into it.
TEST_F(LogFile, FullBufferCloseAndReplaceWriteThePendingMessages) {
    const std::string line(999, 'x');
    for (int i = 0; i < 100; ++i) LogInfo("\n%s", line.c_str());
    const std::string written = onDisk();
    EXPECT_GE(written.size(), 64u * 1024);
    EXPECT_EQ(written.size() % 1000, 0u) << "a message was split";

    const fs::path other = path.string() + ".other";
    std::FILE* second = std::fopen(other.string().c_str(), "wb");
    ASSERT_NE(second, nullptr);
    LogInfo("\n last of the first");
    ASSERT_TRUE(SetLogFilePtr(second));
    EXPECT_EQ(onDisk().size(), 100u * 1000 + 19);
    LogInfo("\n in the second");
    CloseLogFile();  // closes `second`
    {
        std::ifstream in(other, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "\n in the second");
    }
    fs::remove(other);
    ASSERT_TRUE(SetLogFilePtr(stream));
}

// Messages of racing threads stay whole and in each thread's order.
TEST_F(LogFile, RacingWritersKeepEveryMessageWholeAndInOrder) {
    constexpr int kThreads = 4, kPerThread = 5000;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([t] {
            for (int i = 0; i < kPerThread; ++i) {
                if (i % 1000 == 999)
                    LogError("<%d:%05d>", t, i);
                else
                    LogInfo("<%d:%05d>", t, i);
            }
        });
    for (auto& w : writers) w.join();
    FlushLog();
    const std::string text = onDisk();
    ASSERT_EQ(text.size(), static_cast<std::size_t>(kThreads * kPerThread * 9));
    int next[kThreads] = {};
    for (std::size_t at = 0; at < text.size(); at += 9) {
        ASSERT_EQ(text[at], '<');
        ASSERT_EQ(text[at + 8], '>');
        const int t = text[at + 1] - '0';
        ASSERT_EQ(std::stoi(text.substr(at + 3, 5)), next[t]++) << "thread " << t;
    }
}

}  // namespace
