#pragma once

#include "platform/Handle.h"

#include <atomic>

namespace platform {

// Waits until a socket is readable (data, end of stream or an error) or until another thread
// interrupts the wait. A blocked receive is never waited out: the reader waits here first and reads
// only what is already there, so stopping it never disturbs the connection.
// POSIX: poll on the socket and a wake-up pipe. Windows: WSAPoll on the socket and a loopback UDP
// socket that interrupt() sends one datagram to.
class SocketWaiter {
public:
    enum class Result { Readable, Interrupted, Failed, TimedOut };

    SocketWaiter();
    ~SocketWaiter();
    SocketWaiter(const SocketWaiter&) = delete;
    SocketWaiter& operator=(const SocketWaiter&) = delete;

    // TimedOut after `timeoutMs` without either (negative: no limit).
    Result waitReadable(NativeHandle socket, int timeoutMs = -1);

    // Wakes a wait in progress; every later wait returns Interrupted until reset().
    void interrupt();
    void reset();
    bool interrupted() const { return interrupted_.load(); }

private:
    struct Native;
    Native* native_;
    std::atomic<bool> interrupted_{false};
};

} // namespace platform
