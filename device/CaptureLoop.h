#pragma once

#include "platform/Sleep.h"
#include "platform/PacingTimer.h"
#include "platform/Thread.h"
#include "platform/ThreadPriority.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

namespace QuillmarkPluginDevices {

// The capture thread: keeps the device's schedule (tick k due at start + k periods), writes the frames
// each tick brings due, catches up after a late tick, and counts what happened. What goes into a frame
// and how a frame reaches the host is its device's (Device below).
//
// start() runs the thread; stop() is the one stop signal and joins, within a bound when asked. A stop
// that gave up waiting leaves the thread held: start() refuses until it has ended, and a later stop()
// or the destructor joins it.
class CaptureLoop {
public:
    using Clock = platform::SteadyClock;

    // A capture thread held up by the system writes the frames that fell due meanwhile, so frame IDs
    // keep in step with the clock; only a hold-up longer than this (a suspended machine, a debugger)
    // gives up those frames and starts a new schedule.
    static constexpr std::chrono::milliseconds kCatchUpLimit{250};
    // A connected stream that brings no block for this long is stalled: its last values are no longer
    // live, so frames carry zeros until blocks arrive again.
    static constexpr std::chrono::milliseconds kStaleAfter{250};

    // The periods the schedule can keep: a shorter one would truncate to nothing in the clock's ticks (and
    // be divided by), a longer one overflow the catch-up arithmetic.
    static constexpr std::chrono::duration<double> kShortestPeriod{10e-6};
    static constexpr std::chrono::duration<double> kLongestPeriod{10.0};
    static bool schedulable(double rate) {
        return rate > 0.0 && 1.0 / rate >= kShortestPeriod.count() && 1.0 / rate <= kLongestPeriod.count();
    }

    // Where a fill's values came from.
    enum class Source { NoStream, Live, Stale };

    // One fill: `frames` rows, row f at values + f * rowStride (a stride of 0: row 0 serves every
    // frame), each holding the first `rowValues` of the `valuesPerFrame` active channels' values.
    struct Fill {
        int valuesPerFrame = 0;
        int rowValues = 0;
        int frames = 0;
        int rowStride = 0;
        Source source = Source::NoStream;
        Clock::time_point newestArrival{}; // of the newest block the stream brought
    };

    struct Statistics {
        int64_t ticks = 0;
        int64_t frames = 0;
        int64_t lateTicks = 0;     // woke after the next tick was due, so wrote catch-up frames
        int64_t skippedFrames = 0; // given up after hold-ups longer than kCatchUpLimit
        int64_t refusedFrames = 0; // the host had no frame to give
        int64_t staleFrames = 0;   // written with zeros while a connected stream had stalled
        int64_t stalls = 0;        // times the stream went quiet for too long
        double worstLatenessMs = 0.0;
    };

    // What the loop asks of its device and tells it. Called on the capture thread only.
    class Device {
    public:
        // Up to `framesDue` frames' values into `values`, at `now`.
        virtual Fill fillValues(float* values, int framesDue, Clock::time_point now) = 0;
        // One frame into the host from `count` values; false when the host had no frame to give (the
        // frame counter then stays).
        virtual bool writeFrame(const float* row, int count) = 0;
        // A connected stream went quiet for kStaleAfter; it brings blocks again after `gapMs`.
        virtual void streamStalled() = 0;
        virtual void streamResumed(double gapMs) = 0;
        // The capture thread's scheduling, as the system granted it.
        virtual void priorityGranted(const char* description) = 0;
        // The capture is over.
        virtual void captureEnded(const Statistics& statistics, double rate) = 0;

    protected:
        ~Device() = default;
    };

    // `valuesCapacity` floats for the fills, allocated here once. `sleepModel` paces the ticks; the
    // default reads FERROX_SLEEP_MODEL, so a benchmark can run the capture on a model of a coarser timer.
    CaptureLoop(Device& device, int valuesCapacity,
                platform::SleepModel sleepModel = platform::sleepModelFromEnvironment());
    ~CaptureLoop();
    CaptureLoop(const CaptureLoop&) = delete;
    CaptureLoop& operator=(const CaptureLoop&) = delete;

    // Runs the schedule at `rate` frames a second, on a thread of real-time priority when `realtime`
    // asks for it and the system grants it. True when already running; false when the rate is not
    // schedulable, the thread could not be created or an earlier thread has not ended yet.
    bool start(double rate, bool realtime = true);
    // Stops the schedule; true once the thread has ended, false when it did not end within `limit`.
    bool stop(std::chrono::milliseconds limit);
    void stop();
    bool running() const;

    // What the last (or the running) capture measured against its schedule.
    Statistics statistics() const;

private:
    static int CaptureThread(void* loop);
    void run();

    Device& device_;
    std::vector<float> values_;
    double rate_ = 1000.0;
    bool realtime_ = true;
    // The one stop signal, whose sleeps also pace the ticks.
    platform::PacingTimer stop_;
    mutable std::mutex statisticsMutex_;
    Statistics statistics_;
    platform::Thread thread_;
};

} // namespace QuillmarkPluginDevices
