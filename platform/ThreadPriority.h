#pragma once

#include <string>

namespace platform {

// Raises the calling thread's scheduling priority for a periodic job with a deadline every period, for
// as long as it lives, and gives the thread back what it had when it goes. Made and destroyed on the
// thread itself.
// Windows: joins the multimedia class scheduler as "Pro Audio" at high priority (avrt.dll is loaded at run
// time, so nothing fails where it is missing); where that is refused, THREAD_PRIORITY_TIME_CRITICAL.
// POSIX: SCHED_FIFO at a modest priority where the process may have it (root, or RLIMIT_RTPRIO);
// otherwise the thread stays as it was.
// A real-time thread can starve a machine: its owner must sleep every period, whatever happens.
class RealtimePriority {
public:
    enum class Granted { Normal, MultimediaClass, TimeCritical, Fifo };
    static constexpr int kFifoPriority = 10;

    // `wanted` false asks for nothing (the thread stays as it was, and says so).
    explicit RealtimePriority(bool wanted = true);
    ~RealtimePriority();
    RealtimePriority(const RealtimePriority&) = delete;
    RealtimePriority& operator=(const RealtimePriority&) = delete;

    Granted granted() const { return granted_; }
    // What the thread runs at, for the log: "multimedia class Pro Audio, high", "time-critical",
    // "SCHED_FIFO 10", or "normal (...why...)".
    const std::string& description() const { return description_; }

private:
    Granted granted_ = Granted::Normal;
    std::string description_;
    struct Saved;
    Saved* saved_ = nullptr;
};

} // namespace platform
