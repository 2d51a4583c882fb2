// Drive letters and the local directories behind them.
//
// On Windows a drive letter is a volume and these functions are the identity
// ("C:\\x" stays "C:\\x"). On POSIX systems a drive letter names a directory:
// the REG_SZ value named by the letter ("C", either case) under the registry
// key kVolumesKey, for example "C"="/srv/". A key without any letter value
// (or no key at all) maps C to "/" and nothing else. The REG_SZ value
// "JournalDir" of the same key names the folder that holds the change
// journals of every volume (default kDefaultJournalDir).
//
// The registry is read at every call, so a test that points ORBISK_REGISTRY
// at its own file sees its own map.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace platform {

inline constexpr const char* kVolumesKey = "Software\\Vardo Corp\\Orbisk\\Ambrik\\Volumes";
inline constexpr const char* kJournalDirValue = "JournalDir";
inline constexpr const char* kDefaultJournalDir = "/var/lib/orbisk/journal/";

// The directory of a drive letter (either case), without a trailing slash
// except for "/" itself. false when the letter is not mapped.
bool volumeDirectory(char driveLetter, std::string* directory);

// Every mapped letter (upper case) with its directory, in letter order.
std::vector<std::pair<char, std::string>> mappedVolumes();

// The journal folder, with a trailing slash.
std::string journalDirectory();

// A Windows path ("c:\\data\\a.txt", "C:\\", "C:") to the local path
// ("/srv/data/a.txt"). Backslashes (and slashes, which Windows takes as
// separators too) become slashes; empty and "." components and a trailing
// separator are dropped. false when the drive is not mapped, the path is not
// absolute with a drive letter, or it contains a NUL or a ".." component (so
// a path never leaves its volume's directory).
bool localPathOf(const std::string& windowsPath, std::string* localPath);

// A local path to its Windows path under the mapped volume whose directory
// holds it most closely ("/srv/data/a.txt" with C=/srv is "C:\\data\\a.txt",
// the directory itself is "C:\\"). false when no mapped directory holds it.
bool windowsPathOf(const std::string& localPath, std::string* windowsPath);

}  // namespace platform
