#include <windows.h>

#include "platform/Pipe.h"

namespace platform {

bool createPipe(NativeHandle& readEnd, NativeHandle& writeEnd) {
    HANDLE r = nullptr;
    HANDLE w = nullptr;
    if (!::CreatePipe(&r, &w, nullptr, 0)) {
        return false;
    }
    readEnd = reinterpret_cast<NativeHandle>(r);
    writeEnd = reinterpret_cast<NativeHandle>(w);
    return true;
}

bool writeAll(NativeHandle handle, const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        DWORD written = 0;
        const DWORD chunk = size > 65536 ? 65536 : static_cast<DWORD>(size);
        if (!::WriteFile(reinterpret_cast<HANDLE>(handle), p, chunk, &written, nullptr)) {
            return false;
        }
        p += written;
        size -= written;
    }
    return true;
}

} // namespace platform
