// Sets (or removes) an environment variable for the life of the object and
// puts the old value back afterwards; through the platform layer, so child
// processes see it on every system.
#pragma once

#include <optional>
#include <string>

#include "platform/env.h"

class ScopedEnvironment {
public:
    ScopedEnvironment(std::string name, const std::optional<std::string>& value)
        : name_(std::move(name)), old_(platform::getEnvironment(name_)) {
        if (value)
            platform::setEnvironment(name_, *value);
        else
            platform::unsetEnvironment(name_);
    }
    ~ScopedEnvironment() {
        if (old_)
            platform::setEnvironment(name_, *old_);
        else
            platform::unsetEnvironment(name_);
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};
