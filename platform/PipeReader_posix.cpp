#include "platform/PipeReader.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace platform {

struct PipeReader::Native {
    int wakeRead = -1;
    int wakeWrite = -1;
};

PipeReader::PipeReader() : native_(new Native) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        native_->wakeRead = fds[0];
        native_->wakeWrite = fds[1];
    }
}

PipeReader::~PipeReader() {
    if (native_->wakeRead >= 0) {
        ::close(native_->wakeRead);
        ::close(native_->wakeWrite);
    }
    delete native_;
}

PipeReader::Status PipeReader::read(NativeHandle handle, void* buffer, std::size_t size, std::size_t& got) {
    got = 0;
    if (!isValid(handle) || handle < 0) {
        // poll ignores negative descriptors and would wait on the wake-up alone.
        return interrupted_.load() ? Status::Interrupted : Status::Failed;
    }
    const int fd = static_cast<int>(handle);
    for (;;) {
        if (interrupted_.load()) {
            return Status::Interrupted;
        }
        pollfd fds[2] = {{fd, POLLIN, 0}, {native_->wakeRead, POLLIN, 0}};
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
        if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            continue;
        }
        const ssize_t n = ::read(fd, buffer, size);
        if (n > 0) {
            got = static_cast<std::size_t>(n);
            return Status::Data;
        }
        if (n == 0) {
            return Status::EndOfFile;
        }
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
            continue;
        }
        return Status::Failed;
    }
}

void PipeReader::interrupt() {
    interrupted_.store(true);
    if (native_->wakeWrite >= 0) {
        const char byte = 1;
        // A full wake-up pipe already holds a wake-up; nothing more is needed.
        [[maybe_unused]] const ssize_t written = ::write(native_->wakeWrite, &byte, 1);
    }
}

} // namespace platform
