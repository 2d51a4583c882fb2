// The agent's start-up order and stop path as the server sees them, against
// orbisk-testserver, with the agent's clock running 20 times faster.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "testserver/harness.h"

extern char** environ;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr int kClockScale = 20;

testserver::HarnessOptions httpOnly() {
    testserver::HarnessOptions options;
    options.https = false;
    return options;
}

class StartupOrderTest : public ::testing::Test {
protected:
    fs::path dir;
    fs::path inst;
    pid_t pid = -1;

    void SetUp() override {
        // A blank in the install directory: the version report sends it as "+".
        dir = fs::temp_directory_path() /
              ("ambrik-startup-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        inst = dir / "Orbisk Agent";
        fs::create_directories(inst / "bin" / "data");
        for (const char* f : {"data-dictionary.xml", "EventIdParserRules.xml"})
            fs::copy_file(fs::path(AMBRIK_SOURCE_DIR) / "data" / f, inst / "bin" / "data" / f);
    }
    void TearDown() override {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        fs::remove_all(dir);
    }
    void writeRegistry(int port, const fs::path& installDir, const std::string& protocol = "http") {
        std::ofstream reg(dir / "registry.reg");
        reg << "Windows Registry Editor Version 5.00\r\n\r\n"
            << "[HKEY_LOCAL_MACHINE\\Software\\Vardo Corp\\Orbisk\\ServerInfo]\r\n"
            << "\"ServerIPAddress\"=\"127.0.0.1\"\r\n\"ServerPort\"=\"" << port << "\"\r\n"
            << "\"ServerProtocol\"=\"" << protocol << "\"\r\n\"ServerDBType\"=\"postgres\"\r\n\r\n"
            << "[HKEY_LOCAL_MACHINE\\Software\\Vardo Corp\\Orbisk\\Ambrik]\r\n"
            << "\"AgentInstallDir\"=\"" << installDir.string() << "/\"\r\n"
            << "\"AgentVersion\"=\"8.0.0\"\r\n\"AWS Instance\"=\"no\"\r\n";
    }
    void start(const std::string& exe, const std::vector<std::string>& args) {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) env.emplace_back(*e);
        env.push_back("ORBISK_REGISTRY=" + (dir / "registry.reg").string());
        env.push_back("AMBRIK_CLOCK_SCALE=" + std::to_string(kClockScale));
        std::vector<char*> envp, argv;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        std::string program = exe;
        argv.push_back(program.data());
        std::vector<std::string> copy = args;
        for (auto& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        ASSERT_EQ(posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), envp.data()), 0);
    }
    int stopAndWait(int signal, std::chrono::seconds limit) {
        kill(pid, signal);
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(50ms);
        }
        return -1;
    }
    std::string log(const fs::path& installDir) const {
        std::ifstream in(installDir / "logs" / "agentlog.out");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // Index of the first target at or after `from` that contains text, or npos.
    static std::size_t findFrom(const std::vector<std::string>& targets, const std::string& text,
                                std::size_t from) {
        for (std::size_t i = from; i < targets.size(); ++i)
            if (targets[i].find(text) != std::string::npos) return i;
        return std::string::npos;
    }
    static double seconds(const std::string& isoTime) {
        // "YYYY-MM-DDTHH:MM:SS.mmmZ": the time of day is enough within one test.
        int h = std::stoi(isoTime.substr(11, 2)), m = std::stoi(isoTime.substr(14, 2));
        double s = std::stod(isoTime.substr(17, 6));
        return h * 3600.0 + m * 60.0 + s;
    }
};

TEST_F(StartupOrderTest, ServerSeesTheStartUpRequestsInOrderThenAnUpdatePollEveryMinute) {
    testserver::TestServer server(httpOnly());
    ASSERT_TRUE(server.ok()) << server.error();
    writeRegistry(server.httpPort(), inst);
    start(AMBRIK_EXE, {"console"});
    ASSERT_TRUE(server.waitForRequests("mode=update", 2, 30000)) << log(inst);

    auto requests = server.requests();
    std::vector<std::string> targets;
    for (const auto& r : requests) targets.push_back(r.target);
    const std::vector<std::string> order = {
        "mode=register&name=",
        "status=ServiceStarted&agentId=1001",
        "mode=agentversion&isSameVersion=check&version=8.0.0&slid=1001",
        "isSameVersion=yes&slid=1001&installDir=" + (dir / "Orbisk+Agent").string() + "/bin/&version=8.0.0",
        "mode=isInstall&slid=1001",
        "hostdetails",
        "filters",
        "notifications",
        "table=LogTypeMapping",
        "mode=update",
        "mode=update",
    };
    std::size_t at = 0;
    std::vector<std::size_t> where;
    for (const auto& step : order) {
        std::size_t found = findFrom(targets, step, at);
        ASSERT_NE(found, std::string::npos) << "missing in order: " << step;
        where.push_back(found);
        at = found + 1;
    }
    // isInstall comes 20 s (agent time) after the version report; updates 60 s apart.
    double versionAt = seconds(requests[where[3]].time);
    double isInstallAt = seconds(requests[where[4]].time);
    EXPECT_GE(isInstallAt - versionAt, 18.0 / kClockScale);
    double firstUpdate = seconds(requests[where[9]].time);
    double secondUpdate = seconds(requests[where[10]].time);
    EXPECT_GE(secondUpdate - firstUpdate, 55.0 / kClockScale);
    EXPECT_LE(secondUpdate - firstUpdate, 150.0 / kClockScale);  // generous: the machine may be busy

    EXPECT_EQ(stopAndWait(SIGTERM, 25s), 0);
    std::string text = log(inst);
    const std::vector<std::string> steps = {
        "\n Setting Current Directory to : ", "\n Inside Main :::::::::",
        "\n Main : Starting Ambrik from command prompt", "\n Agent Hostname : ",
        "\n Normal Log Collector Agent Installation", "\n Got agent id: 1001",
        "\n Check for Fresh install", "\n InvokeShutdown : Ambrik service shutting down",
        "\n Transfer data engaged"};
    std::size_t pos = 0;
    for (const auto& step : steps) {
        std::size_t found = text.find(step, pos);
        ASSERT_NE(found, std::string::npos) << step << "\n--- log ---\n" << text.substr(0, 4000);
        pos = found;
    }
    EXPECT_GE(server.countRequests("status=ServiceStop"), 1u) << text;
}

