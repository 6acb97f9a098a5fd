#include "platform/WakeablePoll_posix.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace platform {

WakeablePoll::WakeablePoll() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        wakeRead_ = fds[0];
        wakeWrite_ = fds[1];
    }
}

WakeablePoll::~WakeablePoll() {
    if (wakeRead_ >= 0) {
        ::close(wakeRead_);
        ::close(wakeWrite_);
    }
}

WakeablePoll::Outcome WakeablePoll::wait(int fd, short events, short& revents,
                                         const std::atomic<bool>& interrupted) {
    revents = 0;
    for (;;) {
        if (interrupted.load()) {
            return Outcome::Interrupted;
        }
        pollfd fds[2] = {{fd, events, 0}, {wakeRead_, POLLIN, 0}};
        if (::poll(fds, wakeRead_ >= 0 ? 2 : 1, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Outcome::Failed;
        }
        if (interrupted.load()) {
            return Outcome::Interrupted;
        }
        if (fds[0].revents != 0) {
            revents = fds[0].revents;
            return Outcome::Ready;
        }
    }
}

void WakeablePoll::wake() {
    if (wakeWrite_ >= 0) {
        const char byte = 1;
        // A full wake-up pipe already holds a wake-up; nothing more is needed.
        [[maybe_unused]] const ssize_t written = ::write(wakeWrite_, &byte, 1);
    }
}

void WakeablePoll::drain() {
    if (wakeRead_ >= 0) {
        char buffer[64];
        while (::read(wakeRead_, buffer, sizeof buffer) > 0) {
        }
    }
}

} // namespace platform
