// The real dialog on a virtual X display: xdotool clicks and types at the
// positions of the reference layout, presses OK and answers the message
// boxes; the registry, Installfail.txt and the placed controls are checked,
// and screenshots go to the build folder's tests/wizard/gui-output.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#include "tests/wizard/wizard_fixture.h"

namespace {

bool onPath(const char* program) {
    return std::system(("command -v " + std::string(program) + " >/dev/null 2>&1").c_str()) == 0;
}

// Every external step is bounded, so a window that never appears fails the
// test instead of hanging it.
constexpr const char* kBound = "timeout 30 ";
constexpr const char* kTitle = "^Connection Settings for Orbisk Agent-Server Communication$";

struct Placed {
    int x, y, w, h;
};

// The reference listing: the lines, and the controls by id (statics and the
// group box, which have none, by their text).
std::vector<std::string> referenceLines(std::map<std::string, Placed>* byKey) {
    std::ifstream in(AMBRIK_SOURCE_DIR "/tests/wizard/data/dialog_layout.txt");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        lines.push_back(line);
        std::istringstream fields(line);
        std::string kind, id, text;
        Placed p{};
        fields >> kind >> id >> p.x >> p.y >> p.w >> p.h;
        std::getline(fields, text);
        (*byKey)[id == "-1" ? text.substr(text.empty() ? 0 : 1) : id] = p;
    }
    return lines;
}

class ConforaDialogGui : public WizardFixture {
protected:
    void SetUp() override {
        WizardFixture::SetUp();
        if (!onPath("Xvfb")) GTEST_SKIP() << "Xvfb is not installed (Debian package xvfb)";
        if (!onPath("xdotool")) GTEST_SKIP() << "xdotool is not installed (Debian package xdotool)";
#ifndef CONFORA_HAS_DIALOG
        GTEST_SKIP() << "confora was built without FLTK (libfltk1.3-dev), so it has no dialog";
#endif
        setValue(kAgentKeyPath, "AgentInstallDir", installDir);
        reference = referenceLines(&controls);
        outputDir = AMBRIK_BINARY_DIR "/tests/wizard/gui-output/";
        std::filesystem::create_directories(outputDir);
        startDisplay();
    }
    void TearDown() override {
        if (confora > 0) {
            ::kill(confora, SIGKILL);
            ::waitpid(confora, nullptr, 0);
        }
        if (xvfb > 0) {
            ::kill(xvfb, SIGTERM);
            ::waitpid(xvfb, nullptr, 0);
        }
        WizardFixture::TearDown();
    }

