#include <windows.h>

#include "platform/NativeHandle_win32.h"
#include "platform/PacingTimer.h"

#include <algorithm>

// Windows 10 1803 and later; mingw's headers lack the name.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace platform {

namespace {
using HundredNanoseconds = std::chrono::duration<LONGLONG, std::ratio<1, 10'000'000>>;
// Waits are taken in pieces of at most this, so no count is ever near a DWORD's or a due time's limits.
constexpr auto kLongestPiece = std::chrono::hours(1);
} // namespace

struct PacingTimer::Native {
    HANDLE stopEvent = nullptr; // manual reset: set by raise(), cleared by reset()
    HANDLE timer = nullptr;     // the high-resolution timer, where the system made one
};

PacingTimer::PacingTimer(SleepModel model) : model_(model), native_(std::make_unique<Native>()) {
    native_->stopEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const DWORD eventError = native_->stopEvent ? ERROR_SUCCESS : ::GetLastError();
    native_->timer =
        ::CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    const DWORD timerError = native_->timer ? ERROR_SUCCESS : ::GetLastError();
    if (model_ != SleepModel::System) {
        // A model paces by the wake it computes; the fine timer only keeps that wake exact.
        description_ = describeSleepModel(model_);
    } else if (native_->timer && native_->stopEvent) {
        description_ = "high-resolution waitable timer";
    } else if (native_->stopEvent) {
        description_ = "whole milliseconds, rounded up (high-resolution timer refused: error " +
                       std::to_string(timerError) + ")";
    } else {
        description_ =
            "whole milliseconds, rounded up (no stop event: error " + std::to_string(eventError) + ")";
    }
}

PacingTimer::~PacingTimer() {
    closeOwned(native_->timer);
    closeOwned(native_->stopEvent);
}

void PacingTimer::raise() {
    // The flag first: a sleeper that finds it clear waits on an event that is then set.
    signal_.raise();
    if (native_->stopEvent) {
        ::SetEvent(native_->stopEvent);
    }
}

void PacingTimer::reset() {
    if (native_->stopEvent) {
        ::ResetEvent(native_->stopEvent);
    }
    signal_.reset();
}

bool PacingTimer::waitUntil(SteadyClock::time_point wake) {
    if (!native_->stopEvent) {
        return signal_.sleepUntil(wake);
    }
    for (;;) {
        if (signal_.raised()) {
            return false;
        }
        const auto now = SteadyClock::now();
        if (now >= wake) {
            return true;
        }
        const auto remaining = std::min<SteadyClock::duration>(wake - now, kLongestPiece);
        DWORD result = WAIT_FAILED;
        if (native_->timer) {
            // Negative: relative to now, so a change of the wall clock cannot move it.
            LARGE_INTEGER due{};
            due.QuadPart = -std::max<LONGLONG>(1, std::chrono::ceil<HundredNanoseconds>(remaining).count());
            if (::SetWaitableTimer(native_->timer, &due, 0, nullptr, nullptr, FALSE)) {
                const HANDLE handles[2] = {native_->stopEvent, native_->timer};
                result = ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);
            } else {
                // Never seen; rather the coarse wait than none.
                closeOwned(native_->timer);
                continue;
            }
        } else {
            // Whole milliseconds rounded up, so the wait never ends before its deadline.
            result = ::WaitForSingleObject(
                native_->stopEvent,
                waitMilliseconds(std::chrono::ceil<std::chrono::milliseconds>(remaining)));
        }
        if (result == WAIT_OBJECT_0) {
            return false;
        }
        if (result == WAIT_FAILED) {
            // A wait that cannot be made must not turn the loop into a spin.
            ::Sleep(1);
        }
    }
}

} // namespace platform
