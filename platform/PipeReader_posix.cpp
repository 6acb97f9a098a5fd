#include "platform/PipeReader.h"

#include "platform/WakeablePoll_posix.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace platform {

struct PipeReader::Native {
    WakeablePoll poll;
};

PipeReader::PipeReader() : native_(new Native) {}

PipeReader::~PipeReader() {
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
        short revents = 0;
        const auto outcome = native_->poll.wait(fd, POLLIN, revents, interrupted_);
        if (outcome != WakeablePoll::Outcome::Ready) {
            return outcome == WakeablePoll::Outcome::Interrupted ? Status::Interrupted : Status::Failed;
        }
        if (revents & POLLNVAL) {
            return Status::Failed;
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
    native_->poll.wake();
}

} // namespace platform
