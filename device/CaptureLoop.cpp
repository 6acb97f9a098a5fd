#include "device/CaptureLoop.h"

#include <algorithm>

namespace QuillmarkPluginDevices {

CaptureLoop::CaptureLoop(Device& device, int valuesCapacity, platform::SleepModel sleepModel)
    : device_(device), values_(static_cast<std::size_t>(std::max(valuesCapacity, 1)), 0.0f),
      stop_(sleepModel) {}

CaptureLoop::~CaptureLoop() {
    stop();
}

bool CaptureLoop::start(double rate, bool realtime) {
    if (thread_.held()) {
        if (!stop_.raised()) {
            return true; // already capturing: start nothing
        }
        // An earlier stop gave up waiting; only start again once that thread has ended.
        if (thread_.joinFor(std::chrono::milliseconds(0)) != platform::Thread::JoinResult::Joined) {
            return false;
        }
    }
    if (!schedulable(rate)) {
        return false;
    }
    rate_ = rate;
    realtime_ = realtime;
    stop_.reset();
    if (!thread_.start(&CaptureLoop::CaptureThread, this, "ferrox-capture")) {
        stop_.raise();
        return false;
    }
    return true;
}

bool CaptureLoop::stop(std::chrono::milliseconds limit) {
    stop_.raise();
    if (!thread_.held()) {
        return true;
    }
    return thread_.joinFor(limit) == platform::Thread::JoinResult::Joined;
}

void CaptureLoop::stop() {
    stop_.raise();
    if (thread_.held()) {
        thread_.join();
    }
}

bool CaptureLoop::running() const {
    return thread_.held() && !stop_.raised();
}

CaptureLoop::Statistics CaptureLoop::statistics() const {
    std::lock_guard<std::mutex> lock(statisticsMutex_);
    return statistics_;
}

int CaptureLoop::CaptureThread(void* loop) {
    static_cast<CaptureLoop*>(loop)->run();
    return 0;
}

void CaptureLoop::run() {
    const auto period =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate_));
    // Bounded by the frames a host keeps, whatever the rate: a longer burst would only overwrite itself.
    constexpr double kMostCatchUpFrames = 4096.0;
    constexpr int64_t kLeastCatchUpFrames = 10;
    const int64_t catchUpFrames = std::max<int64_t>(
        kLeastCatchUpFrames,
        static_cast<int64_t>(
            std::min(std::chrono::duration<double>(kCatchUpLimit).count() * rate_, kMostCatchUpFrames)));
    // Kept with the fine timer too: other waits of the process still go by the system's tick.
    const platform::TimerResolution timerResolution;
    // Given back when the thread ends. A thread of real-time priority must never keep a core to itself:
    // every tick sleeps, for a moment at least, even one that starts late.
    const platform::RealtimePriority priority(realtime_);
    // The line that tells the thread's scheduling tells its pacing too: both decide how late a tick is.
    device_.priorityGranted((priority.description() + "; paced by " + stop_.description()).c_str());
    constexpr auto kLeastSleep = std::chrono::microseconds(100);

    Statistics stats;
    {
        std::lock_guard<std::mutex> lock(statisticsMutex_);
        statistics_ = stats;
    }
    // Tick k is due at start + k * period; frames follow the schedule, not the time the work took.
    auto start = Clock::now();
    int64_t tick = 0;
    // Set while a connected stream has gone quiet; the arrival time of its last block before that.
    bool stalled = false;
    Clock::time_point lastBeforeStall{};

    while (!stop_.raised()) {
        const auto due = start + period * tick;
        if (!stop_.sleepUntil(std::max(due, Clock::now() + kLeastSleep))) {
            break;
        }
        const auto now = Clock::now();
        const int64_t dueTicks = (now - start) / period + 1 - tick;
        const double latenessMs = std::chrono::duration<double, std::milli>(now - due).count();
        stats.worstLatenessMs = std::max(stats.worstLatenessMs, latenessMs);
        ++stats.ticks;
        if (dueTicks > 1) {
            ++stats.lateTicks;
        }
        int framesDue = static_cast<int>(std::min(dueTicks, catchUpFrames));
        if (dueTicks > catchUpFrames) {
            // Held up for longer than catch-up covers: the missed frames are gone; start a new schedule.
            stats.skippedFrames += dueTicks - catchUpFrames;
            start = now;
            tick = 1;
        } else {
            tick += dueTicks;
        }

        // Each fill serves as many of the frames due as it has rows for; the stall notes follow the
        // first fill of the tick.
        bool firstFill = true;
        while (framesDue > 0) {
            const Fill fill = device_.fillValues(values_.data(), framesDue, now);
            if (firstFill) {
                firstFill = false;
                if (fill.source == Source::Stale && !stalled) {
                    stalled = true;
                    lastBeforeStall = fill.newestArrival;
                    ++stats.stalls;
                    device_.streamStalled();
                } else if (fill.source == Source::Live && stalled) {
                    stalled = false;
                    device_.streamResumed(
                        std::chrono::duration<double, std::milli>(fill.newestArrival - lastBeforeStall)
                            .count());
                } else if (fill.source == Source::NoStream) {
                    stalled = false; // the end of the stream has its own message
                }
            }
            if (fill.valuesPerFrame <= 0 || fill.frames <= 0) {
                break;
            }
            const int frames = std::min(fill.frames, framesDue);
            int written = 0;
            for (; written < frames; ++written) {
                if (!device_.writeFrame(values_.data() +
                                            static_cast<std::ptrdiff_t>(written) * fill.rowStride,
                                        fill.rowValues)) {
                    ++stats.refusedFrames;
                    break;
                }
            }
            stats.frames += written;
            if (fill.source == Source::Stale) {
                stats.staleFrames += written;
            }
            if (written < frames) {
                break; // the host has no frame now; the next tick asks for the same ID again
            }
            framesDue -= frames;
        }
        if ((stats.ticks & 0x3FF) == 0) {
            std::lock_guard<std::mutex> lock(statisticsMutex_);
            statistics_ = stats;
        }
    }

    {
        std::lock_guard<std::mutex> lock(statisticsMutex_);
        statistics_ = stats;
    }
    device_.captureEnded(stats, rate_);
}

} // namespace QuillmarkPluginDevices
