// Change journal files and USN record buffers as JSON lines.
#pragma once

#include <string>

// A journal file of the POSIX change journal ("<letter>.journal"): a line
// with the header, then one line per record from FirstUsn to NextUsn.
bool journalFileToJsonLines(const std::string& bytes, std::string& out, std::string& error);
// The output of a journal read or enumeration (the next USN or reference in
// its first 8 bytes, then records), or records alone with `bare`.
bool usnBufferToJsonLines(const std::string& bytes, bool bare, std::string& out, std::string& error);
