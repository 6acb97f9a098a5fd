#include "platform/PipeWriter.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace platform {

struct PipeWriter::Native {
    int wakeRead = -1;
    int wakeWrite = -1;
};

PipeWriter::PipeWriter() : native_(new Native) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        native_->wakeRead = fds[0];
        native_->wakeWrite = fds[1];
    }
}

PipeWriter::~PipeWriter() {
    if (native_->wakeRead >= 0) {
        ::close(native_->wakeRead);
        ::close(native_->wakeWrite);
    }
    delete native_;
}

PipeWriter::Status PipeWriter::writeAll(NativeHandle handle, const void* data, std::size_t size) {
    if (!isValid(handle) || handle < 0) {
        return interrupted_.load() ? Status::Interrupted : Status::Failed;
    }
    const int fd = static_cast<int>(handle);
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        if (interrupted_.load()) {
            return Status::Interrupted;
        }
        pollfd fds[2] = {{fd, POLLOUT, 0}, {native_->wakeRead, POLLIN, 0}};
        if (::poll(fds, native_->wakeRead >= 0 ? 2 : 1, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Status::Failed;
        }
        if (interrupted_.load()) {
            return Status::Interrupted;
        }
        if (fds[0].revents & POLLNVAL) {
            return Status::Failed;
        }
        if (fds[0].revents & (POLLERR | POLLHUP)) {
            return Status::Broken;
        }
        if (!(fds[0].revents & POLLOUT)) {
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
    if (native_->wakeWrite >= 0) {
        const char byte = 1;
        // A full wake-up pipe already holds a wake-up; nothing more is needed.
        [[maybe_unused]] const ssize_t written = ::write(native_->wakeWrite, &byte, 1);
    }
}

} // namespace platform
