// What only tests install into the POSIX change journal: forced answers of
// its steps and refused watches. The shipped program installs none of them
// and reads no file or variable that would.
#pragma once

#include <functional>
#include <map>
#include <string>

namespace platform::usnjournal {

// Answers a step ("open", "volumeinfo", "fileindex", "query", "create",
// "delete", "read", "enum") of the volume `letter` whose journal lies in
// `journalDir`: a Windows result code to force, or kErrorSuccess to go on.
using JournalFaultHook =
    std::function<long(const std::string& journalDir, char letter, const std::string& step)>;
// Installs the hook; an empty one removes it.
void setJournalFaultHook(JournalFaultHook hook);

// The recursive inotify watcher fails to watch these folders (by local path)
// with the given errno, as the kernel does when the user's watch limit is
// reached; an empty map lifts the refusals.
void refuseWatches(const std::map<std::string, int>& folders);

}  // namespace platform::usnjournal
