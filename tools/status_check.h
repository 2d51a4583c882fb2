// ambrik-inspect --status: reads the agent's logs/status.json, prints it for
// a person or as it is, and grades it for a monitoring check.
#pragma once

#include <cstdint>
#include <string>

// Exit codes of the check.
inline constexpr int kStatusOk = 0;
inline constexpr int kStatusWarning = 1;
inline constexpr int kStatusCritical = 2;
inline constexpr int kStatusUnknown = 3;

// Grades the status file's text at clock time `now` and writes the report
// (the problems first, then a line per data set) to *report; with `json`
// the report is the file's text as it is. Returns one of the codes above.
int checkStatusText(const std::string& text, std::int64_t now, bool json, std::string* report);

// The same for the file logs/status.json under an install folder.
int checkStatusFile(const std::string& installDir, std::int64_t now, bool json, std::string* report);

// The usage of the command below.
extern const char* const kStatusHelp;
// ambrik-inspect --status [--json] [INSTALL_DIR]: prints the report and
// gives the exit code. Without INSTALL_DIR, the agent's AgentInstallDir from
// the registry, else /opt/orbisk/agent.
int runStatusCommand(int argc, char** argv);
