#pragma once

// Conversions and waits that the Win32 files share; include <windows.h> first.

#include "platform/Handle.h"

#include <chrono>

namespace platform {

// A HANDLE as the NativeHandle the headers use (null and INVALID_HANDLE_VALUE both mean "no handle"),
// and back.
inline NativeHandle toNative(HANDLE handle) {
    return (handle == nullptr || handle == INVALID_HANDLE_VALUE) ? kInvalidHandle
                                                                 : reinterpret_cast<NativeHandle>(handle);
}

inline HANDLE toHandle(NativeHandle handle) {
    return isValid(handle) ? reinterpret_cast<HANDLE>(handle) : nullptr;
}

// Closes a handle this process owns and forgets it.
inline void closeOwned(HANDLE& handle) {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
        ::CloseHandle(handle);
    }
    handle = nullptr;
}

// WaitForSingleObject takes a DWORD of milliseconds; INFINITE itself must never come from a limit.
inline DWORD waitMilliseconds(std::chrono::milliseconds limit) {
    if (limit.count() <= 0) {
        return 0;
    }
    if (limit.count() >= static_cast<long long>(INFINITE)) {
        return INFINITE - 1;
    }
    return static_cast<DWORD>(limit.count());
}

} // namespace platform
