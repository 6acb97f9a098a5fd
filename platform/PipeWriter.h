#pragma once

#include "platform/Handle.h"

#include <atomic>
#include <cstddef>

namespace platform {

// Blocking writes to a console pipe that another thread can interrupt, so a writer whose reader has
// stopped reading (a full pipe) can still be stopped and joined (Windows: CancelSynchronousIo on the
// writing thread, retried while it is not yet inside WriteFile; POSIX: poll for room with a wake-up,
// then writes of at most PIPE_BUF bytes, which a pipe with room takes without blocking).
// One thread writes; any thread may interrupt. Once interrupted, every later write returns Interrupted.
// POSIX: a vanished reader raises SIGPIPE unless the process ignores it (see TerminationRequest.h).
class PipeWriter {
public:
    enum class Status { Written, Broken, Failed, Interrupted };

    PipeWriter();
    ~PipeWriter();
    PipeWriter(const PipeWriter&) = delete;
    PipeWriter& operator=(const PipeWriter&) = delete;

    // Writes all bytes; waits while the pipe is full. Broken: the reading end is gone.
    Status writeAll(NativeHandle handle, const void* data, std::size_t size);

    // Wakes a blocked write and makes later writes return at once.
    void interrupt();

private:
    struct Native;
    Native* native_;
    std::atomic<bool> interrupted_{false};
};

} // namespace platform
