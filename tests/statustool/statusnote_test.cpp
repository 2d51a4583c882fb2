// Statusnote against a local server: the one request it sends, its log file
// and its exit code, as a program and in-process.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include "platform/registry.h"
#include "statustool/status_update.h"
#include "tests/agent/server/local_server.h"

namespace {

class StatusnoteTest : public ::testing::Test {
protected:
    void SetUp() override {
        registryFile = dir.file("registry.reg");
        ::setenv("ORBISK_REGISTRY", registryFile.c_str(), 1);
        server.http().Get("/event/agentHandler", [this](const httplib::Request&, httplib::Response& res) {
            res.status = answerStatus;
        });
        port = server.start();
        installDir = dir.path.string() + "/install/";
        std::filesystem::create_directories(installDir + "logs");
        setValue(kServerKeyPath, "ServerIPAddress", "127.0.0.1");
        setValue(kServerKeyPath, "ServerPort", std::to_string(port));
        setValue(kServerKeyPath, "ServerProtocol", "http");
        setValue(kAgentKeyPath, "AgentInstallDir", installDir);
    }
    void TearDown() override { ::unsetenv("ORBISK_REGISTRY"); }

    void setValue(const char* key, const char* name, const std::string& text) {
        platform::RegistryKey handle(nullptr, nullptr);
        bool created = false;
        ASSERT_EQ(platform::regCreateKey(platform::RegistryRoot::LocalMachine, key, &handle, &created), 0);
        ASSERT_EQ(platform::regSetValue(handle, name, platform::kRegSz, text), 0);
    }
    void setDword(const char* key, const char* name, std::uint32_t number) {
        platform::RegistryKey handle(nullptr, nullptr);
        bool created = false;
        ASSERT_EQ(platform::regCreateKey(platform::RegistryRoot::LocalMachine, key, &handle, &created), 0);
        ASSERT_EQ(platform::regSetValue(handle, name, platform::kRegDword, platform::dwordData(number)), 0);
    }
    // Runs the program with the arguments; keeps its standard output and error.
    int run(const std::string& arguments) {
        const std::string out = dir.file("stdout"), err = dir.file("stderr");
        const std::string command = "'" AMBRIK_BINARY_DIR "/statustool/statusnote' " + arguments + " >'" + out +
                                    "' 2>'" + err + "' </dev/null";
        const int status = std::system(command.c_str());
        stdoutText = ReadWholeFile(out);
        stderrText = ReadWholeFile(err);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string logText() const { return ReadWholeFile(installDir + "logs/agentstatusupdate.log"); }
    // An https server with the certificate, and the registry pointed at it.
    std::unique_ptr<LocalServer> startHttps(const TestCertificate& certificate) {
        auto tls = std::make_unique<LocalServer>(certificate.cert, certificate.key);
        tls->http().Get("/event/agentHandler", [](const httplib::Request&, httplib::Response&) {});
        setValue(kServerKeyPath, "ServerPort", std::to_string(tls->start()));
        setValue(kServerKeyPath, "ServerProtocol", "https");
        return tls;
    }
    // "statusnote Installed" for the host "box".
    int runInstalled() {
        char program[] = "statusnote";
        char word[] = "Installed";
        char* argv[] = {program, word, nullptr};
        return RunStatusUpdate(2, argv, [] { return std::optional<std::string>("box"); });
    }
    std::vector<std::string> handlerTargets() {
        std::vector<std::string> result;
        for (const auto& t : server.targets())
            if (t.rfind("/event/", 0) == 0) result.push_back(t.substr(7));
        return result;
    }

    ScratchDir dir{"statusnote"};
    LocalServer server;
    std::string registryFile;
    std::string installDir;
    int port = 0;
    int answerStatus = 200;
    std::string stdoutText;
    std::string stderrText;
};

TEST_F(StatusnoteTest, ProgramSendsExactlyOneRequestAppendsItsLogAndSaysItWasDelivered) {
    { std::FILE* f = std::fopen((installDir + "logs/agentstatusupdate.log").c_str(), "w");
      std::fputs("earlier run", f); std::fclose(f); }
    EXPECT_EQ(run("Installed extra"), 0);
    // One line, and no libcurl trace at the default log level.
    EXPECT_EQ(stdoutText, "statusnote: status \"Installed\" delivered to http://127.0.0.1:" + std::to_string(port) + "\n");
    EXPECT_EQ(stderrText, "");

    const auto host = LocalHostName();
    ASSERT_TRUE(host.has_value());
    EXPECT_EQ(handlerTargets(), std::vector<std::string>{
        "agentHandler?mode=agentStatusUpdate&agentId=(null)&agentName=" + *host + "&status=Installed"});
    const std::string log = logText();
    EXPECT_EQ(log.rfind("earlier run", 0), 0u);
    EXPECT_NE(log.find("\n URL: http://127.0.0.1:" + std::to_string(port) + "/event/agentHandler"),
              std::string::npos);
    EXPECT_NE(log.find("\n Status successfully updated"), std::string::npos);
    // The optional ServerCACertFile is looked up without an error per key.
    EXPECT_EQ(log.find("ReadRegSZEx"), std::string::npos) << log;

    // Not delivered: exit 1 and the reason on standard error.
    answerStatus = 503;
    EXPECT_EQ(run("Installed"), 1);
    EXPECT_EQ(stdoutText, "");
    EXPECT_NE(stderrText.find("statusnote: status \"Installed\" not delivered to http://127.0.0.1:"),
              std::string::npos) << stderrText;
    EXPECT_NE(stderrText.find("Got status: 503 (see " + installDir + "logs/agentstatusupdate.log)\n"),
              std::string::npos) << stderrText;

    // At log level 4 libcurl's trace is shown.
    setDword(kAgentKeyPath, "AgentLogLevel", 4);
    answerStatus = 200;
    EXPECT_EQ(run("Installed"), 0);
    EXPECT_NE(stderrText.find("GET /event/agentHandler"), std::string::npos) << stderrText;
}

TEST_F(StatusnoteTest, HelpIsAnsweredAndAnUnreadableRegistryIsNamedWithoutSendingOrLogging) {
    for (const char* option : {"--help", "-h"}) {
        EXPECT_EQ(run(option), 0) << option;
        EXPECT_NE(stdoutText.find("Usage: statusnote STATUS"), std::string::npos) << stdoutText;
        EXPECT_NE(stdoutText.find("Exit codes"), std::string::npos);
    }
    EXPECT_TRUE(handlerTargets().empty());

    // A registry cut off inside a value.
    const std::string text = ReadWholeFile(registryFile);
    const std::size_t cut = text.find("ServerPort");
    ASSERT_NE(cut, std::string::npos);
    { std::FILE* f = std::fopen(registryFile.c_str(), "wb");
      std::fwrite(text.data(), 1, cut + 14, f); std::fclose(f); }
    EXPECT_EQ(run("Installed"), 2);
    EXPECT_EQ(stdoutText, "");
    EXPECT_EQ(stderrText.rfind("statusnote: the registry cannot be parsed: " + registryFile + ": line ", 0), 0u)
        << stderrText;
    EXPECT_EQ(stderrText.find('\n'), stderrText.size() - 1) << stderrText;
    EXPECT_TRUE(handlerTargets().empty());
    EXPECT_FALSE(std::filesystem::exists(installDir + "logs/agentstatusupdate.log"));
}

// Under root's usual umask 022, the log Statusnote creates is its own (0600).
TEST_F(StatusnoteTest, ProgramCreatesItsLogPrivateUnderUmask022) {
    const std::string command =
        "umask 022; '" AMBRIK_BINARY_DIR "/statustool/statusnote' Installed >/dev/null 2>&1";
    ASSERT_NE(std::system(command.c_str()), -1);
    struct stat info {};
    ASSERT_EQ(::stat((installDir + "logs/agentstatusupdate.log").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
}

TEST_F(StatusnoteTest, UnknownHostNameUsesTheAgentIdOrSendsNothing) {
    char program[] = "statusnote";
    char word[] = "Uninstalled";
    char* argv[] = {program, word, nullptr};
    const HostNameQuery failing = [] { return std::optional<std::string>{}; };

    EXPECT_EQ(RunStatusUpdate(2, argv, failing), kStatusNotDelivered);
    EXPECT_TRUE(handlerTargets().empty());
    const std::string log = logText();
    const std::string last = "\n Failed to get AgentId...so, returning";
    ASSERT_GE(log.size(), last.size());
    EXPECT_EQ(log.substr(log.size() - last.size()), last);

    setValue(kAgentKeyPath, "AgentId", "4711");
    answerStatus = 500;
    EXPECT_EQ(RunStatusUpdate(2, argv, failing), 1);
    EXPECT_EQ(handlerTargets(), std::vector<std::string>{
        "agentHandler?mode=agentStatusUpdate&agentId=4711&agentName=&status=Uninstalled"});
    EXPECT_NE(logText().find("\n Error <--> Got status: 500\n Status update failed"), std::string::npos);
}

TEST_F(StatusnoteTest, HttpsIsSentWithoutCertificateVerification) {
    TestCertificate certificate;
    ASSERT_TRUE(certificate.made);
    const auto tls = startHttps(certificate);
    char program[] = "statusnote";
    char* argv[] = {program, nullptr};
    EXPECT_EQ(RunStatusUpdate(1, argv, [] { return std::optional<std::string>("box"); }), kStatusDelivered);
    EXPECT_EQ(tls->targets(), std::vector<std::string>{
        "/event/agentHandler?mode=agentStatusUpdate&agentId=(null)&agentName=box&status="});
    EXPECT_NE(logText().find("\n Status successfully updated"), std::string::npos);
}

// With ServerCACertFile set, only a server whose certificate the file
// vouches for gets the status; without it, https is sent unverified and the
// tool warns once.
TEST_F(StatusnoteTest, HttpsHonoursThePinAndWarnsWithoutOne) {
    TestCertificate pinned;
    TestCertificate other;
    ASSERT_TRUE(pinned.made && other.made);
    const auto server = startHttps(other);
    LocalServer& tls = *server;

    EXPECT_EQ(runInstalled(), kStatusDelivered);
    EXPECT_EQ(tls.targets().size(), 1u);
    std::string log = logText();
    EXPECT_NE(log.find(kUnpinnedHttpsWarning), std::string::npos);
    EXPECT_EQ(log.find(kUnpinnedHttpsWarning), log.rfind(kUnpinnedHttpsWarning));

    setValue(kAgentKeyPath, "ServerCACertFile", pinned.cert);
    EXPECT_EQ(runInstalled(), kStatusNotDelivered);
    EXPECT_EQ(tls.targets().size(), 1u);  // the handshake failed: no request reached it
    log = logText();
    EXPECT_NE(log.rfind("\n Status update failed"), std::string::npos);
    EXPECT_EQ(log.find(kUnpinnedHttpsWarning), log.rfind(kUnpinnedHttpsWarning));

    setValue(kAgentKeyPath, "ServerCACertFile", other.cert);
    EXPECT_EQ(runInstalled(), kStatusDelivered);
    EXPECT_EQ(tls.targets().size(), 2u);
}

// A server that the system's CA store vouches for is refused when the pin
// names another CA.
TEST_F(StatusnoteTest, PinIsTheOnlyTrustAnchorAsRoot) {
    if (::geteuid() != 0) GTEST_SKIP() << "a private system CA store needs root";
    TestCertificate pinned("/CN=Pinned CA");
    TestCertificate other;
    ASSERT_TRUE(pinned.made && other.made);
    const auto tls = startHttps(other);
    setValue(kAgentKeyPath, "ServerCACertFile", pinned.cert);
    const std::string why = RunWithSystemCa(other.cert, [&] { EXPECT_EQ(runInstalled(), kStatusNotDelivered); });
    if (!why.empty()) GTEST_SKIP() << why;
    EXPECT_TRUE(tls->targets().empty());
    EXPECT_NE(logText().rfind("\n Status update failed"), std::string::npos);
}

TEST_F(StatusnoteTest, UnreachableServerIsLoggedWithTheToolsMessages) {
    setValue(kServerKeyPath, "ServerPort", std::to_string(UnusedPort()));
    char program[] = "statusnote";
    char word[] = "Installed";
    char* argv[] = {program, word, nullptr};
    EXPECT_EQ(RunStatusUpdate(2, argv, [] { return std::optional<std::string>("box"); }), kStatusNotDelivered);
    const std::string log = logText();
    EXPECT_NE(log.find("\n Curl Error: 7 <--> "), std::string::npos);
    EXPECT_NE(log.find("\n Setting server status to down"), std::string::npos);
    EXPECT_NE(log.find("\n Status update failed"), std::string::npos);
}

}  // namespace
