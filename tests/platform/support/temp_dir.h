// A fresh folder for one test (tests/support/temp_folder.h) and small file
// helpers for the POSIX tests that use it.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/temp_folder.h"

using TempDir = TempFolder;

inline std::string slurp(const std::filesystem::path& p) { return readWholeFile(p); }

// Writes a shell script (executable unless asked otherwise).
inline void writeScript(const std::filesystem::path& p, const std::string& body, bool executable = true) {
    std::ofstream(p) << "#!/bin/sh\n" << body << "\n";
    namespace fs = std::filesystem;
    fs::permissions(p, executable ? fs::perms::owner_all : fs::perms::owner_read | fs::perms::owner_write);
}
