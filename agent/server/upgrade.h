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
// 0 when Renovo.exe was downloaded into the folder, 1 otherwise.
int DownloadRenovo(const std::string& upgradeFolder);
// Copies the three libraries from the install directory's bin folder.
void CopyRenovoLibraries(const std::string& installDir, const std::string& upgradeFolder);
// TEMP followed by the separator and "OrbiskAgent" (on POSIX: TEMP, else
// TMPDIR, else /tmp).
std::string UpgradeFolder();

bool IsWow64();
bool DisableFsRedirection();
bool RevertFsRedirection();
