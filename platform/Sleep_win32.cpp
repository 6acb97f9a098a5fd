#include <windows.h>
#include <mmsystem.h>

#include "platform/Sleep.h"

#include <thread>

namespace platform {

// Without this Windows rounds every sleep up to its 15.6 ms tick, which a 1 ms capture period cannot bear.
TimerResolution::TimerResolution() : active_(::timeBeginPeriod(1) == TIMERR_NOERROR) {}

TimerResolution::~TimerResolution() {
    if (active_) {
        ::timeEndPeriod(1);
    }
}

// mingw's sleep_until can wake up to 1 ms early, because its sleep truncates to whole milliseconds:
// sleep whole milliseconds rounded up instead, so a wait never ends before its deadline.
void sleepUntil(SteadyClock::time_point deadline) {
    for (;;) {
        const auto now = SteadyClock::now();
        if (now >= deadline) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
    }
}

} // namespace platform
