// logs/status.json under the install folder: what the agent is doing, for an
// administrator or a monitoring check. Written whole every 10 s of clock
// time and at the stop (written aside, then renamed over the old one), 0600.
// Nothing of it goes to the server.
#pragma once

#include <cstdint>
#include <string>

// Notes the clock time the agent started at (the file's "startedAt").
void NoteAgentStarted();
// Writes the file every 10 s of clock time from now on; false when the
// scheduler took no entry.
bool ScheduleStatusFile();
// Writes the file now; false (with the reason logged) when it could not be.
bool WriteStatusFile();
// The file's text for the given clock time.
std::string StatusFileText(std::int64_t now);
