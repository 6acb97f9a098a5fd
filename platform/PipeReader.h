#pragma once

#include "platform/Handle.h"

#include <atomic>
#include <cstddef>

namespace platform {

// Blocking reads of a console pipe that another thread can interrupt (Windows: CancelSynchronousIo on
// the reading thread, retried while the reader is not yet inside ReadFile; POSIX: poll with a wake-up).
// One thread reads; any thread may interrupt. Once interrupted, every later read returns Interrupted.
class PipeReader {
public:
    enum class Status { Data, EndOfFile, Failed, Interrupted };

    PipeReader();
    ~PipeReader();
    PipeReader(const PipeReader&) = delete;
    PipeReader& operator=(const PipeReader&) = delete;

    // Reads up to `size` bytes; waits while the pipe is empty. `got` is the count read.
    Status read(NativeHandle handle, void* buffer, std::size_t size, std::size_t& got);

    // Wakes a blocked read and makes later reads return at once.
    void interrupt();

private:
    struct Native;
    Native* native_;
    std::atomic<bool> interrupted_{false};
};

} // namespace platform
