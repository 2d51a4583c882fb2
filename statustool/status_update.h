// Statusnote: tells the server about a change of the agent's state without
// the agent running. It sends one agentStatusUpdate request with the status
// text of its command line, logging to agentstatusupdate.log in the agent's
// log directory, and prints one line saying whether the server took it.
#pragma once

#include <functional>
#include <optional>
#include <string>

// The local host name (at most 250 bytes), or none when it cannot be had.
using HostNameQuery = std::function<std::optional<std::string>()>;
std::optional<std::string> LocalHostName();

// Exit codes.
inline constexpr int kStatusDelivered = 0;           // the server answered 200 (also --help)
inline constexpr int kStatusNotDelivered = 1;        // not reached, another answer, or no name to send
inline constexpr int kStatusRegistryUnreadable = 2;  // nothing sent, nothing logged

// The whole run; answers the exit code.
int RunStatusUpdate(int argc, char** argv, const HostNameQuery& hostName = LocalHostName);
