#include "tools/common/CaptureRecorder.h"

#include "platform/ResourceUsage.h"
#include "platform/Sleep.h"

#include <algorithm>

namespace ferrox_tools {

namespace {
using Clock = CaptureRecorder::Clock;

constexpr auto kFramePoll = std::chrono::milliseconds(5);
constexpr auto kMemorySampleEvery = std::chrono::milliseconds(100);
// The first resource reading waits this long into the capture: until then the host's frame ring and
// the plug-in's buffers are still being touched for the first time, so resident memory rises without
// anything leaking. Capture start (after warm-up) against capture end is what a soak compares.
constexpr double kWarmUpSeconds = 10.0;
// Room for the frames a capture can deliver beyond its nominal time (start-up, catch-up, stop).
constexpr double kSpareSeconds = 5.0;

double secondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

Clock::duration toDuration(double seconds) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

double rateOf(AnalogSystem::cPluginDeviceBase& device) {
    double rate = 1000.0;
    device.GetProperty(AnalogSystem::cPluginDeviceBase::kRatePropName, rate);
    return rate;
}

nlohmann::json gapJson(const GapStats& gaps) {
    return {{"count", gaps.count}, {"longest", gaps.longest}};
}

nlohmann::json resourceJson(const std::optional<ResourceSample>& sample) {
    if (!sample) {
        return nullptr;
    }
    return {{"at_seconds", sample->atSeconds},
            {"resident_bytes", sample->residentBytes},
            {"open_handles", sample->openHandles}};
}

template <typename T> nlohmann::json optionalJson(const std::optional<T>& value) {
    return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}
} // namespace

nlohmann::json figuresJson(const CaptureFigures& figures) {
    return {
        {"frames", figures.frames},
        {"first_frame", optionalJson(figures.firstFrame)},
        {"last_frame", optionalJson(figures.lastFrame)},
        {"seconds", figures.seconds},
        {"frames_per_second", figures.framesPerSecond},
        {"missing_frame_ids", figures.missingFrameIds},
        {"missing_frames", figures.missingFrames},
        {"commit_interval_ms",
         {{"mean", figures.meanCommitIntervalMs}, {"max", figures.maxCommitIntervalMs}}},
        {"commit_intervals_over_2ms", figures.commitIntervalsOver2Ms},
        {"timing", figures.timing},
        {"zero_frames", figures.zeroFrames},
        {"gaps", {{"zero_frames", gapJson(figures.zeroGaps)}, {"missing_ids", gapJson(figures.missingGaps)}}},
        {"resources",
         {{"start", resourceJson(figures.resourcesStart)}, {"end", resourceJson(figures.resourcesEnd)}}}};
}

CaptureRecorder::CaptureRecorder(AnalogSystem::cPluginDeviceBase& device, const Options& options,
                                 CaptureFigures& figures)
    : device_(device), options_(options), figures_(figures),
      metrics_(rateOf(device), options.stampChannel, options.sequenceChannel, options.returnChannel) {
    // A little more than the capture can deliver, so the figures do not move memory mid-run.
    metrics_.reserve(
        static_cast<std::size_t>(std::max(0.0, rateOf(device) * (options_.seconds + kSpareSeconds))));
}

void CaptureRecorder::run(const std::function<void(Clock::time_point now)>& betweenLooks) {
    nextFrame_ = device_.FrameCounter();
    const platform::ResourceUsage usageBefore = platform::currentResourceUsage();
    start_ = Clock::now();
    figures_.started = device_.StartCapture();
    const auto end = start_ + toDuration(options_.seconds);
    auto nextMemorySample = start_;
    // A short capture takes its first reading halfway, so that both readings exist.
    const auto warm = start_ + toDuration(std::min(kWarmUpSeconds, options_.seconds / 2.0));
    while (Clock::now() < end) {
        platform::sleepFor(kFramePoll);
        drainFrames();
        const auto now = Clock::now();
        if (!figures_.resourcesStart && now >= warm) {
            sampleResources(figures_.resourcesStart);
        }
        if (now >= nextMemorySample) {
            nextMemorySample += kMemorySampleEvery;
            metrics_.addMemorySample(secondsBetween(start_, now),
                                     platform::currentResourceUsage().residentBytes);
        }
        if (betweenLooks) {
            betweenLooks(now);
        }
    }
    // Still capturing, like the first reading, so that the two compare like with like.
    sampleResources(figures_.resourcesEnd);
    figures_.stopped = device_.StopCapture();
    figures_.seconds = secondsBetween(start_, Clock::now());
    drainFrames();
    finishStatistics();
    const platform::ResourceUsage usageAfter = platform::currentResourceUsage();
    figures_.timing = metrics_.toJson();
    if (figures_.seconds > 0.0) {
        figures_.timing["cpu_seconds_per_second"] = (usageAfter.userSeconds + usageAfter.systemSeconds -
                                                     usageBefore.userSeconds - usageBefore.systemSeconds) /
                                                    figures_.seconds;
    }
    figures_.timing["peak_resident_bytes"] = usageAfter.peakResidentBytes;
    figures_.timing["open_handles_before"] = usageBefore.openHandles;
    figures_.timing["open_handles_after"] = usageAfter.openHandles;
    figures_.timing["stamp_channel"] = options_.stampChannel;
}

void CaptureRecorder::sampleResources(std::optional<ResourceSample>& sample) const {
    const platform::ResourceUsage usage = platform::currentResourceUsage();
    sample = ResourceSample{secondsBetween(start_, Clock::now()), usage.residentBytes, usage.openHandles};
}

void CaptureRecorder::drainFrames() {
    const int32_t newest = device_.GetMostRecentFrameID();
    for (; nextFrame_ <= newest; ++nextFrame_) {
        int64_t committedNs = 0;
        const bool read = device_.ReadFrame(nextFrame_, samples_, committedNs);
        missingRuns_.add(!read);
        if (!read) {
            ++figures_.missingFrames;
            if (figures_.missingFrameIds.size() < CaptureFigures::kMaxListedMissing) {
                figures_.missingFrameIds.push_back(nextFrame_);
            }
            continue;
        }
        if (figures_.frames == 0) {
            figures_.firstFrame = nextFrame_;
            firstCommitNs_ = committedNs;
        } else {
            const double interval = static_cast<double>(committedNs - lastCommitNs_) / 1e6;
            intervalSumMs_ += interval;
            figures_.maxCommitIntervalMs = std::max(figures_.maxCommitIntervalMs, interval);
            if (interval > 2.0) {
                ++figures_.commitIntervalsOver2Ms;
            }
        }
        lastCommitNs_ = committedNs;
        const bool zeros = !samples_.empty() &&
                           std::all_of(samples_.begin(), samples_.end(), [](float v) { return v == 0.0f; });
        figures_.zeroFrames += zeros ? 1 : 0;
        zeroRuns_.add(zeros);
        metrics_.addFrame(nextFrame_, committedNs, samples_);
        figures_.lastFrame = nextFrame_;
        ++figures_.frames;
        if (options_.keepFrames) {
            figures_.rows.push_back(FrameRow{nextFrame_, samples_});
        }
    }
}

void CaptureRecorder::finishStatistics() {
    figures_.zeroGaps = GapStats{zeroRuns_.runs(), zeroRuns_.longest()};
    figures_.missingGaps = GapStats{missingRuns_.runs(), missingRuns_.longest()};
    if (figures_.frames >= 2) {
        const double spanSeconds = static_cast<double>(lastCommitNs_ - firstCommitNs_) / 1e9;
        figures_.meanCommitIntervalMs = intervalSumMs_ / static_cast<double>(figures_.frames - 1);
        if (spanSeconds > 0.0) {
            figures_.framesPerSecond = static_cast<double>(figures_.frames - 1) / spanSeconds;
        }
    } else if (figures_.seconds > 0.0) {
        figures_.framesPerSecond = static_cast<double>(figures_.frames) / figures_.seconds;
    }
}

} // namespace ferrox_tools
