#pragma once

#include "device/BlockQueue.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace QuillmarkPluginDevices {

// Between the stream and the frames when every sample is to be delivered: each block received reaches
// exactly one frame, in arrival order, whatever the companion's rate against the device's.
//
// Blocks wait here until a frame takes them; the level is the blocks waiting when a frame takes one.
// One controller holds it, in three parts:
//  - the target: the level the stream's lateness asks for. It starts at kSmoothDepth (frames carry zeros
//    until that many blocks are here); an underrun (a frame that finds the buffer dry repeats the block
//    before) widens it by the frames it lasted, at most kMostCover blocks, and it narrows one block per
//    kCoverHeld without an underrun;
//  - the rate: the companion's blocks per second, fitted continuously to the arrivals of the last
//    10 s (kRateSamples) against the device clock, each stretch between two gaps in the arrivals
//    (kRateGap: a sender held up, which may skip what fell due meanwhile) with its own offset, so a gap
//    bends no slope. Once it is off the device rate by more than its own
//    measuring error (and at least kRateFloor), the surplus is dropped, or the deficit repeated, one
//    block at a time, spread evenly over the frames;
//  - the level: what the rate does not explain (a burst that is over, drift too small to measure) is
//    given up in proportion to how far the lowest level of the last kMemory stayed above the target,
//    again one block at a time.
// Only a level far above the target (a capture thread held up beyond its catch-up) is given up at once.
//
// Storage is fixed and allocated once. One mutex guards everything; the receiver appends, the capture
// thread takes. Times come from the caller, so the buffer runs on any clock (tests drive a fake one).
class PlayoutBuffer {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::size_t kCapacity = 512; // blocks: over half a second at 1 kHz
    static constexpr std::size_t kSmoothDepth = 2;
    // A lowest level at or above this gives blocks up.
    static constexpr std::size_t kDropLevel = kSmoothDepth + 1;
    static constexpr std::size_t kMostCover = 8;
    static constexpr std::chrono::seconds kCoverHeld{20};
    // A level this far above the target is no longer worth playing out (a capture thread held up for
    // longer than catch-up covers, an overflow): the buffer falls back to its target at once.
    static constexpr std::size_t kResyncExcess = 300;
    // A measured rate nearer the device rate than this is left to the level part.
    static constexpr double kRateFloor = 0.001;
    // Blocks per frame given up per block of level above the target, and at most.
    static constexpr double kLevelGain = 1.0 / 100.0;
    static constexpr double kMostLevelDrain = 0.5;

    enum class SlipKind : uint8_t { Repeated, Dropped };
    struct Slip {
        int32_t frameID = 0; // the frame that repeated, or the first frame after the dropped block
        SlipKind kind = SlipKind::Repeated;
        uint32_t blocks = 1; // blocks dropped at once by a resync
    };

    struct Statistics {
        uint64_t received = 0;       // blocks appended
        uint64_t delivered = 0;      // blocks that reached a frame
        uint64_t repeated = 0;       // frames that repeated the block before
        uint64_t dropped = 0;        // blocks that never reached a frame
        uint64_t slips = 0;          // underruns, repeats and drops: places where the stream skips
        std::size_t depthMedian = 0; // level when frames took blocks
        std::size_t depthLargest = 0;
    };

    // What one frame gets.
    enum class Take : uint8_t {
        Block,   // the next block, or the one before repeated: `block` points at it
        Waiting, // not started yet (fewer than kSmoothDepth blocks so far): zeros
        Stale,   // dry for longer than the stale limit: zeros
    };

    // A rate clearly off the device rate, measured for the first time on this stream: the caller logs it
    // once.
    struct RateNote {
        bool fresh = false;
        double blocksPerSecond = 0.0;
    };

    PlayoutBuffer();

    // A new capture at `framesPerSecond`; everything starts again, statistics included.
    void start(double framesPerSecond, std::chrono::nanoseconds staleAfter);

    // The receiver: `count` whole blocks in wire order that arrived together.
    void append(const unsigned char* wire, std::size_t count, Clock::time_point arrived);
    // A new connection, or the end of one: the buffer empties and starts again at its smooth depth.
    void restart();
    // While inactive, blocks are counted as received but not kept (frames take the newest block instead);
    // a change of either kind starts the buffer again.
    void setActive(bool active);

