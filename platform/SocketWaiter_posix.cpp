#include "platform/SocketWaiter.h"

#include "platform/WakeablePoll_posix.h"

#include <poll.h>

namespace platform {

struct SocketWaiter::Native {
    WakeablePoll poll;
};

SocketWaiter::SocketWaiter() : native_(new Native) {}

SocketWaiter::~SocketWaiter() {
    delete native_;
}

SocketWaiter::Result SocketWaiter::waitReadable(NativeHandle socket, int timeoutMs) {
    short revents = 0;
    const auto outcome =
        native_->poll.wait(static_cast<int>(socket), POLLIN, revents, interrupted_, timeoutMs);
    switch (outcome) {
    case WakeablePoll::Outcome::Ready:
        break;
    case WakeablePoll::Outcome::Interrupted:
        return Result::Interrupted;
    case WakeablePoll::Outcome::TimedOut:
        return Result::TimedOut;
    case WakeablePoll::Outcome::Failed:
        return Result::Failed;
    }
    // Hang-up and error are readable too: the read that follows reports them.
    return (revents & (POLLIN | POLLHUP | POLLERR)) ? Result::Readable : Result::Failed;
}

void SocketWaiter::interrupt() {
    interrupted_.store(true);
    native_->poll.wake();
}

void SocketWaiter::reset() {
    interrupted_.store(false);
    native_->poll.drain();
}

} // namespace platform
