// Windows result codes shared by the platform services (0 is success).
#pragma once

#include <string>

namespace platform {

constexpr long kErrorSuccess = 0;
constexpr long kErrorInvalidFunction = 1;
constexpr long kErrorFileNotFound = 2;
constexpr long kErrorPathNotFound = 3;
constexpr long kErrorAccessDenied = 5;
constexpr long kErrorInvalidHandle = 6;
constexpr long kErrorInvalidData = 13;
constexpr long kErrorInvalidParameter = 87;
constexpr long kErrorMoreData = 234;
constexpr long kErrorNoMoreItems = 259;
constexpr long kErrorBadDatabase = 1009;  // ERROR_BADDB: the registry file is malformed

// The calling thread's last operating-system error (GetLastError on
// Windows, errno on POSIX), setting it back after a call that may change it,
// and the system's message for a code of that kind.
long lastSystemError();
void setLastSystemError(long code);
std::string systemErrorMessage(long code);

}  // namespace platform
