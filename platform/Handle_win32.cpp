#include <windows.h>

#include "platform/Handle.h"

namespace platform {

void closeHandle(NativeHandle handle) {
    // Null is what failed Windows calls leave behind; it means "no handle" just as -1 does.
    if (!isValid(handle) || handle == 0) {
        return;
    }
    ::CloseHandle(reinterpret_cast<HANDLE>(handle));
}

} // namespace platform
