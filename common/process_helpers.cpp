#include "common/process_helpers.h"

#include <cstdint>
#include <cstdio>
#include <string_view>

#include "common/log.h"
#include "platform/errors.h"
#include "platform/fs.h"
#include "platform/process.h"

namespace {

struct UpdateError {
    long code;
    const char* text;
};

constexpr UpdateError kUpdateErrors[] = {
    {17021, "OfficeUpdateError: Creating temp folder."},
    {17023, "OfficeUpdateError: User cancelled installation."},
    {17024, "OfficeUpdateError: Creating folder failed."},
    {17025, "OfficeUpdateError: Patch already installed."},
    {17026, "OfficeUpdateError: Patch already installed to admin installation."},
    {17027, "OfficeUpdateError: Installation source requires full file update."},
    {17028, "OfficeUpdateError: No product installed for contained patch."},
    {17029, "OfficeUpdateError: Patch failed to install."},
    {17030, "OfficeUpdateError: Invalid CIF format."},
    {17031, "OfficeUpdateError: Invalid baseline."},
    {17034, "OfficeUpdateError: Required patch does not apply to the machine."},
    {17301, "OfficeUpdateError: General Detection error"},
    {17302, "OfficeUpdateError: Applying patch."},
    {17303, "OfficeUpdateError: Extracting file."},
};

using Writer = void (*)(const char*, ...);

// Writers of the tools layout and of the agent layout for each message.
struct Writers {
    Writer tools;
    Writer agent;
};
constexpr Writers kFrame{LogInfo, LogInfo};
constexpr Writers kProgress{LogEssential, LogInfo};
constexpr Writers kProblem{LogEssential, LogError};
constexpr Writers kFailure{LogError, LogError};

// The agent's form of a tools message: no leading "\n ", one trailing
// blank and a line break.
std::string agentForm(std::string_view tools) {
    if (tools.substr(0, 2) == "\n ") tools.remove_prefix(2);
    while (!tools.empty() && tools.back() == ' ') tools.remove_suffix(1);
    return std::string(tools) + " \n";
}

template <typename... Args>
void say(MessageLayout layout, Writers writers, const char* tools, Args... args) {
    std::string agent;
    const char* format = tools;
    Writer writer = writers.tools;
    if (layout == MessageLayout::Agent) {
        agent = agentForm(tools);
        format = agent.c_str();
        writer = writers.agent;
    }
    if constexpr (sizeof...(args) == 0)
        writer("%s", format);
    else
        writer(format, args...);
}

// Exit codes that mean the installer succeeded: done, reboot started,
// reboot needed.
bool successfulExitCode(std::uint32_t code) { return code == 0 || code == 1641 || code == 3010; }

}  // namespace

std::string GetUpdateErrorText(long code) {
    for (const auto& e : kUpdateErrors)
        if (e.code == code) return e.text;
    char text[64];
    std::snprintf(text, sizeof text, "Unknown Error. Code : %ld", code);
    return text;
}

std::string ReportErrorCode(long code, MessageLayout layout) {
    std::string text = GetUpdateErrorText(code);
    if (code != 0) {
        if (layout == MessageLayout::Tools)
            LogError("\n Error Code : %ld , Error Message : %s", code, text.c_str());
        else
            LogError("Error Code : %ld , Error Message : %s \n", code, text.c_str());
    } else {
        if (layout == MessageLayout::Tools)
            LogEssential("\n Message : %s", text.c_str());
        else
            LogEssential("Message : %s ", text.c_str());
    }
    return text;
}

void LogLastSystemError() {
    const long error = platform::lastSystemError();
    LogError("\n Error Message: %s", platform::systemErrorMessage(error).c_str());
    platform::setLastSystemError(error);
}

long execute(const char* directory, const char* commandLine, std::string* remarks, int minutes,
             bool showWindow, MessageLayout layout) {
    const std::string command = commandLine ? commandLine : "";
    const bool haveDirectory = directory && *directory;
    std::string remarkText;
    auto setRemarks = [&](long code) {
        remarkText = GetUpdateErrorText(code);
        if (remarks) *remarks = remarkText;
    };
    say(layout, kFrame, "\n @@@@@@@@ Inside execute Method @@@@@@@@");

    if (haveDirectory) {
        // The program gets the directory as its own working directory; the
        // caller's stays as it is, so "remembering" and "restoring" it are
        // only reported.
        std::string current;
        const long cwdError = platform::currentDirectory(&current);
        if (cwdError != 0) {
            say(layout, kFailure, "\n execute: Failed to get the CurrentWorkingDirectory ");
            ReportErrorCode(cwdError, layout);
            setRemarks(cwdError);
            return cwdError;
        }
        say(layout, kProgress, "\n execute : Current Working Directory : %s ", current.c_str());
        say(layout, kProgress, "\n execute : Executing Application Source : %s ", command.c_str());
        say(layout, kProgress, "\n execute : Set Working Directory : %s ", directory);
    }

    platform::Process process(nullptr, nullptr);
    long result = platform::startProcess(command, haveDirectory ? directory : "", showWindow, &process);
    if (result != 0 && result == platform::kErrorDirectory && haveDirectory) {
        say(layout, kFailure, "\n execute : Failed to set the WorkingDirectory %s ", directory);
        ReportErrorCode(result, layout);
        setRemarks(result);
        return result;
    }
    if (result != 0) {
        say(layout, kProblem, "\n execute : Failed to Create the Process for installing Patch ");
        setRemarks(result);
    } else {
        say(layout, kProgress, "\n execute : Process successfully created for application %s ",
            command.c_str());
        if (minutes == 0) {
            setRemarks(0);  // the program runs on
        } else {
            std::uint32_t exitCode = 0;
            long waited = platform::waitProcess(
                process, minutes < 0 ? -1 : static_cast<std::int64_t>(minutes) * 60000, &exitCode);
            if (waited == platform::kWaitTimeout) {
                result = platform::kWaitTimeout;
                say(layout, kProblem,
                    "\n execute : Terminating the Process for application %s as time is exceeded %d Minutes ",
                    command.c_str(), minutes);
                setRemarks(result);
                platform::terminateProcess(process, 0);
            } else if (waited == 0) {
                setRemarks(static_cast<long>(exitCode));
                say(layout, kProgress, "\n execute : Error Code : %d ", static_cast<int>(exitCode));
                result = successfulExitCode(exitCode) ? 0 : static_cast<long>(exitCode);
            } else {
                result = waited;
                setRemarks(result);
            }
        }
    }
    say(layout, kProgress, "\n execute : Remarks from the CreateProcess is %s for the executable %s ",
        remarkText.c_str(), command.c_str());
    say(layout, kFrame, "\n @@@@@@@@ End Of execute Method @@@@@@@@ ");
    return result;
}
