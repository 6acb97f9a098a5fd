#include <windows.h>

#include "platform/NamedPipe.h"
#include "platform/WideText_win32.h"

namespace platform {

NativeHandle createInboundNamedPipe(const char* name) {
    if (!name) {
        return kInvalidHandle;
    }
    const auto wide = widenSystemCodePage(name);
    if (!wide) {
        return kInvalidHandle;
    }
    const HANDLE pipe =
        ::CreateNamedPipeW(wide->c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED, 0, 1, 0, 0, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE || pipe == nullptr) {
        return kInvalidHandle;
    }
    return reinterpret_cast<NativeHandle>(pipe);
}

} // namespace platform
