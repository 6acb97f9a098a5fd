#include "platform/Sleep.h"

#include <thread>

namespace platform {

SteadyClock::time_point saturatingAdd(SteadyClock::time_point deadline, SteadyClock::duration offset) {
    if (offset.count() > 0 && deadline > SteadyClock::time_point::max() - offset) {
        return SteadyClock::time_point::max();
    }
    return deadline + offset;
}

void sleepUntil(SteadyClock::time_point deadline) {
    // Whole milliseconds, rounded up: never wake before the deadline.
    for (;;) {
        const auto now = SteadyClock::now();
        if (now >= deadline) {
            return;
        }
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
        std::this_thread::sleep_for(wait);
    }
}

void sleepFor(SteadyClock::duration duration) { sleepUntil(saturatingAdd(SteadyClock::now(), duration)); }

} // namespace platform
