#include "platform/Socket.h"

#include <sys/socket.h>

namespace platform {

void interruptSocketRead(NativeHandle socket) {
    if (!isValid(socket)) {
        return;
    }
    ::shutdown(static_cast<int>(socket), SHUT_RDWR);
}

} // namespace platform
