// The OK button's logic against a temporary registry file: look-ups of this
// machine (localhost, 127.0.0.1) or a name service given by the test, the
// six writes, the Abort/Retry/Ignore answers and odd input.
#include <filesystem>
#include <vector>

#include "platform/net.h"
#include "tests/support/log_capture.h"
#include "tests/wizard/wizard_fixture.h"
#include "wizard/confora.h"

namespace {

class ConforaOk : public WizardFixture {
protected:
    OkOutcome press(const WizardInput& input, MismatchChoice answer = MismatchChoice::Abort) {
        asked = 0;
        return PressOk(input, env, [&] {
            ++asked;
            return answer;
        });
    }
    WizardInput typed(const std::string& name, const std::string& ip, const std::string& port = "") {
        WizardInput input;
        input.serverName = name;
        input.serverIp = ip;
        input.serverPort = port;
        return input;
    }
    // A name service that knows one name and one address, and nothing else.
    void useFakeNames(const std::string& name, const std::string& address) {
        env.lookup.forward = [name, address](const std::string& n, std::vector<std::string>* out) {
            if (n != name) return platform::kWsaHostNotFound;
            *out = {address, "10.9.9.9"};
            return 0L;
        };
        env.lookup.reverse = [name, address](const std::string& a, std::string* out) {
            if (a != address) return platform::kWsaHostNotFound;
            *out = name;
            return 0L;
        };
    }

    void SetUp() override {
        WizardFixture::SetUp();
        env.installDir = installDir;
    }

