// The process environment. On Windows this is the environment block that
// child processes inherit (Get/SetEnvironmentVariableW), in UTF-8 here.
#pragma once

#include <optional>
#include <string>

namespace platform {

// The variable's value; nullopt when it is not set.
std::optional<std::string> getEnvironment(const std::string& name);
// Sets or replaces the variable; false for an empty name or one with "=".
bool setEnvironment(const std::string& name, const std::string& value);
// Removes the variable; removing one that is not set is success.
bool unsetEnvironment(const std::string& name);

}  // namespace platform
