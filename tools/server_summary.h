// A plain-text summary of what orbisk-testserver received, read from its
// output folder: the requests by kind, and the decoded uploads as events
// per host and hour with their notifications.
#pragma once

#include <string>

// Writes the summary of the output folder to out; false (with a message in
// out) when the folder holds no request log.
bool summariseServerOutput(const std::string& outputDir, std::string& out);
