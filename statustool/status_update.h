// Statusnote: tells the server about a change of the agent's state without
// the agent running. It sends one agentStatusUpdate request with the status
// text of its command line, logging to agentstatusupdate.log in the agent's
// log directory, and always ends with exit code 1.
#pragma once

#include <functional>
#include <optional>
#include <string>

// The local host name (at most 250 bytes), or none when it cannot be had.
using HostNameQuery = std::function<std::optional<std::string>()>;
std::optional<std::string> LocalHostName();

// The whole run; answers the exit code (1).
int RunStatusUpdate(int argc, char** argv, const HostNameQuery& hostName = LocalHostName);
