#pragma once

#include "platform/Sleep.h"

#include <condition_variable>
#include <mutex>

namespace platform {

// A flag that a worker polls and sleeps on: raise() ends any sleep at once. Sleeps keep the
// whole-millisecond rounding of sleepUntil for their last stretch, so short periodic waits stay exact.
class StopSignal {
public:
    void raise();
    void reset();
    bool raised() const;

    // Sleeps until the deadline; false when the signal was raised (before or during the sleep).
    bool sleepUntil(SteadyClock::time_point deadline);
    bool sleepFor(SteadyClock::duration duration);

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool raised_ = false;
};

} // namespace platform
