// The text form of an owner account and of a DACL, as the integrity data
// sets store them:
//   "ACLINFO: " then, per written ACE, "ACETYPE: " type "," "ACCESS_MASK: "
//   {right ","} "TRUSTED_SID: " account ","   (the last "," removed)
#pragma once

#include <cstdint>
#include <string>

#include "platform/security.h"

// "ACCESS_MASK: " and the name of every row of the mask table whose bits are
// all set, each followed by ",".
std::string accessMaskText(std::uint32_t mask, bool isFile);

// domain + "\\" + name, the backslash doubled for database flags 0 and 2.
std::string accountText(const std::string& domain, const std::string& name, int databaseFlag);

// The DACL text of a security descriptor (the steps after the descriptor was
// read); `path` is for the messages. Directories list an account once per
// ACE type.
std::string daclTextOfDescriptor(const platform::security::SecurityDescriptor& descriptor, const std::string& path,
                                 bool isFile, int databaseFlag);

// "\n Error Details: failed with error %d: %s" for a Windows error code.
void logWindowsErrorDetails(std::uint32_t code);
