#include "device/PlayoutBuffer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace QuillmarkPluginDevices {

namespace {
constexpr std::size_t kNoTrough = std::numeric_limits<std::size_t>::max();
} // namespace

PlayoutBuffer::PlayoutBuffer() : ring_(kCapacity) {
    troughs_.fill(kNoTrough);
}

void PlayoutBuffer::start(double framesPerSecond, std::chrono::nanoseconds staleAfter) {
    std::lock_guard<std::mutex> lock(mutex_);
    rate_ = framesPerSecond > 0.0 && std::isfinite(framesPerSecond) ? framesPerSecond : 1000.0;
    staleAfter_ = std::chrono::duration_cast<Clock::duration>(staleAfter);
    head_ = 0;
    count_ = 0;
    resetStream();
    stats_ = Statistics{};
    depthHistogram_.fill(0);
    slipCount_ = 0;
    slipsLeftOut_ = 0;
}

void PlayoutBuffer::restart() {
    std::lock_guard<std::mutex> lock(mutex_);
    resetStream();
}

void PlayoutBuffer::setActive(bool active) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (active != active_) {
        active_ = active;
        resetStream();
    }
}

void PlayoutBuffer::resetStream() {
    stats_.dropped += count_; // waiting blocks of a stream that is gone never reach a frame
    head_ = 0;
    count_ = 0;
    hasLast_ = false;
    started_ = false;
    inUnderrun_ = false;
    cover_ = 0;
    stale_ = false;
    newestArrival_ = Clock::time_point{};
    troughs_.fill(kNoTrough);
    bucket_ = 0;
    bucketsFilled_ = 0;
    rateCount_ = 0;
    streamBlocks_ = 0;
    mismatch_ = false;
    mismatchNoted_ = false;
    excess_ = 0.0;
    correction_ = 0.0;
    rateNote_ = RateNote{};
}

void PlayoutBuffer::push(const unsigned char* wire) {
    if (count_ == kCapacity) {
        dropOldest(1);
    }
    // Copied as bytes: the wire holds little-endian doubles, which is this machine's own layout.
    std::memcpy(ring_[(head_ + count_) % kCapacity].values.data(), wire, SampleBlock::kBytes);
    ++count_;
}

void PlayoutBuffer::dropOldest(std::size_t count) {
    count = std::min(count, count_);
    head_ = (head_ + count) % kCapacity;
    count_ -= count;
    stats_.dropped += count;
}

