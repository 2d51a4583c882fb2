// Program entry, the service layer, the start-up routine and the stop path.
#pragma once

// The program's main: service mode with no argument, console run with one.
int AgentMain(int argc, char** argv);

// The start-up routine followed by the 60-second main loop; returns only when
// a stop has been requested.
void RunAgent();

// The orderly stop: last data transfer, volume monitors, hosts, "ServiceStop".
void InvokeShutdown();

// True once a stop has been requested; long waits of the start-up (the
// registration retries) and the main loop end early then.
bool AgentStopRequested();
void RequestAgentStop();
// Waits up to ms of clock time; returns early (true) when a stop is requested.
bool WaitForAgentStop(long long ms);
