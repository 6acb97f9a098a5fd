#include "platform/Sleep.h"

#include <cerrno>
#include <ctime>

namespace platform {

// POSIX sleeps already have fine granularity; there is nothing to ask for.
TimerResolution::TimerResolution() = default;
TimerResolution::~TimerResolution() = default;

// steady_clock is CLOCK_MONOTONIC here, so the deadline can be handed to the kernel as it is: an
// absolute sleep never wakes early and does not round the period up to whole milliseconds, which
// would make a 1 ms loop wake late by up to a period and catch up in pairs.
void sleepUntil(SteadyClock::time_point deadline) {
    if (deadline == SteadyClock::time_point::max()) {
        deadline = SteadyClock::now() + std::chrono::hours(24 * 365);
    }
    const auto since = deadline.time_since_epoch();
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(since);
    timespec when{};
    when.tv_sec = static_cast<time_t>(secs.count());
    when.tv_nsec =
        static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(since - secs).count());
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) {
    }
}

} // namespace platform
