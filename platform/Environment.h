#pragma once

#include <optional>
#include <string>

namespace platform {

// The variable's value as getenv gives it, or nothing when it is unset.
std::optional<std::string> getEnv(const char* name);

// The variable's value followed by a fixed suffix written with backslashes ("\Dir\file.txt").
// Windows: plain concatenation. POSIX: each backslash of the suffix becomes "/".
// Nothing when the variable is unset.
std::optional<std::string> envPath(const char* variable, const char* suffix);

// For tests and tools that lay out a sandbox.
void setEnv(const char* name, const char* value);
void unsetEnv(const char* name);

} // namespace platform
