#pragma once

#include <cstdint>

namespace platform {

// A native handle as an integer: a HANDLE on Windows, a file descriptor on POSIX.
using NativeHandle = std::intptr_t;
// The one value that means "no handle" on every backend (null handles are mapped to it too).
constexpr NativeHandle kInvalidHandle = -1;

inline bool isValid(NativeHandle handle) {
    return handle != kInvalidHandle;
}

// Closes a handle this process owns; an invalid handle is ignored.
void closeHandle(NativeHandle handle);

} // namespace platform
