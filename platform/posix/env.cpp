// The process environment on POSIX.
#include "platform/env.h"

#include <cstdlib>

namespace platform {

namespace {

bool validName(const std::string& name) { return !name.empty() && name.find('=') == std::string::npos; }

}  // namespace

std::optional<std::string> getEnvironment(const std::string& name) {
    if (!validName(name)) return std::nullopt;
    const char* value = std::getenv(name.c_str());
    if (!value) return std::nullopt;
    return std::string(value);
}

bool setEnvironment(const std::string& name, const std::string& value) {
    return validName(name) && ::setenv(name.c_str(), value.c_str(), 1) == 0;
}

bool unsetEnvironment(const std::string& name) { return validName(name) && ::unsetenv(name.c_str()) == 0; }

}  // namespace platform