    LogCapture log;
    ConforaEnvironment env;
    int asked = 0;
};

TEST_F(ConforaOk, NameAndMatchingAddressAreWrittenWithTheDefaultsOfAnUntouchedDialog) {
    const OkOutcome out = press(typed("localhost", "127.0.0.1"));
    EXPECT_EQ(out.result, OkResult::Written);
    EXPECT_EQ(asked, 0);
    EXPECT_TRUE(out.failedWrites.empty());
    EXPECT_EQ(written(), "127.0.0.1|localhost|postgres|http|8400|no");

    const std::string text = log.text();
    const std::vector<std::string> inOrder{
        "\n Inside CConforaDlg::OnBnClickedButton1(OK) Method ",
        "\n serverName      from UI : localhost ",
        "\n serverIPAddress from UI : 127.0.0.1 ",
        "\n serverDb        from UI : postgres ",
        "\n serverProtocol  from UI : http ",
        "\n serverPort      from UI :  ",
        "\n BSZ 10 ",
        "\n serverName in IP ADDR localhost ",
        "\n IPSTRINg in IP ADDR 127.0.0.1 ",
        "ServerIPAddress", "ServerName", "ServerDBType", "ServerProtocol", "ServerPort", "AWS Instance",
        "\n End of CConforaDlg::OnBnClickedButton1(OK) Method \n",
    };
    std::size_t at = 0;
    for (const std::string& piece : inOrder) {
        const std::size_t found = text.find(piece, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << piece;
        at = found + piece.size();
    }
}

TEST_F(ConforaOk, ANameAloneTakesItsFirstAddressAndAnAddressAloneItsHostName) {
    WizardInput input = typed("localhost", "", "9000");
    input.database = "mssql";
    input.protocol = "https";
    input.aws = true;
    EXPECT_EQ(press(input).result, OkResult::Written);
    EXPECT_EQ(written(), "127.0.0.1|localhost|mssql|https|9000|yes");

    std::string host;
    ASSERT_EQ(platform::reverseLookup("127.0.0.1", &host), 0) << "this machine has no name for 127.0.0.1";
    EXPECT_EQ(press(typed("", "127.0.0.1")).result, OkResult::Written);
    EXPECT_EQ(written(), "127.0.0.1|" + host + "|postgres|http|8400|no");
    EXPECT_TRUE(log.has("\n BSZ 10 \n serverIP in GetHostName 127.0.0.1 \n Host Name in GetHostName " + host + " "));
    EXPECT_EQ(asked, 0);
}

TEST_F(ConforaOk, AMismatchAsksOnceAndEachAnswerDoesItsOwnThing) {
    const std::filesystem::path before = std::filesystem::current_path();

    // Retry: nothing written, no failure file.
    OkOutcome out = press(typed("localhost", "127.0.0.9"), MismatchChoice::Retry);
    EXPECT_EQ(out.result, OkResult::Retry);
    EXPECT_EQ(asked, 1);
    EXPECT_NE(out.resolutionProblem.find("127.0.0.1, not 127.0.0.9"), std::string::npos) << out.resolutionProblem;
    EXPECT_FALSE(std::filesystem::exists(registryFile));
    EXPECT_TRUE(installFail().empty());

    // Abort: Installfail.txt in the install directory, nothing in the registry,
    // and the current directory is where it was.
    out = press(typed("localhost", "127.0.0.9"), MismatchChoice::Abort);
    EXPECT_EQ(out.result, OkResult::Aborted);
    EXPECT_TRUE(out.installFailWritten);
    EXPECT_EQ(out.installFailPath, installDir + "Installfail.txt");
    EXPECT_EQ(installFail(), kInstallFailText);
    EXPECT_FALSE(std::filesystem::exists(registryFile));
    EXPECT_EQ(std::filesystem::current_path(), before);

    // Ignore: both as typed.
    out = press(typed("localhost", "127.0.0.9"), MismatchChoice::Ignore);
    EXPECT_EQ(out.result, OkResult::Written);
    EXPECT_EQ(written(), "127.0.0.9|localhost|postgres|http|8400|no");
}

TEST_F(ConforaOk, EmptyNameAndAddressWriteNothingAndAskNothing) {
    const OkOutcome out = press(typed("", "", "8500"));
    EXPECT_EQ(out.result, OkResult::EmptyInput);
    EXPECT_EQ(asked, 0);
    EXPECT_FALSE(std::filesystem::exists(registryFile));
    EXPECT_TRUE(log.has("\n serverName      from UI :  \n serverIPAddress from UI :  "));
}

TEST_F(ConforaOk, FieldLimitsAreCountedAsAnEditControlCountsThem) {
    // 19 characters of port, 50 of name (two-byte letters), 25 of address fit.
    WizardInput input = typed(std::string(50, 'a'), "1234567890123456789012345", "1234567890123456789");
    EXPECT_FALSE(CheckFieldLengths(input));
    std::string accented;
    for (int i = 0; i < 50; ++i) accented += "\xc3\xa9";
    input.serverName = accented;
    EXPECT_FALSE(CheckFieldLengths(input));

    input.serverName += "e";
    EXPECT_EQ(CheckFieldLengths(input).value_or(""), "the server name is longer than 50 characters");
    input.serverName = "a";
    input.serverPort += "0";
    EXPECT_EQ(CheckFieldLengths(input).value_or(""), "the server port is longer than 19 characters");
    input.serverPort = "1";
    input.serverIp += "1";
    EXPECT_EQ(CheckFieldLengths(input).value_or(""), "the server IP address is longer than 25 characters");
}

TEST_F(ConforaOk, ALongNameAndALongPortAreWrittenWhole) {
    const std::string name = std::string(46, 'n') + ".lan";
    useFakeNames(name, "10.1.2.3");
    EXPECT_EQ(press(typed(name, "", "1234567890123456789")).result, OkResult::Written);
    EXPECT_EQ(written(), "10.1.2.3|" + name + "|postgres|http|1234567890123456789|no");
}

TEST_F(ConforaOk, OddNamesAndAddressesGoToTheChoiceInsteadOfFailing) {
    // A name with only IPv6 addresses, as the platform answers it.
    env.lookup.forward = [](const std::string&, std::vector<std::string>*) { return platform::kWsaNoData; };
    OkOutcome out = press(typed("v6only.example", ""), MismatchChoice::Retry);
    EXPECT_EQ(out.result, OkResult::Retry);
    EXPECT_NE(out.resolutionProblem.find("no IPv4 address"), std::string::npos) << out.resolutionProblem;
    EXPECT_TRUE(log.has("\n IPSTRINg in IP ADDR  "));

    // An IPv6 address typed into the address field, with the real look-up.
    env.lookup = PlatformNameLookup();
    out = press(typed("", "::1"), MismatchChoice::Retry);
    EXPECT_EQ(out.result, OkResult::Retry);
    EXPECT_NE(out.resolutionProblem.find("not a dotted IPv4 address"), std::string::npos);

    // Non-ASCII and very long texts reach the look-up and the log unharmed,
    // and Ignore stores them byte for byte.
    std::vector<std::string> seen;
    env.lookup.forward = [&seen](const std::string& n, std::vector<std::string>*) {
        seen.push_back(n);
        return platform::kWsaHostNotFound;
    };
    const std::string name = "s\xc3\xa9rveur-\xe6\x97\xa5\xe6\x9c\xac." + std::string(100000, 'x');
    out = press(typed(name, "%s%n%s", std::string(5000, '9')), MismatchChoice::Ignore);
    EXPECT_EQ(out.result, OkResult::Written);
    EXPECT_EQ(seen, std::vector<std::string>{name});
    EXPECT_EQ(server("ServerName"), name);
    EXPECT_EQ(server("ServerIPAddress"), "%s%n%s");
    EXPECT_EQ(server("ServerPort"), std::string(5000, '9'));
    EXPECT_TRUE(log.has("\n serverIPAddress from UI : %s%n%s "));
}

TEST_F(ConforaOk, EveryWriteIsTriedAndEachFailureIsReported) {
    // The registry file cannot be created: its folder is a plain file.
    const std::string blocker = (root / "not-a-folder").string();
    { std::FILE* f = std::fopen(blocker.c_str(), "w"); std::fclose(f); }
    ::setenv("ORBISK_REGISTRY", (blocker + "/registry.reg").c_str(), 1);
    const OkOutcome out = press(typed("localhost", ""));
    EXPECT_EQ(out.result, OkResult::Written);
    EXPECT_EQ(out.failedWrites.size(), 6u);
    EXPECT_EQ(out.failedWrites.back(), std::string(kAgentKeyPath) + "\\AWS Instance");
    EXPECT_TRUE(log.has("\n End of CConforaDlg::OnBnClickedButton1(OK) Method \n"));
}

TEST_F(ConforaOk, InstallDirectoryComesFromTheRegistryWithItsSeparator) {
    EXPECT_EQ(ConforaInstallDir(), kDefaultInstallDir);
    setValue(kAgentKeyPath, "AgentInstallDir", "/srv/agent");
    EXPECT_EQ(ConforaInstallDir(), "/srv/agent/");
    setValue(kAgentKeyPath, "AgentInstallDir", "");
    EXPECT_EQ(ConforaInstallDir(), kDefaultInstallDir);

    // Abort into a folder that does not exist: reported, nothing else happens.
    env.installDir = (root / "missing").string() + "/";
    const OkOutcome out = press(typed("localhost", "127.0.0.9"), MismatchChoice::Abort);
    EXPECT_EQ(out.result, OkResult::Aborted);
    EXPECT_FALSE(out.installFailWritten);
}

}  // namespace
