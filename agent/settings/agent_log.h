// The agent's log file: "agentlog.out" in the log directory, emptied at every
// start and moved to "agentlog1.out" when a periodic check finds it larger
// than 10000000 bytes.
#pragma once

#include <cstdint>
#include <string>

inline constexpr const char* kAgentLogName = "agentlog.out";
inline constexpr const char* kAgentLogPreviousName = "agentlog1.out";
inline constexpr std::int64_t kAgentLogRotateAbove = 10000000;
// The log level when the registry has no AgentLogLevel.
inline constexpr unsigned char kAgentLogDefaultLevel = 3;

// The level of the agent's log: the REG_DWORD AgentLogLevel of the agent key
// (0 writes nothing, 1 LogEssential only, ... 4 also LogTrace), 3 when it is
// absent or not a number.
unsigned char AgentLogLevelSetting();

// Configures the log facility for the agent at its level and opens the file
// with mode "w".
bool OpenAgentLog();
// Schedules the rotation check in "DEFAULT": first in 120 s, then every 120 s.
int ScheduleLogRotation();
// The timer callback: rotates the file when it is larger than the limit; the
// log is back at the agent's level afterwards.
void RotateAgentLog();
