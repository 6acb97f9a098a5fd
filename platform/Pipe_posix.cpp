#include "platform/Pipe.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

bool createPipe(NativeHandle& readEnd, NativeHandle& writeEnd) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    readEnd = fds[0];
    writeEnd = fds[1];
    return true;
}

bool writeAll(NativeHandle handle, const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(static_cast<int>(handle), p, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace platform
