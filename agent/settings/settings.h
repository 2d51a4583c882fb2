// The agent settings table, the agent's identity, the directory layout and
// the server URL base.
//
// The table is filled from the registry before any other thread starts; after
// that only the four server-supplied keys are added. Reads and writes take a
// lock so a timer callback never sees a half-written entry.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/key_table.h"
#include "common/log.h"
#include "platform/registry.h"

// Registry keys (under HKEY_LOCAL_MACHINE).
inline constexpr const char* kServerKeyPath = "Software\\Vardo Corp\\Orbisk\\ServerInfo";
inline constexpr const char* kAgentKeyPath = "Software\\Vardo Corp\\Orbisk\\Ambrik";

// Path separator of the install-relative texts ("\\" on Windows, "/" elsewhere).
#if defined(_WIN32)
inline constexpr const char* kPathSeparator = "\\";
inline constexpr const char* kDefaultInstallDir = "C:\\Program Files\\Orbisk_Agent\\";
#else
inline constexpr const char* kPathSeparator = "/";
inline constexpr const char* kDefaultInstallDir = "/opt/orbisk/agent/";
#endif

// Fills the settings table from the server key, then the agent key, opens the
// agent log and makes the install-bin directory current. False when the
// agent cannot run with what it read (a registry it cannot parse, no server
// address or port); the reason has then been written to standard error and
// the agent log.
bool LoadAgentSettings();
// Enumerates one registry key into a table (REG_SZ and REG_DWORD values);
// the result of opening the key (0, 2 when it does not exist, 1009 when the
// registry is malformed, ...).
long LoadRegistryKey(platform::RegistryRoot root, const std::string& keyPath,
                     KeyTable<std::string>& table);

// A setting by name; none when absent.
std::optional<std::string> GetAgentSetting(std::string_view name);
// Adds or replaces a setting (the server-supplied keys: SLID, AGENTVERSIONINSERVER,
// FIMREQUESTS_DELETED, BASECONFIG).
void PutAgentSetting(std::string_view name, const std::string& value);
// Empties the table (tests only).
void ResetAgentSettings();

// "%s://%s:%s/event/" with ServerProtocol, ServerIPAddress and ServerPort,
// followed by the request formatted from format and its arguments; logs
// "\n URL: %s". The URL is built whole, whatever its length.
std::string BuildServerUrl(const char* format, ...) TAMSEL_PRINTF(1, 2);

// Protocol flag: 1 when ServerProtocol is exactly "https", else 0.
void SetProtocolFlag();
// Database flag: 2 for "postgres", 1 for "mssql", 0 otherwise.
void SetDatabaseFlag();
int ProtocolFlag();
int DatabaseFlag();

// AgentInstallDir (with its trailing separator), or the default when absent.
std::string AgentInstallDir();
// AgentInstallDir followed by "bin" and the separator: the current directory.
std::string InstallBinDir();
// AgentInstallDir followed by "logs" and the separator.
std::string AgentLogDir();

// The agent's identity, kept for the life of the process.
std::int64_t AgentId();
void SetAgentId(std::int64_t id);
bool HaveAgentId();
std::string AgentHostName();
std::string AgentIpText();
void SetAgentHost(const std::string& hostName, const std::string& ipText);
bool AwsFlag();
void SetAwsFlag(bool aws);
