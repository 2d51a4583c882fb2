// Confora's core, shared by the dialog front ends and the unattended mode:
// the check behind OK (both fields empty, forward and reverse look-ups, the
// comparison), the six registry writes, Confora.log and Installfail.txt.
// Nothing here draws a window.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// Field limits of the dialog, in UTF-16 units as a Windows edit control
// counts them. The port has room for 19 characters and its terminator.
inline constexpr std::size_t kServerNameLimit = 50;
inline constexpr std::size_t kServerIpLimit = 25;
inline constexpr std::size_t kServerPortLimit = 19;
inline constexpr const char* kDefaultServerPort = "8400";

// What the dialog holds when OK is pressed. Texts are UTF-8. The database,
// protocol and AWS flag start as an untouched dialog has them.
struct WizardInput {
    std::string serverName;
    std::string serverIp;
    std::string serverPort;
    std::string database = "postgres";
    std::string protocol = "http";
    bool aws = false;
};

// The name service the check uses; by default the platform's look-ups.
struct NameLookup {
    // Every IPv4 address of a name, first one first; 0 or a WSA error code.
    std::function<long(const std::string&, std::vector<std::string>*)> forward;
    // The official host name of a dotted IPv4 address; 0 or a WSA error code.
    std::function<long(const std::string&, std::string*)> reverse;
};
NameLookup PlatformNameLookup();

// The answer to "Unable to resolve Server's Host Name/IP address ...".
enum class MismatchChoice { Abort, Retry, Ignore };

enum class OkResult {
    Written,     // the six values were written (some writes may have failed)
    EmptyInput,  // name and address both empty: nothing written
    Retry,       // resolution failed and Retry was chosen: nothing written
    Aborted,     // resolution failed and Abort was chosen: Installfail.txt written
};

struct OkOutcome {
    OkResult result = OkResult::Written;
    // Why the look-up failed, in one line (empty when it did not).
    std::string resolutionProblem;
    // The values written (as resolved or typed).
    std::string writtenName;
    std::string writtenIp;
    // Registry values whose write failed, "Key\\Value" each.
    std::vector<std::string> failedWrites;
    // Abort: where Installfail.txt went and whether it could be written.
    std::string installFailPath;
    bool installFailWritten = false;
};

// The settings of a run: install directory (with its trailing separator)
// and the name service.
struct ConforaEnvironment {
    std::string installDir;
    // Why the registry cannot be read (one line naming the file), or "":
    // with a reason nothing is logged or written, the program says it and ends.
    std::string registryProblem;
    NameLookup lookup = PlatformNameLookup();
};

// AgentInstallDir from the registry, or the default install directory when
// the value cannot be read or is empty. A missing trailing separator is
// added so that "logs" and "Installfail.txt" land inside it.
std::string ConforaInstallDir();

// Opens Confora.log for appending in the install directory's "logs" folder
// at the level of AgentLogLevel (3 when absent). The folder is not created:
// without it the program runs without a log.
void OpenConforaLog(const std::string& installDir);
void CloseConforaLog();

// The log lines of a dialog being set up: before it sets up its controls,
// and once it is ready for input.
void LogDialogInitStart();
void LogDialogInitEnd();

// A field longer than its limit, as one line naming the field; none when
// every field fits. The dialog's own limits keep this from happening there.
std::optional<std::string> CheckFieldLengths(const WizardInput& input);

// Length of a UTF-8 text in UTF-16 units (what an edit control counts).
std::size_t EditControlLength(const std::string& utf8);

// The OK button: logs what the dialog holds, checks and resolves, and writes
// the settings. When the look-up fails or the two fields do not match,
// choose() is asked; the dialog closes its window in it before it asks.
// Abort writes Installfail.txt into the install directory (the current
// directory is left alone); Ignore writes the values as typed.
OkOutcome PressOk(const WizardInput& input, const ConforaEnvironment& env,
                  const std::function<MismatchChoice()>& choose);

// One line naming the registry values that could not be written; empty
// when every write succeeded.
std::string WriteFailureText(const OkOutcome& outcome);

// The texts the front ends show.
inline constexpr const char* kDialogTitle = "Connection Settings for Orbisk Agent-Server Communication";
inline constexpr const char* kEmptyInputMessage =
    " Server Name/IP both cannot be NULL. Please enter a value for atleast one! ";
inline constexpr const char* kResolveFailureMessage =
    " Unable to resolve Server's Host Name/IP address. Please click IGNORE if you are sure Host "
    "details are correct else click RETRY to enter correct details again else click ABORT to "
    "cancel Installation ";
inline constexpr const char* kErrorCaption = " Error ";
