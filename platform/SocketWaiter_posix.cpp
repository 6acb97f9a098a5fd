#include "platform/SocketWaiter.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace platform {

struct SocketWaiter::Native {
    int wakeRead = -1;
    int wakeWrite = -1;
};

SocketWaiter::SocketWaiter() : native_(new Native) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        native_->wakeRead = fds[0];
        native_->wakeWrite = fds[1];
    }
}

SocketWaiter::~SocketWaiter() {
    if (native_->wakeRead >= 0) {
        ::close(native_->wakeRead);
        ::close(native_->wakeWrite);
    }
    delete native_;
}

SocketWaiter::Result SocketWaiter::waitReadable(NativeHandle socket) {
    for (;;) {
        if (interrupted_.load()) {
            return Result::Interrupted;
        }
        pollfd fds[2] = {{static_cast<int>(socket), POLLIN, 0}, {native_->wakeRead, POLLIN, 0}};
        const int n = ::poll(fds, native_->wakeRead >= 0 ? 2 : 1, -1);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Result::Failed;
        }
        if (interrupted_.load()) {
            return Result::Interrupted;
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            return Result::Readable;
        }
        if (fds[0].revents & POLLNVAL) {
            return Result::Failed;
        }
    }
}

void SocketWaiter::interrupt() {
    interrupted_.store(true);
    if (native_->wakeWrite >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = ::write(native_->wakeWrite, &byte, 1);
    }
}

void SocketWaiter::reset() {
    interrupted_.store(false);
    if (native_->wakeRead >= 0) {
        char buffer[64];
        while (::read(native_->wakeRead, buffer, sizeof buffer) > 0) {
        }
    }
}

} // namespace platform
