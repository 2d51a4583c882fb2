// A local user who is not root tries to have the root agent overwrite a file
// or run a program of theirs through the upgrade folder. Needs root: the test
// creates the user and acts as them.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "tests/agent/server/upgrade_fixture.h"

namespace {

constexpr const char* kUserName = "ambrik-local";

// The user's ids, after creating the user when it does not exist yet.
bool localUser(uid_t& uid, gid_t& gid) {
    if (!::getpwnam(kUserName))
        std::system((std::string("useradd --system --no-create-home --shell /usr/sbin/nologin ") + kUserName +
                     " >/dev/null 2>&1")
                        .c_str());
    const passwd* user = ::getpwnam(kUserName);
    if (!user) return false;
    uid = user->pw_uid;
    gid = user->pw_gid;
    return true;
}

// Runs the shell script as the user; true when it ended with 0.
bool runAsUser(uid_t uid, gid_t gid, const std::string& script) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(126);
        ::execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class LocalUserUpgrade : public UpgradeTest {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root to create and act as a local user";
        ASSERT_TRUE(localUser(uid, gid)) << "cannot create the user " << kUserName;
        UpgradeTest::SetUp();
        serverVersion = "9.0";
        renovoScript = recordingRenovo(marker);
        { std::ofstream(victim) << "root's file"; }
        ::chmod(root.path.c_str(), 0755);
    }
    // What the user's own program would leave behind if root ran it.
    std::string ownProgram() const { return "#!/bin/sh\ntouch " + root.file("user-program-ran") + "\n"; }

    uid_t uid = 0;
    gid_t gid = 0;
    const std::string marker = root.file("renovo-ran");
    const std::string victim = root.file("victim");
};

// The old place: a folder in the shared temporary folder, made first by the user.
TEST_F(LocalUserUpgrade, AFolderInTheSharedTempIsNotUsed) {
    const auto shared = root.path / "tmp";
    std::filesystem::create_directory(shared);
    ::chmod(shared.c_str(), 01777);
    ::setenv("TEMP", shared.c_str(), 1);
    ::setenv("TMPDIR", shared.c_str(), 1);
    ASSERT_TRUE(runAsUser(uid, gid,
                          "mkdir -m 0777 " + shared.string() + "/OrbiskAgent && cd " + shared.string() +
                              "/OrbiskAgent && ln -s " + victim + " Renovo.exe && ln -s " + victim +
                              " libcurl.dll"));
    UpgradeCheck();
    ::unsetenv("TEMP");
    ::unsetenv("TMPDIR");
    ASSERT_TRUE(waitForFile(marker));
    EXPECT_EQ(ReadWholeFile(victim), "root's file");
    EXPECT_TRUE(std::filesystem::is_symlink(shared / "OrbiskAgent" / "Renovo.exe"));
    EXPECT_EQ(ReadWholeFile(upgradeDir() + "/Renovo.exe"), renovoScript);
}

// The user owns the upgrade folder (made in a careless install directory)
// and placed a link and a program of their own in it: nothing is written
// there, nothing of theirs runs, nothing is downloaded.
TEST_F(LocalUserUpgrade, AFolderOfAnotherOwnerIsRefused) {
    const auto install = root.path / "install";
    ::chmod(install.c_str(), 01777);
    ASSERT_TRUE(runAsUser(uid, gid,
                          "mkdir -m 0700 " + upgradeDir() + " && cd " + upgradeDir() + " && printf '" +
                              ownProgram() + "' > Renovo.exe && chmod 0755 Renovo.exe && ln -s " + victim +
                              " libcurl.dll"));
    LogCapture log(4);
    UpgradeCheck();
    ::chmod(install.c_str(), 0755);
    EXPECT_NE(log.text().find("is not a private folder of this user"), std::string::npos) << log.text();
    EXPECT_EQ(log.text().find("\n Calling Renovo"), std::string::npos);
    EXPECT_EQ(server.targets().size(), 1u);  // the version question only
    EXPECT_EQ(ReadWholeFile(victim), "root's file");
    EXPECT_FALSE(std::filesystem::exists(root.file("user-program-ran")));
}

}  // namespace
