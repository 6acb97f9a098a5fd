#include "platform/StopSignal.h"

namespace platform {

namespace {
// Below this, the sleep is left to sleepUntil, whose rounding the capture pacing relies on.
constexpr auto kShortSleep = std::chrono::milliseconds(5);
} // namespace

void StopSignal::raise() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        raised_ = true;
    }
    changed_.notify_all();
}

void StopSignal::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    raised_ = false;
}

bool StopSignal::raised() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return raised_;
}

bool StopSignal::sleepUntil(SteadyClock::time_point deadline) {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            if (raised_) {
                return false;
            }
            const auto now = SteadyClock::now();
            if (now >= deadline || deadline - now <= kShortSleep) {
                break;
            }
            changed_.wait_until(lock, deadline - kShortSleep);
        }
    }
    platform::sleepUntil(deadline);
    return !raised();
}

bool StopSignal::sleepFor(SteadyClock::duration duration) {
    return sleepUntil(saturatingAdd(SteadyClock::now(), duration));
}

} // namespace platform
