#pragma once

#include "tools/common/Fidelity.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace ferrox_tools {

// Stretches of consecutive items that share a condition (frames of zeros, missing frame IDs): how many
// there were and the longest, in items.
class RunCounter {
public:
    void add(bool inRun);
    int64_t runs() const { return runs_; }
    int64_t longest() const { return longest_; }

private:
    int64_t current_ = 0;
    int64_t runs_ = 0;
    int64_t longest_ = 0;
};

// What a host sees of a capture, frame by frame: how late each frame was committed against the
// device's schedule, and how old the values it carried were.
class CaptureMetrics {
public:
    // stampChannel: the active channel whose value is the sender's steady-clock time in ms modulo
    // 1000, or -1 when the stream carries no stamp. sequenceChannel: the active channel that may carry
    // the sender's block numbers (see Fidelity.h), or -1. returnChannel: the active channel that may
    // carry, beside them, when the sender's previous write returned (as the stamp), or -1.
    CaptureMetrics(double rate, int stampChannel, int sequenceChannel = -1, int returnChannel = -1);

    // Frames in frame-ID order, with the steady-clock time (ns) the host saw them committed.
    void addFrame(int32_t frameID, int64_t committedNs, const std::vector<float>& samples);

    // Room for the frames of a whole capture, so that measuring does not grow the process's memory.
    // The room is written once, too: reserved pages become resident only when first touched, and a
    // soak that reads resident memory would otherwise see its own measurements as growth.
    void reserve(std::size_t frames);

    // Resident memory samples over the run, each with its time since capture start.
    void addMemorySample(double atSeconds, int64_t residentBytes);

    // Resident growth is read from this far into the capture (half a shorter one) to its end: until
    // then the plug-in's and the host's buffers are still being touched for the first time.
    static constexpr double kSettledSeconds = 5.0;
    // A connection's first and last second are its edges (see countConnections).
    static constexpr double kConnectionEdgeSeconds = 1.0;

    nlohmann::json toJson() const;

    struct Distribution {
        double median = 0.0;
        double p99 = 0.0;
        double worst = 0.0;
        double firstTenthMedian = 0.0;
        double lastTenthMedian = 0.0;
        std::size_t count = 0;
    };
    static Distribution distribution(const std::vector<double>& values);

    std::vector<double> latenessMs() const;
    const std::vector<double>& latencyMs() const { return latencyMs_; }

private:
    // One second of frames by frame ID, for a plot of a long capture: its frames, those of zeros, and
    // where its latencies begin in latencyMs_.
    struct Second {
        int64_t frames = 0;
        int64_t zeroFrames = 0;
        std::size_t latencyFrom = 0;
    };

    double periodNs_;
    int stampChannel_;
    bool haveFirst_ = false;
    int32_t firstId_ = 0;
    int64_t firstNs_ = 0;
    std::vector<double> latenessMs_; // against the first frame's schedule
    double earliestOffsetMs_ = 0.0;
    std::vector<double> latencyMs_;
    // The latencies of the frames of the second after the first: [from, to) of latencyMs_.
    std::size_t latencySecondFrom_ = std::numeric_limits<std::size_t>::max();
    std::size_t latencySecondTo_ = std::numeric_limits<std::size_t>::max();
    std::vector<int64_t> memory_;
    std::vector<double> memorySeconds_; // when each of memory_ was read
    int sequenceChannel_;
    std::vector<std::uint32_t> sequence_; // one fidelity entry per frame
    std::vector<float> sendStamps_;       // the stamp of each of those frames, NaN where none
    int returnChannel_;
    std::vector<float> returnStamps_; // the previous write's return each carried, NaN where none
    std::vector<double> commitsMs_;   // and its commit time, ms modulo 1000
    std::size_t settledFrom_;         // the first entry after the first second
    std::vector<Second> seconds_;
    // Each stretch of frames of zeros: its first frame's time (s from the first frame) and its frames.
    std::vector<std::pair<double, int64_t>> zeroStretches_;
    bool inZeros_ = false;
    bool recordingZeros_ = false;
    static constexpr std::size_t kMaxZeroStretches = 10000;
};

} // namespace ferrox_tools
