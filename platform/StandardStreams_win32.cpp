#include <windows.h>

#include "platform/StandardStreams.h"

namespace platform {

namespace {
NativeHandle standardHandle(DWORD which) {
    const HANDLE handle = ::GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return kInvalidHandle;
    }
    return reinterpret_cast<NativeHandle>(handle);
}
} // namespace

NativeHandle standardInput() {
    return standardHandle(STD_INPUT_HANDLE);
}
NativeHandle standardOutput() {
    return standardHandle(STD_OUTPUT_HANDLE);
}
NativeHandle standardError() {
    return standardHandle(STD_ERROR_HANDLE);
}

} // namespace platform
