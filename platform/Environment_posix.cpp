#include "platform/Environment.h"

#include <cstdlib>

namespace platform {

std::optional<std::string> getEnv(const char* name) {
    // The library only reads its environment; only tools and tests write it, before their threads start.
    const char* value = std::getenv(name); // NOLINT(concurrency-mt-unsafe)
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

// Tools and tests only, while they run a single thread.
void setEnv(const char* name, const char* value) {
    ::setenv(name, value, 1); // NOLINT(concurrency-mt-unsafe)
}
void unsetEnv(const char* name) {
    ::unsetenv(name); // NOLINT(concurrency-mt-unsafe)
}

} // namespace platform
