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
    std::string path = *value;
    for (const char* c = suffix; c && *c; ++c) {
        path.push_back(*c == '\\' ? '/' : *c);
    }
    return path;
}

void setEnv(const char* name, const char* value) { ::setenv(name, value, 1); }
void unsetEnv(const char* name) { ::unsetenv(name); }

} // namespace platform
