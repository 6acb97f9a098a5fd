#include "platform/Sleep.h"

namespace platform {

// POSIX sleeps already have fine granularity; there is nothing to ask for.
TimerResolution::TimerResolution() = default;
TimerResolution::~TimerResolution() = default;

} // namespace platform
