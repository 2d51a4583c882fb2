#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "agent/settings/agent_log.h"
#include "agent/settings/settings.h"
#include "common/log.h"

namespace fs = std::filesystem;

namespace {

class AgentLogTest : public ::testing::Test {
protected:
    fs::path dir;
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("ambrik-agentlog-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        ResetAgentSettings();
        PutAgentSetting("AgentInstallDir", dir.string() + "/");
        ASSERT_TRUE(OpenAgentLog());
    }
    void TearDown() override {
        CloseLogFile();
        fs::remove_all(dir);
    }
    fs::path current() const { return dir / "logs" / kAgentLogName; }
    fs::path previous() const { return dir / "logs" / kAgentLogPreviousName; }
    static std::string read(const fs::path& p) {
        FlushLog();
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

TEST_F(AgentLogTest, RotatesOnlyAboveTheLimitAndReplacesThePreviousFile) {
    LogInfo("first");
    fs::resize_file(current(), 10000000);
    RotateAgentLog();
    EXPECT_FALSE(fs::exists(previous()));
    // The stream writes on from where it stood, right after "first".
    EXPECT_EQ(read(current()).substr(0, 23), "firstLog Size: 10000000");

    std::ofstream(previous()) << "old generation";
    fs::resize_file(current(), 10000001);
    RotateAgentLog();
    ASSERT_TRUE(fs::exists(previous()));
    EXPECT_EQ(fs::file_size(previous()), 10000001u + 0u);
    EXPECT_EQ(read(previous()).find("old generation"), std::string::npos);
    LogInfo("\n after rotation");
    EXPECT_EQ(read(current()), "\n after rotation");
}

TEST_F(AgentLogTest, ReopeningAtStartEmptiesTheCurrentFileAndKeepsThePrevious) {
    LogInfo("run one");
    std::ofstream(previous()) << "kept";
    CloseLogFile();
    ASSERT_TRUE(OpenAgentLog());
    EXPECT_EQ(read(current()), "");
    EXPECT_EQ(read(previous()), "kept");
}

// AgentLogLevel sets the level; without it (or with a value that is not a
// number) the agent logs at 3. A rotation brings the agent's level back.
TEST_F(AgentLogTest, LevelComesFromTheRegistryAndSurvivesARotation) {
    EXPECT_EQ(LogLevel(), 3);
    for (const char* bad : {"", "x2", "-1"}) {
        PutAgentSetting("AgentLogLevel", bad);
        EXPECT_EQ(AgentLogLevelSetting(), 3) << bad;
    }
    PutAgentSetting("AgentLogLevel", "4294967295");
    EXPECT_EQ(AgentLogLevelSetting(), 255);

    CloseLogFile();
    PutAgentSetting("AgentLogLevel", "2");
    ASSERT_TRUE(OpenAgentLog());
    LogInfo("\n progress");
    LogError("\n failure");
    EXPECT_EQ(read(current()), "\n failure");
    fs::resize_file(current(), 10000001);
    RotateAgentLog();
    ASSERT_TRUE(fs::exists(previous()));
    LogInfo("\n progress");
    LogError("\n after rotation");
    EXPECT_EQ(read(current()), "\n after rotation");
    EXPECT_EQ(LogLevel(), 2);
}

// Writers on several threads keep logging while the file is rotated: every
// message ends up whole in exactly one of the two files.
TEST_F(AgentLogTest, WritersRacingARotationLoseAndTearNothing) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 3800;  // about 15 MB in all: exactly one rotation
    const std::string payload(980, 'p');
    std::atomic<int> running{kThreads};
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i)
                LogInfo("<%d:%05d:%s>\n", t, i, payload.c_str());
            --running;
        });
    }
    while (running.load() > 0) RotateAgentLog();
    for (auto& w : writers) w.join();
    RotateAgentLog();

    ASSERT_TRUE(fs::exists(previous()));
    std::set<std::pair<int, int>> seen;
    for (const fs::path& p : {previous(), current()}) {
        std::string text = read(p);
        std::size_t pos = 0;
        while ((pos = text.find('<', pos)) != std::string::npos) {
            std::size_t end = text.find(">\n", pos);
            ASSERT_NE(end, std::string::npos);
            std::string msg = text.substr(pos + 1, end - pos - 1);
            ASSERT_EQ(msg.size(), 2 + 6 + payload.size()) << "torn message";
            int t = msg[0] - '0';
            int i = std::stoi(msg.substr(2, 5));
            EXPECT_EQ(msg.substr(8), payload);
            EXPECT_TRUE(seen.insert({t, i}).second) << "duplicate " << t << ":" << i;
            pos = end + 2;
        }
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kPerThread));
}

}  // namespace
