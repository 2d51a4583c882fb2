#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "agent/settings/settings.h"
#include "common/log.h"

namespace fs = std::filesystem;

namespace {

class SettingsTest : public ::testing::Test {
protected:
    fs::path dir;
    fs::path savedCwd;
    void SetUp() override {
        savedCwd = fs::current_path();
        dir = fs::temp_directory_path() /
              ("ambrik-settings-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir / "inst" / "bin");
        ::setenv("ORBISK_REGISTRY", (dir / "registry.reg").c_str(), 1);
        ResetAgentSettings();
    }
    void TearDown() override {
        CloseLogFile();
        fs::current_path(savedCwd);
        fs::remove_all(dir);
        ::unsetenv("ORBISK_REGISTRY");
    }
    void writeRegistry(const std::string& serverValues, const std::string& agentValues) {
        std::ofstream out(dir / "registry.reg");
        out << "Windows Registry Editor Version 5.00\r\n\r\n"
            << "[HKEY_LOCAL_MACHINE\\Software\\Vardo Corp\\Orbisk\\ServerInfo]\r\n"
            << serverValues << "\r\n"
            << "[HKEY_LOCAL_MACHINE\\Software\\Vardo Corp\\Orbisk\\Ambrik]\r\n"
            << "\"AgentInstallDir\"=\"" << (dir / "inst").string() << "/\"\r\n"
            << agentValues << "\r\n";
    }
    std::string logText() {
        FlushLog();
        std::ifstream in(dir / "inst" / "logs" / "agentlog.out");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

TEST_F(SettingsTest, AgentKeyWinsAndDirectoriesFollowTheInstallDir) {
    writeRegistry(
        "\"ServerIPAddress\"=\"10.1.1.1\"\r\n\"ServerPort\"=\"8400\"\r\n"
        "\"ServerProtocol\"=\"http\"\r\n\"ServerDBType\"=\"postgres\"\r\n\"AgentVersion\"=\"1.0\"\r\n",
        "\"AgentVersion\"=\"8.2.1\"\r\n\"AWS Instance\"=\"no\"\r\n\"AgentLogLevel\"=dword:00000004\r\n");
    ASSERT_TRUE(LoadAgentSettings());
    EXPECT_EQ(GetAgentSetting("AgentVersion").value_or(""), "8.2.1");
    EXPECT_EQ(GetAgentSetting("AgentLogLevel").value_or(""), "4");
    EXPECT_FALSE(GetAgentSetting("agentversion").has_value());  // names are case-sensitive
    std::string inst = (dir / "inst").string() + "/";
    EXPECT_EQ(InstallBinDir(), inst + "bin/");
    EXPECT_EQ(AgentLogDir(), inst + "logs/");
    EXPECT_EQ(fs::canonical(fs::current_path()), fs::canonical(dir / "inst" / "bin"));
    std::string log = logText();
    EXPECT_EQ(log.rfind("\n Setting Current Directory to : " + inst + "bin/", 0), 0u) << log;
}

TEST_F(SettingsTest, FlagsCompareExactly) {
    struct Case {
        const char* protocol;
        const char* db;
        int protocolFlag;
        int dbFlag;
    };
    for (const Case& c : {Case{"https", "postgres", 1, 2}, Case{"HTTPS", "mssql", 0, 1},
                          Case{"http", "mysql", 0, 0}, Case{"https ", "Postgres", 0, 0}}) {
        ResetAgentSettings();
        PutAgentSetting("ServerProtocol", c.protocol);
        PutAgentSetting("ServerDBType", c.db);
        SetProtocolFlag();
        SetDatabaseFlag();
        EXPECT_EQ(ProtocolFlag(), c.protocolFlag) << c.protocol;
        EXPECT_EQ(DatabaseFlag(), c.dbFlag) << c.db;
    }
}

TEST_F(SettingsTest, UrlIsBuiltWholeWithNothingEscaped) {
    PutAgentSetting("ServerProtocol", "https");
    PutAgentSetting("ServerIPAddress", "srv.example");
    PutAgentSetting("ServerPort", "8443");
    EXPECT_EQ(BuildServerUrl("agentHandler?mode=update&slid=%d", 5),
              "https://srv.example:8443/event/agentHandler?mode=update&slid=5");
    std::string longArg(5000, 'x');
    std::string url = BuildServerUrl("q?a=%s b", longArg.c_str());
    EXPECT_EQ(url, "https://srv.example:8443/event/q?a=" + longArg + " b");
}

TEST_F(SettingsTest, MissingTextSettingsGetDefaultsAndAreReported) {
    writeRegistry("\"ServerIPAddress\"=\"127.0.0.1\"\r\n\"ServerPort\"=\"1\"\r\n", "");
    ASSERT_TRUE(LoadAgentSettings());
    EXPECT_EQ(GetAgentSetting("ServerProtocol").value_or("?"), "http");
    EXPECT_EQ(GetAgentSetting("ServerDBType").value_or("?"), "postgres");
    EXPECT_EQ(GetAgentSetting("AWS Instance").value_or("?"), "no");
    EXPECT_EQ(GetAgentSetting("AgentVersion").value_or("?"), "");
    std::string log = logText();
    EXPECT_NE(log.find("ServerProtocol is missing"), std::string::npos) << log;
    EXPECT_NE(log.find("AgentVersion is missing"), std::string::npos) << log;
}

// A registry the agent cannot work with stops it with one line naming the
// file and the problem, instead of requests to "http://:" for ever.
TEST_F(SettingsTest, DamagedRegistryOrMissingServerAddressStopsWithOneLine) {
    struct Case {
        const char* name;
        std::string registry;  // "" keeps what writeRegistry wrote
        std::string serverValues;
        std::string expected;
    };
    const std::string file = (dir / "registry.reg").string();
    const Case cases[] = {
        {"no address", "", "\"ServerPort\"=\"8400\"\r\n", file + ": the key HKEY_LOCAL_MACHINE\\Software\\Vardo Corp\\Orbisk\\ServerInfo has no value ServerIPAddress"},
        {"empty port", "", "\"ServerIPAddress\"=\"10.1.1.1\"\r\n\"ServerPort\"=\"\"\r\n", "has no value ServerPort"},
        {"malformed", "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Vardo Corp\\Orbisk\\ServerInfo]\r\n\"ServerIPAddress\"=\"10.1.1.1\r\n", "",
         "the registry cannot be parsed: " + file + ": line 4"},
        {"no file", "-", "", file + ": the key"},
    };
    for (const Case& c : cases) {
        ResetAgentSettings();
        fs::remove(dir / "registry.reg");
        if (c.registry.empty()) {
            writeRegistry(c.serverValues, "");
        } else if (c.registry != "-") {
            std::ofstream(dir / "registry.reg") << c.registry;
        }
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(LoadAgentSettings()) << c.name;
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.rfind("ambrik: ", 0), 0u) << c.name << ": " << err;
        EXPECT_NE(err.find(c.expected), std::string::npos) << c.name << ": " << err;
        EXPECT_EQ(err.find('\n'), err.size() - 1) << c.name << ": one line: " << err;
        if (c.registry.empty()) {
            EXPECT_NE(logText().find(c.expected), std::string::npos) << c.name;
        }
        CloseLogFile();
    }
}

TEST_F(SettingsTest, MissingRegistryFallsBackToTheDefaultInstallDir) {
    EXPECT_EQ(AgentInstallDir(), std::string(kDefaultInstallDir));
    EXPECT_EQ(InstallBinDir(), std::string(kDefaultInstallDir) + "bin/");
}

}  // namespace
