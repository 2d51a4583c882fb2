// confora as a script runs it: exit codes, the one-line errors, what reaches
// the registry, Installfail.txt and Confora.log.
#include <sys/stat.h>
#include <sys/wait.h>

#include "tests/wizard/wizard_fixture.h"

namespace {

class ConforaProgram : public WizardFixture {
protected:
    void SetUp() override {
        WizardFixture::SetUp();
        setValue(kAgentKeyPath, "AgentInstallDir", installDir);
    }
    // Runs confora with the arguments (already quoted for the shell); keeps
    // its standard output and error.
    int run(const std::string& arguments, const std::string& environment = "") {
        const std::string out = (root / "stdout").string();
        const std::string err = (root / "stderr").string();
        const std::string command = environment + " '" AMBRIK_BINARY_DIR "/wizard/confora' " + arguments + " >'" +
                                    out + "' 2>'" + err + "' </dev/null";
        const int status = std::system(command.c_str());
        stdoutText = readFile(out);
        stderrText = readFile(err);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    bool oneLineOnStderr() const {
        return !stderrText.empty() && stderrText.find('\n') == stderrText.size() - 1 &&
               stderrText.rfind("confora: ", 0) == 0;
    }
    std::string registryText() const { return readFile(registryFile); }

    std::string stdoutText;
    std::string stderrText;
};

TEST_F(ConforaProgram, WritesTheGivenSettingsAndLogsTheSteps) {
    EXPECT_EQ(run("--unattended --server-name localhost --db mysql --protocol=https --port 9443 --aws yes"), 0)
        << stderrText;
    EXPECT_EQ(written(), "127.0.0.1|localhost|mysql|https|9443|yes");
    EXPECT_TRUE(stderrText.empty()) << stderrText;
    EXPECT_NE(stdoutText.find("ServerIPAddress=127.0.0.1"), std::string::npos) << stdoutText;
    const std::string log = logText();
    EXPECT_NE(log.find("\n Confora running unattended "), std::string::npos);
    EXPECT_NE(log.find("\n IPSTRINg in IP ADDR 127.0.0.1 "), std::string::npos);
    EXPECT_NE(log.find("\n End of CConforaDlg::OnBnClickedButton1(OK) Method \n"), std::string::npos);
    EXPECT_TRUE(installFail().empty());

    // A second run appends to the log and replaces the values; options left
    // out mean an untouched dialog.
    EXPECT_EQ(run("--unattended --server-ip 127.0.0.1"), 0) << stderrText;
    EXPECT_EQ(server("ServerDBType"), "postgres");
    EXPECT_EQ(server("ServerProtocol"), "http");
    EXPECT_EQ(server("ServerPort"), "8400");
    EXPECT_EQ(value(kAgentKeyPath, "AWS Instance"), "no");
    EXPECT_EQ(logText().rfind(log, 0), 0u);

    // The installer passes every option, empty when not given: the same.
    ASSERT_EQ(run("--unattended --aws yes --db mysql --server-name localhost"), 0) << stderrText;
    EXPECT_EQ(run("--unattended --server-name= --server-ip=127.0.0.1 --port= --protocol= --db= --aws= "
                  "--on-mismatch="),
              0)
        << stderrText;
    EXPECT_EQ(written(), "127.0.0.1|localhost|postgres|http|8400|no");
}

// Under root's usual umask 022, the files confora creates get their own
// modes: its log 0600, and on a fresh system the registry file and its lock
// 0640.
TEST_F(ConforaProgram, FilesItCreatesHaveTheirOwnModesUnderUmask022) {
    const auto mode = [](const std::filesystem::path& path) {
        struct stat info {};
        return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0u;
    };
    ASSERT_EQ(run("--unattended --server-ip 127.0.0.1", "umask 022;"), 0) << stderrText;
    EXPECT_EQ(mode(installDir + "logs/Confora.log"), 0600u);

    // No registry file and no install directory yet (the default one has no
    // logs folder here, so no log is written).
    const std::filesystem::path fresh = root / "etc" / "registry.reg";
    ASSERT_EQ(run("--unattended --server-ip 127.0.0.1", "umask 022; ORBISK_REGISTRY='" + fresh.string() + "'"), 0)
        << stderrText;
    EXPECT_EQ(mode(fresh), 0640u);
    EXPECT_EQ(mode(fresh.string() + ".lock"), 0640u);
}

TEST_F(ConforaProgram, AMismatchAbortsUnlessToldToIgnoreIt) {
    const std::string before = registryText();
    EXPECT_EQ(run("--unattended --server-name localhost --server-ip 127.0.0.9"), 1);
    EXPECT_TRUE(oneLineOnStderr()) << stderrText;
    EXPECT_NE(stderrText.find("127.0.0.1, not 127.0.0.9"), std::string::npos) << stderrText;
    EXPECT_NE(stderrText.find(installDir + "Installfail.txt"), std::string::npos) << stderrText;
    EXPECT_EQ(installFail(), kInstallFailText);
    EXPECT_EQ(registryText(), before);
    EXPECT_NE(logText().find("answering Abort"), std::string::npos);

    EXPECT_EQ(run("--unattended --server-name localhost --server-ip 127.0.0.9 --on-mismatch ignore"), 0);
    EXPECT_EQ(written(), "127.0.0.9|localhost|postgres|http|8400|no");

    // An IPv6 address alone cannot be looked up as IPv4: abort, no crash.
    EXPECT_EQ(run("--unattended --server-ip ::1"), 1);
    EXPECT_TRUE(oneLineOnStderr()) << stderrText;
}

TEST_F(ConforaProgram, BadCommandLinesAndInputWriteNothing) {
    const std::string before = registryText();
    const std::vector<std::string> bad{
        "--unattended",
        "--unattended --server-name=",
        "--unattended --server-nam localhost",
        "--unattended --server-name",
        "--unattended --db oracle --server-name localhost",
        "--unattended --aws maybe --server-name localhost",
        "--unattended --on-mismatch retry --server-name localhost",
        "--unattended --server-name localhost --server-name localhost",
        "--unattended --server-name localhost --port 12345678901234567890",
        "--unattended --server-name " + std::string(51, 'a'),
        "--unattended --server-ip 1234567890123456789012345678",
        "--server-name localhost",
    };
    for (const std::string& arguments : bad) {
        EXPECT_EQ(run(arguments), 2) << arguments;
        EXPECT_TRUE(oneLineOnStderr()) << arguments << ": " << stderrText;
    }
    EXPECT_EQ(registryText(), before);
    EXPECT_TRUE(installFail().empty());
    // An installer keeps no standard error: the unattended runs' reasons are
    // in the log too.
    const std::string log = logText();
    EXPECT_NE(log.find("\n Confora running unattended: --db takes one of postgres, mysql, mssql, not \"oracle\" "),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("\n Confora running unattended: give --server-name or --server-ip"), std::string::npos) << log;
}

TEST_F(ConforaProgram, WithoutADisplayTheDialogPointsToUnattended) {
    EXPECT_EQ(run("", "env -u DISPLAY"), 2);
    EXPECT_TRUE(oneLineOnStderr()) << stderrText;
    EXPECT_NE(stderrText.find("--unattended"), std::string::npos);
#ifdef CONFORA_HAS_DIALOG
    EXPECT_NE(stderrText.find("DISPLAY"), std::string::npos);
    // A display that cannot be opened gives the same advice.
    EXPECT_EQ(run("", "DISPLAY=:9876"), 2);
    EXPECT_TRUE(oneLineOnStderr()) << stderrText;
    EXPECT_NE(stderrText.find("--unattended"), std::string::npos);
    // The log says why and closes what it opened.
    const std::string log = logText();
    EXPECT_NE(log.find("\n Unable to open the display: "), std::string::npos) << log;
    const std::string end = "\n End Of CConforaDlg::OnInitDialog Method ";
    ASSERT_GE(log.size(), end.size()) << log;
    EXPECT_EQ(log.substr(log.size() - end.size()), end);
#endif

    EXPECT_EQ(run("--help"), 0);
    for (const char* option : {"--unattended", "--server-name", "--server-ip", "--db", "--protocol", "--port",
                               "--aws", "--on-mismatch", "Exit codes"})
        EXPECT_NE(stdoutText.find(option), std::string::npos) << option;
}

TEST_F(ConforaProgram, ARegistryThatCannotBeWrittenGivesItsOwnExitCode) {
    const std::string blocker = (root / "not-a-folder").string();
    { std::FILE* f = std::fopen(blocker.c_str(), "w"); std::fclose(f); }
    EXPECT_EQ(run("--unattended --server-name localhost", "ORBISK_REGISTRY='" + blocker + "/registry.reg'"), 3);
    EXPECT_TRUE(oneLineOnStderr()) << stderrText;
    EXPECT_NE(stderrText.find("ServerIPAddress"), std::string::npos);
}

// A registry the parser cannot read is named, in one line, before anything
// is logged or written: the log folder would come from it.
TEST_F(ConforaProgram, AnUnreadableRegistryIsNamedAndNeitherLoggedIntoNorOverwritten) {
    const std::string text = registryText();
    const std::size_t cut = text.find("AgentInstallDir");
    ASSERT_NE(cut, std::string::npos);
    for (const std::string& damaged : {text.substr(0, cut + 20), std::string("\xFF\xFE\x41", 3)}) {
        { std::FILE* f = std::fopen(registryFile.c_str(), "wb");
          std::fwrite(damaged.data(), 1, damaged.size(), f); std::fclose(f); }
        for (const std::string& arguments : {std::string("--unattended --server-name localhost"), std::string("")}) {
            EXPECT_EQ(run(arguments, "env -u DISPLAY"), 4) << arguments;
            EXPECT_TRUE(oneLineOnStderr()) << stderrText;
            EXPECT_EQ(stderrText.rfind("confora: the registry cannot be parsed: " + registryFile + ": line ", 0), 0u)
                << stderrText;
            EXPECT_EQ(registryText(), damaged);
        }
    }
    EXPECT_FALSE(std::filesystem::exists(root / "install" / "logs" / "Confora.log"));
    EXPECT_TRUE(installFail().empty());
}

}  // namespace