    // The capture thread: the blocks for `frames` consecutive frames, the first with ID `firstFrameID`.
    // Calls f(int frame, Take take, const SampleBlock* block) for each under the lock, in order.
    template <typename F> void take(int frames, int32_t firstFrameID, Clock::time_point now, F&& f) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (int i = 0; i < frames; ++i) {
            const SampleBlock* block = nullptr;
            const Take t = takeOne(firstFrameID + i, now, block);
            f(i, t, block);
        }
    }

    Statistics statistics() const;
    // Slips since the last call, oldest first, at most `room` of them; `more` counts those left out.
    std::size_t takeSlips(Slip* out, std::size_t room, uint64_t& more);
    RateNote takeRateNote();
    Clock::time_point newestArrival() const;
    std::size_t level() const;

private:
    static constexpr int kMemoryBuckets = 4; // the lowest level per bucket, over kMemory
    static constexpr auto kBucketLength = std::chrono::seconds(1);
    static constexpr int kRateSamples = 100; // one every kRateSampleEvery: 10 s
    static constexpr auto kRateSampleEvery = std::chrono::milliseconds(100);
    static constexpr int kRateLeastSamples = 5; // in one stretch; one more for each further stretch
    static constexpr auto kRateGap = std::chrono::milliseconds(50);
    static constexpr std::size_t kSlipRoom = 64;
    // The first moments of a stream still bring what waited before it started (blocks a sender held
    // back, or that waited in the connection): what is more than the smooth depth then is not live.
    static constexpr auto kStartWindow = std::chrono::milliseconds(100);

    static constexpr auto kMemory = kBucketLength * kMemoryBuckets;

    Take takeOne(int32_t frameID, Clock::time_point now, const SampleBlock*& block);
    void rememberLevel(Clock::time_point now);
    // Blocks per frame to give up (negative: to repeat) at the current level and rate.
    double correctionPerFrame() const;
    void resetStream();
    void dropOldest(std::size_t count);
    void push(const unsigned char* wire);
    void recordSlip(int32_t frameID, SlipKind kind, uint32_t blocks);
    void sampleRate(Clock::time_point arrived, Clock::time_point previousArrival);

    mutable std::mutex mutex_;
    std::vector<SampleBlock> ring_; // kCapacity, allocated once
    std::size_t head_ = 0;
    std::size_t count_ = 0;
    SampleBlock last_{}; // the block the last frame carried, for a repeat

    double rate_ = 1000.0;
    Clock::duration staleAfter_ = std::chrono::milliseconds(250);

    // Per stream (emptied by restart()).
    bool active_ = true;
    bool started_ = false; // kSmoothDepth reached once: frames take blocks
    Clock::time_point startedAt_{};
    bool inUnderrun_ = false;
    std::size_t underrunFrames_ = 0; // frames the current underrun has lasted
    std::size_t cover_ = 0;          // blocks above kDropLevel that late arrivals asked for
    Clock::time_point coverSince_{};
    bool stale_ = false;
    Clock::time_point newestArrival_{};
    std::array<std::size_t, kMemoryBuckets> troughs_{};
    int bucket_ = 0;
    Clock::time_point bucketStart_{};
    // Arrivals: (seconds since the stream started, blocks so far on this stream, the stretch between gaps
    // it belongs to), one per sample period, each at a batch arrival, so a stream that comes in bursts
    // fits as exactly as a paced one.
    struct RateSample {
        double at;
        double blocks;
        uint64_t stretch;
    };
    std::array<RateSample, kRateSamples> rateSamples_{};
    std::size_t rateNewest_ = 0;
    std::size_t rateCount_ = 0;
    Clock::time_point lastRateSample_{};
    uint64_t streamBlocks_ = 0;
    uint64_t rateStretch_ = 0;
    double surplus_ = 0.0;    // blocks per frame beyond one (negative: short), once clearly measured
    double correction_ = 0.0; // the running remainder of the corrections
    bool rateNoted_ = false;
    RateNote rateNote_;

    Statistics stats_;
    std::array<uint64_t, kCapacity + 1> depthHistogram_{};
    std::array<Slip, kSlipRoom> slips_{};
    std::size_t slipCount_ = 0;
    uint64_t slipsLeftOut_ = 0;
};

} // namespace QuillmarkPluginDevices
