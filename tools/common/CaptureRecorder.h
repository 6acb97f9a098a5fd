#pragma once

#include "host/Device.h"
#include "tools/common/CaptureMetrics.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ferrox_tools {

struct FrameRow {
    int32_t id = 0;
    std::vector<float> values;
};

// Stretches of consecutive frames that share a condition, in frames.
struct GapStats {
    int64_t count = 0;
    int64_t longest = 0;
};

// One reading of this process's memory and handles during capture.
struct ResourceSample {
    double atSeconds = 0.0; // since StartCapture
    int64_t residentBytes = 0;
    int64_t openHandles = 0;
};

// What a host measured of one capture. Every host that reports figures fills these with a
// CaptureRecorder, so that two hosts' figures are the same measure.
struct CaptureFigures {
    bool started = false; // what StartCapture returned
    bool stopped = false; // what StopCapture returned
    int64_t frames = 0;
    std::optional<int32_t> firstFrame;
    std::optional<int32_t> lastFrame;
    double seconds = 0.0; // from StartCapture until StopCapture returned
    // Over the span of the delivered frames' commit times: the rate the device delivers at, free of
    // how long StartCapture and StopCapture take and of when the host happens to look.
    double framesPerSecond = 0.0;
    int64_t missingFrames = 0;
    std::vector<int32_t> missingFrameIds; // the first kMaxListedMissing of them
    // Gaps between consecutive commits of delivered frames.
    double meanCommitIntervalMs = 0.0;
    double maxCommitIntervalMs = 0.0;
    int64_t commitIntervalsOver2Ms = 0;
    int64_t zeroFrames = 0; // delivered frames whose values are all zero: no live data
    GapStats zeroGaps;      // runs of consecutive zero frames
    GapStats missingGaps;   // runs of consecutive missing frame IDs
    // After the warm-up and at the end, both while capturing, so that a soak compares like with like.
    std::optional<ResourceSample> resourcesStart;
    std::optional<ResourceSample> resourcesEnd;
    std::vector<FrameRow> rows; // kept only with CaptureRecorder::Options::keepFrames
    // Tick lateness against the device's schedule, stream latency, and what the capture cost this
    // process (processor time per second of capture, resident memory over the run).
    nlohmann::json timing = nlohmann::json::object();

    static constexpr std::size_t kMaxListedMissing = 10000;
};

// The figures as JSON, under the field names the benchmark and soak scripts read.
nlohmann::json figuresJson(const CaptureFigures& figures);

// Runs one capture on a device the way a host's interface thread watches it: StartCapture, then every
// 5 ms each frame committed since the last look, until the capture time has passed; then StopCapture
// and the frames it left. It measures as it goes, into the figures it was given.
class CaptureRecorder {
public:
    using Clock = std::chrono::steady_clock;

    struct Options {
        double seconds = 10.0;
        // The active channel whose value is the sender's steady-clock time in ms modulo 1000, or -1.
        int stampChannel = -1;
        int sequenceChannel = -1; // the active channel that may carry the sender's block numbers
        int returnChannel = -1;   // and the one with when its previous write returned
        bool keepFrames = false;
    };

    // The device's "Rate" property gives the schedule the lateness is measured against (1000 Hz when
    // it has none). The figures are written while the capture runs, so a caller may show progress.
    CaptureRecorder(AnalogSystem::cPluginDeviceBase& device, const Options& options, CaptureFigures& figures);

    // betweenLooks runs after each look at the frames, still during capture, with the time of the look.
    void run(const std::function<void(Clock::time_point now)>& betweenLooks = {});

    // When StartCapture was called; valid inside betweenLooks and after run.
    Clock::time_point startedAt() const { return start_; }

private:
    void drainFrames();
    void sampleResources(std::optional<ResourceSample>& sample) const;
    void finishStatistics();

    AnalogSystem::cPluginDeviceBase& device_;
    Options options_;
    CaptureFigures& figures_;
    CaptureMetrics metrics_;
    Clock::time_point start_;
    int32_t nextFrame_ = 0;
    int64_t firstCommitNs_ = 0;
    int64_t lastCommitNs_ = 0;
    double intervalSumMs_ = 0.0;
    RunCounter zeroRuns_;
    RunCounter missingRuns_;
    std::vector<float> samples_;
};

} // namespace ferrox_tools
