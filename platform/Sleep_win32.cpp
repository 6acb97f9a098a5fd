#include <windows.h>
#include <mmsystem.h>

#include "platform/Sleep.h"

namespace platform {

// Without this Windows rounds every sleep up to its 15.6 ms tick, which a 1 ms capture period cannot bear.
TimerResolution::TimerResolution() : active_(::timeBeginPeriod(1) == TIMERR_NOERROR) {}

TimerResolution::~TimerResolution() {
    if (active_) {
        ::timeEndPeriod(1);
    }
}

} // namespace platform
