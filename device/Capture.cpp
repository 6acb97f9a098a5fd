#include "device/FerroxEMG.h"

#include "platform/Sleep.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace QuillmarkPluginDevices {

namespace {
constexpr auto kCaptureJoinLimit = std::chrono::milliseconds(1000);
constexpr double kDefaultRate = 1000.0;
} // namespace

bool FerroxEMG::StartCapture() {
    if (captureThread_.held()) {
        if (captureRun_.load()) {
            return true; // already capturing: start nothing
        }
        // An earlier stop gave up waiting; only start again once that thread has ended.
        if (captureThread_.joinFor(std::chrono::milliseconds(0)) != platform::Thread::JoinResult::Joined) {
            return false;
        }
    }
    if (receiveThread_.held()) {
        stopReceiver();
    }
    const bool result = cPluginDevice<float>::StartCapture();

    // Blocks from before this capture are not live any more.
    blockQueue_.clear();
    {
        std::lock_guard<std::mutex> lock(streamMutex_);
        receiveStop_ = false;
    }
    streamWaiter_.reset();
    captureStop_.reset();
    captureRun_ = true;

    if (!receiveThread_.start(&FerroxEMG::ReceiveThread, this)) {
        captureRun_ = false;
        return false;
    }
    if (!captureThread_.start(&FerroxEMG::CaptureThread, this)) {
        captureRun_ = false;
        stopReceiver();
        return false;
    }
    return result;
}

bool FerroxEMG::StopCapture() {
    cPluginDevice<float>::StopCapture();
    captureRun_ = false;
    captureStop_.raise();
    stopReceiver();
    if (!captureThread_.held()) {
        return true;
    }
    return captureThread_.joinFor(kCaptureJoinLimit) == platform::Thread::JoinResult::Joined;
}

int FerroxEMG::CaptureThread(void* device) {
    static_cast<FerroxEMG*>(device)->captureLoop();
    return 0;
}

void FerroxEMG::FillFrameValues(float* values, int& valuesPerFrame, int& frameCount, int framesDue) {
    frameCount = std::clamp(framesDue, 1, kValueRows);
    BlockQueue::Clock::time_point newestArrival;
    fillFrameValues(values, valuesPerFrame, BlockQueue::Clock::now(), newestArrival);
}

FerroxEMG::FrameSource FerroxEMG::fillFrameValues(float* values, int& valuesPerFrame,
                                                  BlockQueue::Clock::time_point now,
                                                  BlockQueue::Clock::time_point& newestArrival) {
    valuesPerFrame = ActiveChannelCount();
    const int filled = std::min(valuesPerFrame, kValuesBufferSize);
    const bool live = connected_.load();
    FrameSource source = FrameSource::NoStream;
    blockQueue_.withSecondNewest([&](const SampleBlock* block, BlockQueue::Clock::time_point arrived) {
        newestArrival = arrived;
        if (live && block) {
            source = now - arrived > kStaleAfter ? FrameSource::Stale : FrameSource::Live;
        }
        if (source != FrameSource::Live) {
            std::fill(values, values + filled, 0.0f);
            return;
        }
        for (int i = 0; i < filled; ++i) {
            const int id = ChannelID(i);
            values[i] = (id >= 0 && id < static_cast<int>(SampleBlock::kValues))
                            ? static_cast<float>(block->values[static_cast<std::size_t>(id)])
                            : 0.0f;
        }
    });
    return source;
}

