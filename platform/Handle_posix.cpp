#include "platform/Handle.h"

#include <unistd.h>

namespace platform {

void closeHandle(NativeHandle handle) {
    if (!isValid(handle) || handle < 0) {
        return;
    }
    // Not retried on EINTR: on Linux the descriptor is released even when close is interrupted.
    ::close(static_cast<int>(handle));
}

} // namespace platform
