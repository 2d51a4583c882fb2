// Files and folders of the agent that only its own user may use: the logs,
// the data files under serverdata/ and data/ (FIM folders included), the
// upgrade folder. The agent runs as root and these files hold the hosts'
// data, so other local users must neither read them nor slip a link or a
// device in their place.
//
// POSIX: new files 0600 and folders 0700 (umask 077 for the whole process);
// existing ones are brought to those modes; a symbolic link is never
// followed. Windows: the install directory's inherited DACL does the same
// job, so these only refuse reparse points and otherwise do what the plain
// calls do.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace platform {

// Every file and folder the process creates from now on admits only its own
// user (umask 077). Called once at the start of the agent.
void restrictNewFiles();

// Creates the folder and its missing parents, each 0700; an existing folder
// of the process's user gets 0700. False (with errno) when the path or a
// part of it is a symbolic link or not a folder, or it cannot be made.
bool makePrivateDirectory(const std::string& path);

// An existing regular file gets 0600; a missing one is no error. False for a
// symbolic link or anything but a regular file.
bool makePrivateFile(const std::string& path);

// fopen for the agent's own data files: mode "r", "rb", "w", "wb", "a",
// "ab", "a+" or "r+"; a file created is 0600; the last part of the path is
// never followed when it is a symbolic link, and only a regular file is
// opened (a FIFO or device is refused without blocking). nullptr with errno
// (ELOOP for a link, EINVAL for another kind of file) otherwise.
std::FILE* openRegularFile(const std::string& path, const char* mode);

// True when the path names a regular file itself, not through a link.
bool isRegularFileNoFollow(const std::string& path);

// Lets every user read a file the agent wrote (0644 on POSIX), for a file
// another program reads as its own user. Windows: the file keeps the ACL its
// folder gives it; nothing to do. 0 or the error.
long makeReadableByAll(const std::string& path);

// A folder for a program that the agent downloads and then starts, and the
// program's file in it. POSIX: the folder is made 0700; one that exists must
// be a real folder of this user that no one else may use, in a parent that
// only this user or root may write. Windows: the folder is created, or its
// DACL replaced, so that only SYSTEM and the Administrators may use it.
// False with the reason (a phrase after the folder's name) in *problem.
bool prepareProgramFolder(const std::string& folder, std::string* problem);

// Which file a program file is (device and inode; volume serial number and
// file index on Windows).
struct ProgramFileId {
    std::uint64_t volume = 0;
    std::uint64_t file = 0;
};

// Creates the file anew for binary writing: a file left there is removed
// first, and the new one is never opened through a link or a file that
// appeared meanwhile. nullptr with the reason in *problem.
std::FILE* createProgramFile(const std::string& path, std::string* problem);
// Makes the written file runnable by its owner only (POSIX 0700) and tells
// which file it is.
bool sealProgramFile(std::FILE* file, ProgramFileId* id);
// True when the path names that very file itself (not through a link), and
// on POSIX still owned by this user with mode 0700.
bool isSameProgramFile(const std::string& path, const ProgramFileId& id);

}  // namespace platform