    // Xvfb picks a free display and writes its number to the pipe once it
    // accepts clients.
    void startDisplay() {
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        xvfb = ::fork();
        ASSERT_GE(xvfb, 0);
        if (xvfb == 0) {
            ::close(fds[0]);
            const std::string fd = std::to_string(fds[1]);
            ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
                     static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(fds[1]);
        std::string number;
        char c;
        while (::read(fds[0], &c, 1) == 1 && c != '\n') number += c;
        ::close(fds[0]);
        ASSERT_FALSE(number.empty()) << "Xvfb did not start";
        display = ":" + number;
    }

    void startConfora(const std::string& registry = "") {
        layoutFile = (root / "layout.txt").string();
        confora = ::fork();
        ASSERT_GE(confora, 0);
        if (confora == 0) {
            if (!registry.empty()) ::setenv("ORBISK_REGISTRY", registry.c_str(), 1);
            ::setenv("DISPLAY", display.c_str(), 1);
            ::setenv("CONFORA_LAYOUT_FILE", layoutFile.c_str(), 1);
            // Leaks inside the X libraries and fontconfig are theirs.
            ::setenv("LSAN_OPTIONS", "suppressions=" AMBRIK_SOURCE_DIR "/tests/wizard/data/x11-leaks.supp", 1);
            const int devnull = ::open("/dev/null", O_RDONLY);
            ::dup2(devnull, 0);
            ::execl("/usr/bin/timeout", "timeout", "60", AMBRIK_BINARY_DIR "/wizard/confora",
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    // The program's exit code (bounded by the timeout it runs under).
    int conforaExit() {
        int status = 0;
        ::waitpid(confora, &status, 0);
        confora = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Runs xdotool with the arguments on the virtual display; its output.
    std::string xdotool(const std::string& arguments) {
        const std::string command = std::string("DISPLAY=") + display + " " + kBound + "xdotool " + arguments;
        std::string out;
        if (std::FILE* p = ::popen(command.c_str(), "r")) {
            char buffer[256];
            while (std::fgets(buffer, sizeof buffer, p)) out += buffer;
            ::pclose(p);
        }
        return out;
    }
    // Waits until a window with the title is shown; its id.
    std::string waitForWindow(const std::string& title) {
        std::string id = xdotool("search --sync --onlyvisible --name '" + title + "'");
        id = id.substr(0, id.find('\n'));
        EXPECT_FALSE(id.empty()) << "no window " << title;
        return id;
    }
    void click(const std::string& window, const std::string& control) {
        const Placed p = controls.at(control);
        xdotool("mousemove --sync --window " + window + " " + std::to_string(p.x + p.w / 2) + " " +
                std::to_string(p.y + p.h / 2) + " click 1");
    }
    void typeInto(const std::string& window, const std::string& control, const std::string& text) {
        click(window, control);
        xdotool("type --delay 1 '" + text + "'");
    }
    void screenshot(const std::string& window, const std::string& name) {
        const std::string path = outputDir + name;
        const std::string command = "DISPLAY=" + display + " " + kBound + "xwd -silent -id " + window +
                                    " | xwdtopnm 2>/dev/null | pnmtopng >'" + path + "' 2>/dev/null";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        std::cout << "screenshot: " << path << "\n";
        RecordProperty("screenshot-" + name, path);
    }

    std::vector<std::string> reference;
    std::map<std::string, Placed> controls;
    std::string outputDir;
    std::string display;
    std::string layoutFile;
    pid_t xvfb = 0;
    pid_t confora = 0;
};

TEST_F(ConforaDialogGui, TypedSettingsAndClickedChoicesReachTheRegistryFromTheLaidOutDialog) {
    startConfora();
    const std::string window = waitForWindow(kTitle);
    ASSERT_FALSE(window.empty());

    // The window and every control stand where the reference puts them.
    const std::string geometry = xdotool("getwindowgeometry " + window);
    EXPECT_NE(geometry.find("Geometry: 443x349"), std::string::npos) << geometry;
    std::vector<std::string> placed;
    {
        std::ifstream in(layoutFile);
        for (std::string line; std::getline(in, line);) placed.push_back(line);
    }
    EXPECT_EQ(placed, reference);

    typeInto(window, "1000", "localhost");
    typeInto(window, "1007", "9443");
    click(window, "1018");  // mssql
    click(window, "1021");  // https
    click(window, "1035");  // AWS yes
    click(window, "1034");  // AWS no: the last click counts
    click(window, "1035");
    screenshot(window, "confora-dialog.png");
    click(window, "1004");  // OK
    EXPECT_EQ(conforaExit(), 0);
    EXPECT_EQ(written(), "127.0.0.1|localhost|mssql|https|9443|yes");
    const std::string log = logText();
    EXPECT_NE(log.find("\n Inside CConforaDlg::OnInitDialog Method "), std::string::npos);
    EXPECT_NE(log.find("\n serverDb        from UI : mssql "), std::string::npos);
}

TEST_F(ConforaDialogGui, EmptyInputAndRetryOpenANewDialogAndAbortEndsWithInstallfail) {
    startConfora();
    std::string window = waitForWindow(kTitle);
    ASSERT_FALSE(window.empty());
    click(window, "1004");  // OK with nothing typed

    const std::string error = waitForWindow("^ Error $");
    ASSERT_FALSE(error.empty());
    screenshot(error, "confora-empty-input.png");
    xdotool("mousemove --window " + error + " 1 1 key Return");

    window = waitForWindow(kTitle);
    ASSERT_FALSE(window.empty());
    typeInto(window, "1000", "localhost");
    typeInto(window, "1001", "127.0.0.9");
    click(window, "1004");
    std::string warning = waitForWindow("^ Error $");
    ASSERT_FALSE(warning.empty());
    screenshot(warning, "confora-resolve-failure.png");
    xdotool("mousemove --window " + warning + " 1 1 key r");  // Retry

    window = waitForWindow(kTitle);
    ASSERT_FALSE(window.empty());
    click(window, "1004");  // the new dialog starts empty: the error again
    xdotool("mousemove --window " + waitForWindow("^ Error $") + " 1 1 key Return");
    window = waitForWindow(kTitle);
    ASSERT_FALSE(window.empty());
    typeInto(window, "1000", "localhost");
    typeInto(window, "1001", "127.0.0.9");
    click(window, "1004");
    warning = waitForWindow("^ Error $");
    ASSERT_FALSE(warning.empty());
    xdotool("mousemove --window " + warning + " 1 1 key a");  // Abort

    EXPECT_EQ(conforaExit(), 0);
    EXPECT_EQ(installFail(), kInstallFailText);
    EXPECT_EQ(written(), "-|-|-|-|-|-");
}

TEST_F(ConforaDialogGui, IgnoreWritesTheFieldsAsTypedAndLongTextsStopAtTheFieldLimits) {
    startConfora();
    const std::string window = waitForWindow(kTitle);
    ASSERT_FALSE(window.empty());
    // An address alone that is no dotted IPv4 address: no look-up is made.
    typeInto(window, "1001", "10.20.30.40.50.60.70.80.90");
    typeInto(window, "1007", std::string(25, '7'));
    click(window, "1004");
    const std::string warning = waitForWindow("^ Error $");
    ASSERT_FALSE(warning.empty());
    xdotool("mousemove --window " + warning + " 1 1 key i");  // Ignore

    EXPECT_EQ(conforaExit(), 0);
    EXPECT_EQ(written(), "10.20.30.40.50.60.70.80.9||postgres|http|" + std::string(19, '7') + "|no");
    EXPECT_TRUE(installFail().empty());
}

TEST_F(ConforaDialogGui, ARegistryThatCannotBeWrittenIsShownNotOnlyLogged) {
    const std::string blocker = (root / "not-a-folder").string();
    { std::FILE* f = std::fopen(blocker.c_str(), "w"); std::fclose(f); }
    startConfora(blocker + "/registry.reg");
    const std::string window = waitForWindow(kTitle);
    ASSERT_FALSE(window.empty());
    typeInto(window, "1000", "localhost");
    xdotool("key Return");  // Enter presses OK from the field
    const std::string error = waitForWindow("^ Error $");
    ASSERT_FALSE(error.empty());
    screenshot(error, "confora-write-failure.png");
    xdotool("mousemove --window " + error + " 1 1 key Return");
    EXPECT_EQ(conforaExit(), 3);
}

// The keyboard as in a Windows dialog: one tab stop per radio group (seven
// in all, so the seventh Tab comes back to the first field), arrow keys
// that move round a group and choose, Enter for OK.
TEST_F(ConforaDialogGui, TabVisitsEachRadioGroupOnceAndArrowKeysChooseWithinIt) {
    startConfora();
    const std::string window = waitForWindow(kTitle);
    ASSERT_FALSE(window.empty());
    typeInto(window, "1001", "127.0.0.1");
    click(window, "1000");
    // name, address, port, OK: the database group comes fourth.
    xdotool("key --delay 20 Tab Tab Tab Tab Right Right Right Left");  // mysql, mssql, postgres, mssql
    xdotool("key --delay 20 Tab Down");                                // protocol: https
    xdotool("key --delay 20 Tab Right");                               // AWS: yes
    xdotool("key --delay 20 Tab");                                     // round to the name field
    xdotool("type --delay 1 localhost");
    screenshot(window, "confora-keyboard.png");
    xdotool("key Return");
    EXPECT_EQ(conforaExit(), 0);
    EXPECT_EQ(written(), "127.0.0.1|localhost|mssql|https|8400|yes");
}

// Enter presses the focused button of the Abort/Retry/Ignore box, which
// Escape does not close (it has no Cancel); Escape closes the settings
// dialog without writing anything.
TEST_F(ConforaDialogGui, EnterPressesTheFocusedButtonAndEscapeCancelsTheDialog) {
    startConfora();
    std::string window = waitForWindow(kTitle);
    ASSERT_FALSE(window.empty());
    typeInto(window, "1000", "localhost");
    typeInto(window, "1001", "127.0.0.9");
    xdotool("key Return");
    const std::string warning = waitForWindow("^ Error $");
    ASSERT_FALSE(warning.empty());
    xdotool("mousemove --window " + warning + " 1 1 key --delay 20 Escape Tab Return");  // Retry

    window = waitForWindow(kTitle);
    ASSERT_FALSE(window.empty());
    xdotool("mousemove --window " + window + " 1 1 key Escape");
    EXPECT_EQ(conforaExit(), 5);
    EXPECT_TRUE(installFail().empty());
    EXPECT_EQ(written(), "-|-|-|-|-|-");

    // Enter on the box's first button, where the focus starts: Abort.
    startConfora();
    window = waitForWindow(kTitle);
    ASSERT_FALSE(window.empty());
    typeInto(window, "1000", "localhost");
    typeInto(window, "1001", "127.0.0.9");
    xdotool("key Return");
    xdotool("mousemove --window " + waitForWindow("^ Error $") + " 1 1 key Return");
    EXPECT_EQ(conforaExit(), 0);
    EXPECT_EQ(installFail(), kInstallFailText);
}

TEST_F(ConforaDialogGui, AnUnreadableRegistryIsShownBeforeTheDialogOpens) {
    { std::FILE* f = std::fopen(registryFile.c_str(), "wb"); std::fputs("Windows Registry Editor Version 5.00\n[HKEY", f);
      std::fclose(f); }
    startConfora();
    const std::string error = waitForWindow("^ Error $");
    ASSERT_FALSE(error.empty());
    screenshot(error, "confora-registry-unreadable.png");
    xdotool("mousemove --window " + error + " 1 1 key Return");
    EXPECT_EQ(conforaExit(), 4);
    EXPECT_FALSE(std::filesystem::exists(root / "install" / "logs" / "Confora.log"));
}

}  // namespace
