// Version check and self-upgrade: every 90 minutes the agent asks the server
// for the current agent version; when it differs from AgentVersion, the
// upgrade program Renovo is downloaded into the upgrade folder, the
// libraries it needs are copied beside it, and it is started with the
// server's version text. The agent does not wait for it.
//
// Also the switches of the file-system redirection of a 32-bit process on
// 64-bit Windows; elsewhere IsWow64 is false and the switches succeed
// without changing anything.
#pragma once

#include <string>

// Schedules UpgradeCheck on "DEFAULT": now, then every 5400 s for ever.
bool ScheduleUpgradeCheck();
// The timer callback.
void UpgradeCheck();
void StartUpgrade(const std::string& serverVersion);
// 0 when Renovo.exe was downloaded into the folder as a new file, 1 otherwise
// (nothing is left behind).
int DownloadRenovo(const std::string& upgradeFolder);
// Copies the three libraries from the install directory's bin folder.
void CopyRenovoLibraries(const std::string& installDir, const std::string& upgradeFolder);
// Where Renovo is downloaded: TEMP followed by "\\OrbiskAgent" on Windows,
// made private to SYSTEM and the Administrators; on POSIX "OrbiskAgent" in the
// install directory, 0700, refused when it has another owner or mode. The
// download is capped at 64 MiB and 600 s, and a failed one starts nothing.
std::string UpgradeFolder();

bool IsWow64();
bool DisableFsRedirection();
bool RevertFsRedirection();
