#include "platform/PacingTimer.h"

namespace platform {

// The stop signal's own sleep already hands the deadline to clock_nanosleep.
struct PacingTimer::Native {};

PacingTimer::PacingTimer(SleepModel model) : model_(model) {
    description_ =
        model_ == SleepModel::System ? "clock_nanosleep to the deadline" : describeSleepModel(model_);
}

PacingTimer::~PacingTimer() = default;

void PacingTimer::raise() {
    signal_.raise();
}

void PacingTimer::reset() {
    signal_.reset();
}

bool PacingTimer::waitUntil(SteadyClock::time_point wake) {
    return signal_.sleepUntil(wake);
}

} // namespace platform
