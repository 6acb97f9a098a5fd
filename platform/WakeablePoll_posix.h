#pragma once

#include <atomic>

namespace platform {

// A wait on one descriptor that another thread can cut short: poll() on the descriptor together with
// the read end of a private wake-up pipe. The blocking services (pipe reads and writes, socket
// readiness) are built on it, so that a thread blocked in one of them can always be stopped and joined.
class WakeablePoll {
public:
    enum class Outcome { Ready, Interrupted, Failed };

    WakeablePoll();
    ~WakeablePoll();
    WakeablePoll(const WakeablePoll&) = delete;
    WakeablePoll& operator=(const WakeablePoll&) = delete;

    // Waits until `fd` reports one of `events` (or an error, hang-up or invalid descriptor, which
    // poll always reports) and returns Ready with what it reported in `revents`; or Interrupted once
    // `interrupted` is seen raised, before or during the wait.
    Outcome wait(int fd, short events, short& revents, const std::atomic<bool>& interrupted);

    // Wakes a wait in progress; the caller raises its flag first, so the woken wait sees it.
    void wake();
    // Takes back every wake-up sent so far, so later waits block again.
    void drain();

private:
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
};

} // namespace platform
