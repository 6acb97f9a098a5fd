#pragma once

#include <chrono>

namespace platform {

using SteadyClock = std::chrono::steady_clock;

// deadline + offset, saturating at the clock's largest value instead of overflowing.
SteadyClock::time_point saturatingAdd(SteadyClock::time_point deadline, SteadyClock::duration offset);

// Sleeps until the deadline on the monotonic clock and never wakes before it. POSIX sleeps to the exact
// deadline; Windows takes the wait in whole milliseconds, a remainder rounding up (mingw's sleep_until
// can wake up to 1 ms early).
void sleepUntil(SteadyClock::time_point deadline);

// sleepUntil(saturatingAdd(now, duration)).
void sleepFor(SteadyClock::duration duration);

// Asks the system for 1 ms timer resolution while it lives (timeBeginPeriod(1) on Windows; nothing
// elsewhere). Undone by the destructor.
class TimerResolution {
public:
    TimerResolution();
    ~TimerResolution();
    TimerResolution(const TimerResolution&) = delete;
    TimerResolution& operator=(const TimerResolution&) = delete;

private:
    [[maybe_unused]] bool active_ = false; // only the Windows backend asks for a resolution
};

} // namespace platform
