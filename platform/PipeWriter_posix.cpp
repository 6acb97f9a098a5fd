#include "platform/PipeWriter.h"

#include "platform/WakeablePoll_posix.h"

#include <cerrno>
#include <climits>
#include <poll.h>
#include <unistd.h>

namespace platform {

struct PipeWriter::Native {
    WakeablePoll poll;
};

PipeWriter::PipeWriter() : native_(new Native) {}

PipeWriter::~PipeWriter() {
    delete native_;
}

PipeWriter::Status PipeWriter::writeAll(NativeHandle handle, const void* data, std::size_t size) {
    if (!isValid(handle) || handle < 0) {
        return interrupted_.load() ? Status::Interrupted : Status::Failed;
    }
    const int fd = static_cast<int>(handle);
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        short revents = 0;
        const auto outcome = native_->poll.wait(fd, POLLOUT, revents, interrupted_);
        if (outcome != WakeablePoll::Outcome::Ready) {
            return outcome == WakeablePoll::Outcome::Interrupted ? Status::Interrupted : Status::Failed;
        }
        if (revents & POLLNVAL) {
            return Status::Failed;
        }
        if (revents & (POLLERR | POLLHUP)) {
            return Status::Broken;
        }
        if (!(revents & POLLOUT)) {
            continue;
        }
        // Room for at least PIPE_BUF bytes is what POLLOUT promises on a pipe; a larger write could block.
        const std::size_t chunk = size > PIPE_BUF ? PIPE_BUF : size;
        const ssize_t n = ::write(fd, p, chunk);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
                continue;
            }
            return errno == EPIPE ? Status::Broken : Status::Failed;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return Status::Written;
}

void PipeWriter::interrupt() {
    interrupted_.store(true);
    native_->poll.wake();
}

} // namespace platform
