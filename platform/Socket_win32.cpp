#include <winsock2.h>
#include <windows.h>

#include "platform/Socket.h"

namespace platform {

void interruptSocketRead(NativeHandle socket) {
    if (!isValid(socket)) {
        return;
    }
    // shutdown does not wake a receive that is already blocked under Wine; cancelling every I/O on the
    // socket does, on Windows and Wine alike, and leaves the socket open for its owner to close.
    ::CancelIoEx(reinterpret_cast<HANDLE>(static_cast<SOCKET>(socket)), nullptr);
}

} // namespace platform
