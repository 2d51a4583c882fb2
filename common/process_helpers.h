// Tamsel's installer-code texts, error reports and program runner.
//
// The settings wizard and the status tool lay their messages out with a
// leading "\n " (MessageLayout::Tools); the agent's copies write the same
// texts without it and end them with " \n" (MessageLayout::Agent), logging
// progress with LogInfo and failures with LogError.
#pragma once

#include <string>

enum class MessageLayout { Tools, Agent };

// The text for an installer exit code: the update-error table, or
// "Unknown Error. Code : %d" for a code it does not list.
std::string GetUpdateErrorText(long code);
// Looks the code up and logs it ("Error Code : ... , Error Message : ..."
// with LogError, or for 0 "Message : ..." with LogEssential). Returns the text.
std::string ReportErrorCode(long code, MessageLayout layout = MessageLayout::Tools);
// Logs "\n Error Message: %s" with the text of the calling thread's last
// system error (errno on POSIX, GetLastError on Windows).
void LogLastSystemError();

// Starts commandLine as a new program, with directory (null or "" for the
// caller's own) as its working directory. The caller's current directory is
// never changed, so other threads' relative paths stay valid.
//   minutes == 0: the program runs on; the result is 0.
//   minutes > 0: waits at most that long (clock time); past it the program
//     is terminated and the result is 258.
//   minutes < 0: waits without limit.
// A finished program's exit code is the result, except that 0, 1641 and
// 3010 (success, reboot started, reboot needed) give 0. A program that
// cannot be started gives the system's code (2 when it is not found).
// *remarks (when given) receives the text of the exit code or error code.
long execute(const char* directory, const char* commandLine, std::string* remarks, int minutes,
             bool showWindow, MessageLayout layout = MessageLayout::Tools);
