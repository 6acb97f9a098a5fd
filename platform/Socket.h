#pragma once

#include "platform/Handle.h"

namespace platform {

// Wakes a thread blocked in a synchronous receive on this socket, which then returns an error
// (POSIX: shutdown; Windows: CancelIoEx). The socket stays open; its owner closes it after the reader
// has been joined.
void interruptSocketRead(NativeHandle socket);

} // namespace platform
