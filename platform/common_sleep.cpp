#include "platform/Sleep.h"

namespace platform {

SteadyClock::time_point saturatingAdd(SteadyClock::time_point deadline, SteadyClock::duration offset) {
    if (offset.count() > 0 && deadline > SteadyClock::time_point::max() - offset) {
        return SteadyClock::time_point::max();
    }
    return deadline + offset;
}

void sleepFor(SteadyClock::duration duration) {
    sleepUntil(saturatingAdd(SteadyClock::now(), duration));
}

} // namespace platform