void FerroxEMG::captureLoop() {
    using Clock = platform::SteadyClock;
    double rate = kDefaultRate;
    if (!GetProperty(kRatePropName, rate) || !(rate > 0.0) || !std::isfinite(rate)) {
        rate = kDefaultRate;
    }
    SetProperty(kRatePropName, rate);
    const auto period =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate));
    // Bounded by the frames a host keeps, whatever the rate: a longer burst would only overwrite itself.
    constexpr double kMostCatchUpFrames = 4096.0;
    const int64_t catchUpFrames = std::max<int64_t>(
        kValueRows, static_cast<int64_t>(std::min(std::chrono::duration<double>(kCatchUpLimit).count() * rate,
                                                  kMostCatchUpFrames)));
    const platform::TimerResolution timerResolution;

    float values[kValuesBufferSize] = {};
    CaptureStatistics stats;
    // Tick k is due at start + k * period; frames follow the schedule, not the time the work took.
    auto start = Clock::now();
    int64_t tick = 0;
    // Set while a connected stream has gone quiet; the arrival time of its last block before that.
    bool stalled = false;
    Clock::time_point lastBeforeStall{};

    while (captureRun_.load()) {
        const auto due = start + period * tick;
        if (!captureStop_.sleepUntil(due)) {
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
        const int framesDue = static_cast<int>(std::min(dueTicks, catchUpFrames));
        if (dueTicks > catchUpFrames) {
            // Held up for longer than catch-up covers: the missed frames are gone; start a new schedule.
            stats.skippedFrames += dueTicks - catchUpFrames;
            start = now;
            tick = 1;
        } else {
            tick += dueTicks;
        }

        int valuesPerFrame = 0;
        Clock::time_point newestArrival;
        const FrameSource source = fillFrameValues(values, valuesPerFrame, now, newestArrival);
        if (source == FrameSource::Stale && !stalled) {
            stalled = true;
            lastBeforeStall = newestArrival;
            ++stats.stalls;
            LogError(0,
                     "[FerroxEMG] Sample stream stalled (no block for %lld ms); frames carry zeros until "
                     "blocks arrive again",
                     static_cast<long long>(kStaleAfter.count()));
        } else if (source == FrameSource::Live && stalled) {
            stalled = false;
            LogError(0, "[FerroxEMG] Sample stream resumed after %.0f ms without blocks",
                     std::chrono::duration<double, std::milli>(newestArrival - lastBeforeStall).count());
        } else if (source == FrameSource::NoStream) {
            stalled = false; // the end of the stream has its own message
        }
        if (valuesPerFrame <= 0) {
            continue;
        }
        // Every frame due takes the values of this tick: the stream is sampled, not replayed.
        const int copied = std::min(valuesPerFrame, kValuesBufferSize);
        for (int f = 0; f < framesDue; ++f) {
            const int32_t frameID = FrameCounter();
            AnalogSystem::AnalogFrame<float>* frame = BeginFrameUpdate(frameID, true);
            if (!frame) {
                LogError(1, "[Ferrox Device] Unable to get frame from  buffer (frameID:%d)", frameID);
                ++stats.refusedFrames;
                break;
            }
            frame->SetID(frameID);
            frame->SetFlag(1);
            frame->SetDeviceID(DeviceIdentity());
            // The frame is sized by the active channels as they are now; a channel enabled since the
            // values were filled has no value this tick, and a reused frame must not show an old one.
            const int written = std::min(copied, frame->ChannelCount());
            std::copy(values, values + written, frame->Samples());
            std::fill(frame->Samples() + written, frame->Samples() + std::max(written, frame->ChannelCount()),
                      0.0f);
            EndFrameUpdate();
            SetFrameCounter(frameID + 1);
            ++stats.frames;
            if (source == FrameSource::Stale) {
                ++stats.staleFrames;
            }
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
    LogError(
        0,
        "[FerroxEMG] Capture ended: %lld frames in %lld ticks at %.1f Hz, %lld late ticks (worst %.3f ms), "
        "%lld frames skipped, %lld frames refused by the host, %lld stale frames in %lld stalls",
        static_cast<long long>(stats.frames), static_cast<long long>(stats.ticks), rate,
        static_cast<long long>(stats.lateTicks), stats.worstLatenessMs,
        static_cast<long long>(stats.skippedFrames), static_cast<long long>(stats.refusedFrames),
        static_cast<long long>(stats.staleFrames), static_cast<long long>(stats.stalls));
}

FerroxEMG::CaptureStatistics FerroxEMG::captureStatistics() const {
    std::lock_guard<std::mutex> lock(statisticsMutex_);
    return statistics_;
}

} // namespace QuillmarkPluginDevices
