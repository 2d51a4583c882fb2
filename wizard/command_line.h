// Confora's command line: the dialog by default, --unattended for scripted
// installs, --help. Exit codes of the unattended mode are below.
#pragma once

#include <functional>

#include "wizard/confora.h"

inline constexpr int kExitSuccess = 0;         // written; in the dialog also Abort (Installfail.txt written)
inline constexpr int kExitAborted = 1;         // unattended: name and address did not resolve or match
inline constexpr int kExitUsage = 2;           // unknown option, bad value, empty or overlong field, no display
inline constexpr int kExitRegistryWrite = 3;   // a registry value could not be written
inline constexpr int kExitRegistryUnreadable = 4;  // the registry cannot be read: nothing logged or written
inline constexpr int kExitCancelled = 5;       // the dialog was closed without OK: nothing written

// Runs the dialog until the program should end; answers the exit code. With
// env.registryProblem set it shows that in an error box instead, and
// answers kExitRegistryUnreadable.
using DialogRunner = std::function<int(const ConforaEnvironment&)>;

// The window front end of this build; none when it was built without one.
DialogRunner ConforaDialog();

// The whole program. env is the install directory and name service to use
// (tests pass their own); without it they come from the registry and the
// platform.
int RunConfora(int argc, char** argv, const DialogRunner& dialog,
               const ConforaEnvironment* env = nullptr);
