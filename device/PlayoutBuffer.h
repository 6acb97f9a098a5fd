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
// exactly one frame, in arrival order, while the companion's average rate matches the device rate.
//
// Blocks wait here until a frame takes them. The level (the blocks waiting when a frame takes one) is
// held in a window by single-block slips:
//  - it starts at kSmoothDepth: frames carry zeros until that many blocks are here;
//  - a frame that finds the buffer dry repeats the block of the frame before (an underrun: the stream
//    was late, or the companion's clock is slow). An underrun leaves the level one block deeper, so a
//    stream that comes in bursts, or late now and then, deepens the buffer as far as it needs;
//  - when the level has not fallen below its window for the last few seconds, the oldest block is
//    dropped (the companion's clock is fast, or the bursts that deepened it are over). The memory of a
//    few seconds keeps the depth a jittery stream needs, and lets it shrink back slowly once arrival is
//    smooth again;
//  - a sender that is late now and then (a few milliseconds every few seconds) would otherwise cost a
//    repeat at each late write and a drop a few seconds later, each time. So each underrun also widens
//    the window (the cover, at most kMostCover) by the frames it lasted, the blocks its repeats added.
//    The cover narrows again by one block only after kCoverHeld without an underrun.
// A stream whose rate is clearly not the device rate is corrected evenly instead: the surplus dropped,
// or the deficit repeated, one block at a time and spread over the frames.
//
// Storage is fixed and allocated once. One mutex guards everything; the receiver appends, the capture
// thread takes. Times come from the caller, so the buffer runs on any clock (tests drive a fake one).
class PlayoutBuffer {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::size_t kCapacity = 512; // blocks: over half a second at 1 kHz
    static constexpr std::size_t kSmoothDepth = 2;
    // A level that stayed at or above this for the whole memory gives up one block.
    static constexpr std::size_t kDropLevel = kSmoothDepth + 1;
    static constexpr std::size_t kMostCover = 8;
    static constexpr std::chrono::seconds kCoverHeld{20};
    // A level this far above the window is no longer worth playing out (a capture thread held up for
    // longer than catch-up covers, an overflow): the buffer falls back to its window at once.
    static constexpr std::size_t kResyncExcess = 300;
    // A rate this far from the device rate is a mismatch, corrected evenly; below kMismatchEnd it ends.
    static constexpr double kMismatchStart = 0.05;
    static constexpr double kMismatchEnd = 0.025;
    // Blocks per frame dropped beyond the surplus while a mismatched stream's level is above its window.
    static constexpr double kMismatchDrain = 0.05;

    enum class SlipKind : uint8_t { Repeated, Dropped };
    struct Slip {
        int32_t frameID = 0; // the frame that repeated, or the first frame after the dropped block
        SlipKind kind = SlipKind::Repeated;
        uint32_t blocks = 1; // blocks dropped at once by a resync
    };

    struct Statistics {
        uint64_t received = 0;        // blocks appended
        uint64_t delivered = 0;       // blocks that reached a frame
        uint64_t repeated = 0;        // frames that repeated the block before
        uint64_t dropped = 0;         // blocks that never reached a frame
        uint64_t slips = 0;           // underruns and drops of the level control
        uint64_t evenCorrections = 0; // single-block corrections of a rate mismatch
        std::size_t depthMedian = 0;  // level when frames took blocks
        std::size_t depthLargest = 0;
    };

    // What one frame gets.
    enum class Take : uint8_t {
        Block,   // the next block, or the one before repeated: `block` points at it
        Waiting, // not started yet (fewer than kSmoothDepth blocks so far): zeros
        Stale,   // dry for longer than the stale limit: zeros
    };

    // A rate mismatch seen for the first time on this stream: the caller logs it once.
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
    static constexpr int kMemoryBuckets = 4; // seconds of level memory
    static constexpr auto kBucketLength = std::chrono::seconds(1);
    static constexpr auto kDecisionEvery = std::chrono::milliseconds(250);
    static constexpr int kRateSamples = 64; // one every kRateSampleEvery
    static constexpr auto kRateSampleEvery = std::chrono::milliseconds(100);
    static constexpr auto kRateWindowLeast = std::chrono::seconds(3);
    static constexpr std::size_t kSlipRoom = 64;
    // The first moments of a stream still bring what waited before it started (blocks a sender held
    // back, or that waited in the connection): what is more than the smooth depth then is not live.
    static constexpr auto kStartWindow = std::chrono::milliseconds(100);

    Take takeOne(int32_t frameID, Clock::time_point now, const SampleBlock*& block);
    void controlLevel(int32_t frameID, Clock::time_point now);
    void resetStream();
    void dropOldest(std::size_t count);
    void push(const unsigned char* wire);
    void recordSlip(int32_t frameID, SlipKind kind, uint32_t blocks);
    void sampleRate(Clock::time_point arrived);

    mutable std::mutex mutex_;
    std::vector<SampleBlock> ring_; // kCapacity, allocated once
    std::size_t head_ = 0;
    std::size_t count_ = 0;
    SampleBlock last_{}; // the block the last frame carried, for a repeat
    bool hasLast_ = false;

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
    // The lowest level per second of the last kMemoryBuckets seconds.
    std::array<std::size_t, kMemoryBuckets> troughs_{};
    int bucket_ = 0;
    int bucketsFilled_ = 0;
    Clock::time_point bucketStart_{};
    Clock::time_point nextDecision_{};
    // Arrival rate: (arrival time, blocks so far on this stream) sampled at batch arrivals.
    struct RateSample {
        Clock::time_point at;
        uint64_t blocks;
    };
    std::array<RateSample, kRateSamples> rateSamples_{};
    std::size_t rateNewest_ = 0;
    std::size_t rateCount_ = 0;
    uint64_t streamBlocks_ = 0;
    bool mismatch_ = false;
    bool mismatchNoted_ = false;
    double excess_ = 0.0;     // blocks per frame beyond one (negative: short)
    double correction_ = 0.0; // the even correction's running remainder
    RateNote rateNote_;

    Statistics stats_;
    std::array<uint64_t, kCapacity + 1> depthHistogram_{};
    std::array<Slip, kSlipRoom> slips_{};
    std::size_t slipCount_ = 0;
    uint64_t slipsLeftOut_ = 0;
};

} // namespace QuillmarkPluginDevices
