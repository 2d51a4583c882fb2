// The agent as a process: service mode stops on SIGTERM, reports its states,
// and the argument rules of the program entry.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;
namespace fs = std::filesystem;

namespace {

class AgentProcessTest : public ::testing::Test {
protected:
    fs::path dir;
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("ambrik-proc-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir / "inst" / "bin");
        writeRegistry("no");
    }
    void writeRegistry(const std::string& aws) {
        std::ofstream reg(dir / "registry.reg");
        // Port 9 on loopback refuses connections: registration keeps retrying.
        reg << "Windows Registry Editor Version 5.00\r\n\r\n"
            << "[HKEY_LOCAL_MACHINE\\Software\\Vardo Corp\\Orbisk\\ServerInfo]\r\n"
            << "\"ServerIPAddress\"=\"127.0.0.1\"\r\n\"ServerPort\"=\"9\"\r\n"
            << "\"ServerProtocol\"=\"http\"\r\n\"ServerDBType\"=\"postgres\"\r\n\r\n"
            << "[HKEY_LOCAL_MACHINE\\Software\\Vardo Corp\\Orbisk\\Ambrik]\r\n"
            << "\"AgentInstallDir\"=\"" << (dir / "inst").string() << "/\"\r\n"
            << "\"AgentVersion\"=\"8.0.0\"\r\n\"AWS Instance\"=\"" << aws << "\"\r\n";
    }
    void TearDown() override { fs::remove_all(dir); }

    pid_t start(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv) {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) env.emplace_back(*e);
        env.push_back("ORBISK_REGISTRY=" + (dir / "registry.reg").string());
        for (const auto& e : extraEnv) env.push_back(e);
        std::vector<char*> envp, argv;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        std::string exe = AMBRIK_EXE;
        argv.push_back(exe.data());
        std::vector<std::string> copy = args;
        for (auto& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid = 0;
        EXPECT_EQ(posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv.data(), envp.data()), 0);
        return pid;
    }
    // Waits for the process to end within the limit; returns its exit status or -1.
    static int waitExit(pid_t pid, std::chrono::seconds limit) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid)
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return -1;
    }
    std::string log() const {
        std::ifstream in(dir / "inst" / "logs" / "agentlog.out");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    bool waitForLog(const std::string& text, std::chrono::seconds limit) const {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            if (log().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
};

TEST_F(AgentProcessTest, ServiceModeStopsOnSigtermAndReportsItsStates) {
    std::string sockPath = (dir / "notify.sock").string();
    int sock = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ::strncpy(addr.sun_path, sockPath.c_str(), sizeof(addr.sun_path) - 1);
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    timeval tv{0, 200000};
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));

    pid_t pid = start({}, {"NOTIFY_SOCKET=" + sockPath});
    ASSERT_TRUE(waitForLog("\n ServiceMain : Orbisk Agent Service is started successfully",
                           std::chrono::seconds(20)))
        << log();
    auto stopAt = std::chrono::steady_clock::now();
    kill(pid, SIGTERM);
    EXPECT_EQ(waitExit(pid, std::chrono::seconds(25)), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::seconds(21));

    std::string all;
    char buf[512];
    for (;;) {
        ssize_t n = recv(sock, buf, sizeof buf, 0);
        if (n <= 0) break;
        all.append(buf, static_cast<std::size_t>(n));
        all += '|';
    }
    ::close(sock);
    EXPECT_NE(all.find("READY=1"), std::string::npos) << all;
    EXPECT_NE(all.find("STOPPING=1"), std::string::npos) << all;
    EXPECT_NE(all.find("STATUS=stopped"), std::string::npos) << all;
    std::string text = log();
    EXPECT_NE(text.find("\n InvokeShutdown : Ambrik service shutting down"), std::string::npos)
        << text;
    EXPECT_NE(text.find("\n Inside SvcCtrlHandler"), std::string::npos);
    EXPECT_LT(text.find("\n Inside Main :::::::::"), text.find("\n Main : Starting Ambrik as Windows Service"));
}

TEST_F(AgentProcessTest, TwoArgumentsOnlyLoadSettingsAndLog) {
    pid_t pid = start({"a", "b"}, {});
    EXPECT_EQ(waitExit(pid, std::chrono::seconds(10)), 0);
    std::string text = log();
    EXPECT_NE(text.find("\n Inside Main :::::::::"), std::string::npos);
    EXPECT_EQ(text.find("Main : Starting"), std::string::npos) << text;
}

TEST_F(AgentProcessTest, ConsoleRunLogsItsStartUpInOrderAndStopsOnSigint) {
    pid_t pid = start({"x"}, {});
    ASSERT_TRUE(waitForLog("\n Normal Log Collector Agent Installation", std::chrono::seconds(20)))
        << log();
    kill(pid, SIGINT);
    EXPECT_EQ(waitExit(pid, std::chrono::seconds(25)), 0);
    std::string text = log();
    std::vector<std::string> order = {"\n Setting Current Directory to : ", "\n Inside Main :::::::::",
                                      "\n Main : Starting Ambrik from command prompt",
                                      "\n Agent Hostname : ",
                                      "\n Normal Log Collector Agent Installation",
                                      "\n InvokeShutdown : Ambrik service shutting down"};
    std::size_t at = 0;
    for (const auto& step : order) {
        std::size_t found = text.find(step, at);
        ASSERT_NE(found, std::string::npos) << step << "\n--- log ---\n" << text;
        at = found;
    }
    EXPECT_EQ(text.rfind("\n Setting Current Directory to : ", 0), 0u);
    EXPECT_TRUE(fs::is_directory(dir / "inst" / "bin" / "serverdata"));
    EXPECT_TRUE(fs::is_directory(dir / "inst" / "bin" / "data" / "newdata"));
}

TEST_F(AgentProcessTest, AwsInstanceWithoutMetadataEndsWithExitCodeOne) {
    writeRegistry("yes");
    pid_t pid = start({"x"}, {"ORBISK_AWS_METADATA_URL=http://127.0.0.1:9/"});
    EXPECT_EQ(waitExit(pid, std::chrono::seconds(30)), 1);
    std::string text = log();
    EXPECT_NE(text.find("\n AWS Instance recognized"), std::string::npos) << text;
    EXPECT_NE(text.find("\n problem fetching AWS public ip.......terminating process"),
              std::string::npos);
    EXPECT_EQ(text.find("Got agent id"), std::string::npos);
}

}  // namespace