void PlayoutBuffer::append(const unsigned char* wire, std::size_t count, Clock::time_point arrived) {
    if (count == 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    stats_.received += count;
    if (!active_) {
        return;
    }
    streamBlocks_ += count;
    newestArrival_ = arrived;
    for (std::size_t i = 0; i < count; ++i) {
        push(wire + i * SampleBlock::kBytes);
    }
    // Before playout starts, what waits is a backlog (blocks sent before the capture or the connection
    // began): only the newest are live.
    if (!started_ && count_ > kSmoothDepth) {
        dropOldest(count_ - kSmoothDepth);
    }
    sampleRate(arrived);
}

void PlayoutBuffer::sampleRate(Clock::time_point arrived) {
    // What came before playout started, or in its first moments, is the backlog of a connection or of a
    // sender, all read at once: it says nothing of the stream's rate.
    if (!started_ || arrived - startedAt_ < kStartWindow) {
        rateCount_ = 0;
        return;
    }
    if (rateCount_ > 0 && arrived - rateSamples_[rateNewest_].at < kRateSampleEvery) {
        return;
    }
    rateNewest_ = (rateNewest_ + 1) % kRateSamples;
    rateSamples_[rateNewest_] = RateSample{arrived, streamBlocks_};
    rateCount_ = std::min<std::size_t>(rateCount_ + 1, kRateSamples);
    const RateSample& oldest = rateSamples_[(rateNewest_ + kRateSamples - (rateCount_ - 1)) % kRateSamples];
    const auto span = arrived - oldest.at;
    if (span < kRateWindowLeast) {
        return;
    }
    // Both ends are batch arrivals and the blocks between them are counted whole, so a stream that comes
    // in bursts measures as exactly as a paced one.
    const double blocksPerSecond =
        static_cast<double>(streamBlocks_ - oldest.blocks) / std::chrono::duration<double>(span).count();
    const double deviation = blocksPerSecond / rate_ - 1.0;
    if (!mismatch_ && std::fabs(deviation) > kMismatchStart) {
        mismatch_ = true;
        if (!mismatchNoted_) {
            mismatchNoted_ = true;
            rateNote_ = RateNote{true, blocksPerSecond};
        }
    } else if (mismatch_ && std::fabs(deviation) < kMismatchEnd) {
        mismatch_ = false;
        correction_ = 0.0;
    }
    excess_ = mismatch_ ? deviation : 0.0;
}

void PlayoutBuffer::recordSlip(int32_t frameID, SlipKind kind, uint32_t blocks) {
    ++stats_.slips;
    if (slipCount_ < kSlipRoom) {
        slips_[slipCount_++] = Slip{frameID, kind, blocks};
    } else {
        ++slipsLeftOut_;
    }
}

PlayoutBuffer::Take PlayoutBuffer::takeOne(int32_t frameID, Clock::time_point now,
                                           const SampleBlock*& block) {
    block = nullptr;
    if (!started_) {
        if (count_ < kSmoothDepth) {
            return stale_ ? Take::Stale : Take::Waiting;
        }
        started_ = true;
        startedAt_ = now;
        stale_ = false;
        bucketStart_ = now;
        nextDecision_ = now + kDecisionEvery;
    }

    // The level memory: one trough per second, the oldest second forgotten.
    if (now - bucketStart_ >= kBucketLength * kMemoryBuckets) {
        troughs_.fill(kNoTrough);
        bucketsFilled_ = 0;
        bucketStart_ = now;
    }
    while (now - bucketStart_ >= kBucketLength) {
        bucket_ = (bucket_ + 1) % kMemoryBuckets;
        troughs_[static_cast<std::size_t>(bucket_)] = kNoTrough;
        bucketStart_ += kBucketLength;
        bucketsFilled_ = std::min(bucketsFilled_ + 1, kMemoryBuckets);
    }
    if (now - startedAt_ < kStartWindow && count_ > kSmoothDepth) {
        dropOldest(count_ - kSmoothDepth);
    }
    const std::size_t level = count_;
    ++depthHistogram_[level];
    std::size_t& trough = troughs_[static_cast<std::size_t>(bucket_)];
    trough = std::min(trough, level);

    if (count_ == 0) {
        if (now - newestArrival_ > staleAfter_) {
            // Quiet for too long: not live any more. The stream starts again from its smooth depth.
            const Clock::time_point newest = newestArrival_;
            resetStream();
            newestArrival_ = newest;
            stale_ = true;
            return Take::Stale;
        }
        // Dry: the stream is late, or its clock slow. One slip, however many frames the run lasts.
        if (!inUnderrun_) {
            inUnderrun_ = true;
            recordSlip(frameID, SlipKind::Repeated, 1);
            underrunFrames_ = 0;
            coverSince_ = now;
        }
        ++underrunFrames_;
        ++stats_.repeated;
        block = &last_;
        return Take::Block;
    }
    if (inUnderrun_) {
        // The n frames of the underrun repeated n blocks, which now wait here on top of the level before;
        // the window widens by as much, so that depth is kept to cover the next hold-up instead of being
        // dropped (a lost block) a few seconds later.
        inUnderrun_ = false;
        cover_ = std::min(cover_ + underrunFrames_, kMostCover);
    }

    if (mismatch_) {
        // The measured surplus or deficit per frame, and while the level is above its window a little
        // more, so what piled up before the mismatch was measured drains evenly too.
        correction_ += excess_ + (level > kDropLevel + cover_ ? kMismatchDrain : 0.0);
        if (correction_ <= -1.0) {
            correction_ += 1.0;
            ++stats_.evenCorrections;
            ++stats_.repeated;
            block = &last_;
            return Take::Block;
        }
        if (correction_ >= 1.0 && count_ >= 2) {
            correction_ -= 1.0;
            ++stats_.evenCorrections;
            dropOldest(1);
        }
    }

    last_ = ring_[head_];
    head_ = (head_ + 1) % kCapacity;
    --count_;
    hasLast_ = true;
    ++stats_.delivered;
    block = &last_;
    controlLevel(frameID, now);
    return Take::Block;
}

void PlayoutBuffer::controlLevel(int32_t frameID, Clock::time_point now) {
    const std::size_t window = kDropLevel + cover_;
    if (count_ + 1 > window + kResyncExcess) {
        // Far more than the window: give up the excess at once rather than play it out late.
        const std::size_t excess = count_ + 1 - window;
        dropOldest(excess);
        recordSlip(frameID + 1, SlipKind::Dropped, static_cast<uint32_t>(excess));
        troughs_.fill(kNoTrough);
        bucketsFilled_ = 0;
        return;
    }
    if (now < nextDecision_ || mismatch_) {
        return; // a mismatched stream has its level held by the even correction
    }
    nextDecision_ = now + kDecisionEvery;
    if (cover_ > 0 && now - coverSince_ >= kCoverHeld) {
        --cover_;
        coverSince_ = now;
    }
    const std::size_t lowest = *std::min_element(troughs_.begin(), troughs_.end());
    if (lowest == kNoTrough || lowest < window || count_ == 0) {
        return;
    }
    if (bucketsFilled_ < kMemoryBuckets - 1) {
        return;
    }
    dropOldest(1);
    recordSlip(frameID + 1, SlipKind::Dropped, 1);
    // Every level remembered is one block lower now.
    for (std::size_t& t : troughs_) {
        if (t != kNoTrough && t > 0) {
            --t;
        }
    }
}

PlayoutBuffer::Statistics PlayoutBuffer::statistics() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Statistics s = stats_;
    uint64_t total = 0;
    for (uint64_t n : depthHistogram_) {
        total += n;
    }
    uint64_t seen = 0;
    bool medianFound = false;
    for (std::size_t level = 0; level < depthHistogram_.size(); ++level) {
        if (depthHistogram_[level] == 0) {
            continue;
        }
        seen += depthHistogram_[level];
        if (!medianFound && 2 * seen >= total) {
            s.depthMedian = level;
            medianFound = true;
        }
        s.depthLargest = level;
    }
    return s;
}

std::size_t PlayoutBuffer::takeSlips(Slip* out, std::size_t room, uint64_t& more) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t n = std::min(room, slipCount_);
    std::copy(slips_.begin(), slips_.begin() + static_cast<std::ptrdiff_t>(n), out);
    more = slipsLeftOut_ + (slipCount_ - n);
    slipCount_ = 0;
    slipsLeftOut_ = 0;
    return n;
}

PlayoutBuffer::RateNote PlayoutBuffer::takeRateNote() {
    std::lock_guard<std::mutex> lock(mutex_);
    const RateNote note = rateNote_;
    rateNote_.fresh = false;
    return note;
}

PlayoutBuffer::Clock::time_point PlayoutBuffer::newestArrival() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return newestArrival_;
}

std::size_t PlayoutBuffer::level() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
}

} // namespace QuillmarkPluginDevices
