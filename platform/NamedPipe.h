#pragma once

#include "platform/Handle.h"

namespace platform {

// Creates the server end of an inbound named pipe that allows one instance (Windows: CreateNamedPipeW
// with PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED, byte mode, 1 instance, no buffers, no time-out).
// POSIX: a FIFO standing for the pipe, one per name and process (see the README). The invalid handle
// when creation fails, which includes a second creation of the same name while the first lives.
NativeHandle createInboundNamedPipe(const char* name);

} // namespace platform
