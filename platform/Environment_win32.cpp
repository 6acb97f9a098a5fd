#include "platform/Environment.h"

#include <cstdlib>

namespace platform {

std::optional<std::string> getEnv(const char* name) {
    const char* value = std::getenv(name);
    if (!value) {
        return std::nullopt;
    }
    return std::string(value);
}

std::optional<std::string> envPath(const char* variable, const char* suffix) {
    auto value = getEnv(variable);
    if (!value) {
        return std::nullopt;
    }
    return *value + (suffix ? suffix : "");
}

void setEnv(const char* name, const char* value) {
    ::_putenv_s(name, value);
}
void unsetEnv(const char* name) {
    ::_putenv_s(name, "");
}

} // namespace platform
