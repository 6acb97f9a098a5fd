#pragma once

#include "platform/Sleep.h"
#include "platform/StopSignal.h"

#include <memory>
#include <string>

namespace platform {

// How a pacing sleep wakes. System is this system's own finest wait (below). The tick models wake as a
// Windows sleep does where the fine timer is missing: the wait is taken in whole milliseconds, a
// remainder rounding up, and it ends only on a whole tick of a timer of 1 ms (timeBeginPeriod(1) in
// force) or of 15.625 ms (the default rate). They run on any system, so what such a machine would make
// of the capture can be measured here.
enum class SleepModel { System, Tick1ms, Tick15ms };

// FERROX_SLEEP_MODEL: "fine" (or unset) is System, "tick1ms" and "tick15ms" the models; anything else
// is System.
SleepModel sleepModelFromEnvironment();

// A stop signal whose sleeps pace a periodic thread: raise() ends the current sleep and every later one,
// and a sleep never ends before its deadline.
//
// Windows: a waitable timer made with CREATE_WAITABLE_TIMER_HIGH_RESOLUTION waits to the deadline in
// 100 ns units without raising the system's timer rate (Windows 10 1803 and later: learn.microsoft.com,
// CreateWaitableTimerExW; the due time is relative and negative, SetWaitableTimer). The thread waits on
// the timer and the stop event together, so a stop ends the wait at once. Where the flag is refused,
// the wait is the coarse one: whole milliseconds, rounded up, on the stop event; Sleep and every timed
// wait then end only on a tick of the system clock, "anywhere between one and two ticks" for a wait of
// more than one (Sleep's remarks), so the owner should hold a TimerResolution for as long as it paces.
// POSIX: StopSignal's sleep, whose deadline goes to clock_nanosleep as it is (a stop ends it at once but
// for its last 5 ms).
class PacingTimer {
public:
    explicit PacingTimer(SleepModel model = SleepModel::System);
    ~PacingTimer();
    PacingTimer(const PacingTimer&) = delete;
    PacingTimer& operator=(const PacingTimer&) = delete;

    void raise();
    void reset();
    bool raised() const;

    // Sleeps until the deadline (or, under a model, until the tick the model wakes on); false when the
    // signal was raised before or during the sleep.
    bool sleepUntil(SteadyClock::time_point deadline);

    // What the sleeps wait with, for the log: "high-resolution waitable timer", "whole milliseconds ...",
    // "clock_nanosleep to the deadline", or the model.
    const std::string& description() const { return description_; }

private:
    // Sleeps until `wake` on the system's own wait; false when raised.
    bool waitUntil(SteadyClock::time_point wake);

    SleepModel model_;
    StopSignal signal_;
    std::string description_;
    struct Native;
    std::unique_ptr<Native> native_;
};

// Where a sleep from `now` to `deadline` ends under a tick model: the first tick of the model's timer
// (ticks at whole multiples of its period on the monotonic clock) at or after now plus the wait rounded
// up to whole milliseconds. System gives the deadline itself.
SteadyClock::time_point modelWake(SleepModel model, SteadyClock::time_point now,
                                  SteadyClock::time_point deadline);

// A model's text for the log (empty for System, which its backend describes).
std::string describeSleepModel(SleepModel model);

} // namespace platform