// Over https without a pin: the first version check already talks https (the
// protocol flag is set before it is scheduled) and one warning says the
// certificate is not checked. The logs and data folders admit only the
// agent's user, and the host passwords never reach the log.
TEST_F(StartupOrderTest, HttpsFromTheFirstCheckPrivateFilesAndNoPasswordInTheLog) {
    testserver::TestServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    writeRegistry(server.httpsPort(), inst, "https");
    fs::create_directories(inst / "logs");
    fs::permissions(inst / "logs", fs::perms(0755));
    { std::ofstream(inst / "logs" / "agentlog.out") << "an old log"; }
    fs::permissions(inst / "logs" / "agentlog.out", fs::perms(0644));
    start(AMBRIK_EXE, {"console"});
    ASSERT_TRUE(server.waitForRequests("table=LogTypeMapping", 1, 30000)) << log(inst);
    // Only a check that got through the TLS handshake reaches the server's log.
    EXPECT_GE(server.countRequests("mode=version"), 1u);

    const std::string text = log(inst);
    const std::string warning = "\n Warning: ServerProtocol is https but ServerCACertFile is not set";
    EXPECT_NE(text.find(warning), std::string::npos);
    EXPECT_EQ(text.find(warning), text.rfind(warning));
    EXPECT_NE(text.find("PASSWORD"), std::string::npos) << "the host table was not printed";
    EXPECT_NE(text.find("********"), std::string::npos);
    EXPECT_EQ(text.find("bnh+b3hp"), std::string::npos);  // the scrambled form the server sends
    EXPECT_EQ(text.find("secret"), std::string::npos);    // and what it decodes to

    auto mode = [](const fs::path& p) { return static_cast<unsigned>(fs::status(p).permissions()) & 0777u; };
    EXPECT_EQ(mode(inst / "logs"), 0700u);
    EXPECT_EQ(mode(inst / "logs" / "agentlog.out"), 0600u);
    for (const char* dir : {"serverdata", "data/changedata", "data/basedata", "data/periodicdata", "data/newdata"})
        EXPECT_EQ(mode(inst / "bin" / dir), 0700u) << dir;
    EXPECT_EQ(stopAndWait(SIGTERM, 25s), 0);
}

TEST_F(StartupOrderTest, StopDuringRegistrationRetriesEndsWithinTwentySeconds) {
    testserver::TestServer server(httpOnly());
    ASSERT_TRUE(server.ok()) << server.error();
    ASSERT_TRUE(server.failRequests("mode=register", 500));
    writeRegistry(server.httpPort(), inst);
    start(AMBRIK_EXE, {});  // service mode
    ASSERT_TRUE(server.waitForRequests("mode=register", 2, 30000)) << log(inst);
    auto stopAt = std::chrono::steady_clock::now();
    EXPECT_EQ(stopAndWait(SIGTERM, 25s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, 21s);
    EXPECT_EQ(server.countRequests("status=ServiceStarted"), 0u);
    EXPECT_NE(log(inst).find("\n InvokeShutdown : Ambrik service shutting down"), std::string::npos);
}

TEST_F(StartupOrderTest, TheInstalledTreeRunsInTheConsole) {
    fs::path prefix = dir / "installed";
    std::string cmd = std::string("\"") + CMAKE_COMMAND + "\" --install \"" + AMBRIK_BINARY_DIR +
                      "\" --prefix \"" + prefix.string() + "\" > \"" + (dir / "install.log").string() +
                      "\" 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    ASSERT_TRUE(fs::exists(prefix / "bin" / "ambrik"));
    ASSERT_TRUE(fs::exists(prefix / "bin" / "data" / "data-dictionary.xml"));
    ASSERT_TRUE(fs::exists(prefix / "bin" / "data" / "EventIdParserRules.xml"));
    ASSERT_TRUE(fs::exists(prefix / "share" / "orbisk" / "ambrik.service"));
    ASSERT_TRUE(fs::is_directory(prefix / "logs"));

    testserver::TestServer server(httpOnly());
    ASSERT_TRUE(server.ok()) << server.error();
    writeRegistry(server.httpPort(), prefix);
    start((prefix / "bin" / "ambrik").string(), {"console"});
    ASSERT_TRUE(server.waitForRequests("table=LogTypeMapping", 1, 30000)) << log(prefix);
    EXPECT_EQ(stopAndWait(SIGINT, 25s), 0);
    std::string text = log(prefix);
    EXPECT_EQ(text.find("Unable to open"), std::string::npos) << text.substr(0, 3000);
    EXPECT_NE(text.find("\n Got agent id: 1001"), std::string::npos);
}

}  // namespace
