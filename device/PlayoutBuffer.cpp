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
    started_ = false;
    inUnderrun_ = false;
    cover_ = 0;
    stale_ = false;
    newestArrival_ = Clock::time_point{};
    troughs_.fill(kNoTrough);
    bucket_ = 0;
    rateCount_ = 0;
    streamBlocks_ = 0;
    surplus_ = 0.0;
    correction_ = 0.0;
    rateNoted_ = false;
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
    const Clock::time_point previousArrival = newestArrival_;
    newestArrival_ = arrived;
    for (std::size_t i = 0; i < count; ++i) {
        push(wire + i * SampleBlock::kBytes);
    }
    // Before playout starts, what waits is a backlog (blocks sent before the capture or the connection
    // began): only the newest are live.
    if (!started_ && count_ > kSmoothDepth) {
        dropOldest(count_ - kSmoothDepth);
    }
    sampleRate(arrived, previousArrival);
}

void PlayoutBuffer::sampleRate(Clock::time_point arrived, Clock::time_point previousArrival) {
    // What came before playout started, or in its first moments, is the backlog of a connection or of a
    // sender, all read at once: it says nothing of the stream's rate.
    if (!started_ || arrived - startedAt_ < kStartWindow) {
        rateCount_ = 0;
        return;
    }
    // A gap: the sender was held up, and whatever it skipped meanwhile is no part of its rate. A new
    // stretch starts a sample period on, once the catch-up that ends the gap is in.
    if (rateCount_ > 0 && arrived - previousArrival > kRateGap) {
        ++rateStretch_;
        lastRateSample_ = arrived;
        return;
    }
    if (rateCount_ > 0 && arrived - lastRateSample_ < kRateSampleEvery) {
        return;
    }
    lastRateSample_ = arrived;
    rateNewest_ = (rateNewest_ + 1) % kRateSamples;
    rateSamples_[rateNewest_] = RateSample{std::chrono::duration<double>(arrived - startedAt_).count(),
                                           static_cast<double>(streamBlocks_), rateStretch_};
    rateCount_ = std::min<std::size_t>(rateCount_ + 1, kRateSamples);
    if (rateCount_ < static_cast<std::size_t>(kRateLeastSamples)) {
        return;
    }
    // The least-squares slope of blocks over time common to every stretch, each about its own means,
    // and its standard error from the scatter about it: a rate is taken as off the device rate only
    // when it is off by more than three of those.
    const std::size_t n = rateCount_;
    const std::size_t first = (rateNewest_ + kRateSamples - (n - 1)) % kRateSamples;
    auto sample = [&](std::size_t i) -> const RateSample& {
        return rateSamples_[(first + i) % kRateSamples];
    };
    double stt = 0.0;
    double stb = 0.0;
    double sbb = 0.0;
    std::size_t stretches = 0;
    for (std::size_t from = 0; from < n; ++stretches) {
        std::size_t to = from;
        double meanT = 0.0;
        double meanB = 0.0;
        for (; to < n && sample(to).stretch == sample(from).stretch; ++to) {
            meanT += sample(to).at;
            meanB += sample(to).blocks;
        }
        meanT /= static_cast<double>(to - from);
        meanB /= static_cast<double>(to - from);
        for (std::size_t i = from; i < to; ++i) {
            const double t = sample(i).at - meanT;
            const double b = sample(i).blocks - meanB;
            stt += t * t;
            stb += t * b;
            sbb += b * b;
        }
        from = to;
    }
    // Each stretch spends a sample on its own offset.
    if (n + 1 < stretches + static_cast<std::size_t>(kRateLeastSamples) || !(stt > 0.0)) {
        return;
    }
    const double blocksPerSecond = stb / stt;
    const double scatter = std::max(sbb - blocksPerSecond * stb, 0.0);
    const double standardError = std::sqrt(scatter / static_cast<double>(n - stretches - 1) / stt);
    const double deviation = blocksPerSecond / rate_ - 1.0;
    const double uncertain = std::max(kRateFloor, 3.0 * standardError / rate_);
    surplus_ = std::fabs(deviation) > uncertain ? deviation : 0.0;
    if (surplus_ != 0.0 && !rateNoted_) {
        rateNoted_ = true;
        rateNote_ = RateNote{true, blocksPerSecond};
        // What piled up before the rate was known is no depth the stream needs: the level part sees the
        // level as it is from now on, and gives the pile-up back within a moment.
        troughs_.fill(kNoTrough);
    }
}

void PlayoutBuffer::recordSlip(int32_t frameID, SlipKind kind, uint32_t blocks) {
    ++stats_.slips;
    if (slipCount_ < kSlipRoom) {
        slips_[slipCount_++] = Slip{frameID, kind, blocks};
    } else {
        ++slipsLeftOut_;
    }
}

void PlayoutBuffer::rememberLevel(Clock::time_point now) {
    if (now - bucketStart_ >= kMemory) {
        troughs_.fill(kNoTrough);
        bucketStart_ = now;
    }
    while (now - bucketStart_ >= kBucketLength) {
        bucket_ = (bucket_ + 1) % kMemoryBuckets;
        troughs_[static_cast<std::size_t>(bucket_)] = kNoTrough;
        bucketStart_ += kBucketLength;
    }
    std::size_t& trough = troughs_[static_cast<std::size_t>(bucket_)];
    trough = std::min(trough, count_);
}

double PlayoutBuffer::correctionPerFrame() const {
    const std::size_t target = kDropLevel + cover_;
    const std::size_t lowest = *std::min_element(troughs_.begin(), troughs_.end());
    const double above =
        lowest >= target && lowest != kNoTrough ? static_cast<double>(lowest - target + 1) : 0.0;
    const double level = std::min(above * kLevelGain, kMostLevelDrain);
    // The level part only gives blocks up; it may hold back the repeats of a slow stream, never turn
    // them into drops, so the two parts never work against each other.
    if (surplus_ < 0.0) {
        return std::min(surplus_ + level, 0.0);
    }
    return surplus_ + level;
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
    }
    if (now - startedAt_ < kStartWindow && count_ > kSmoothDepth) {
        dropOldest(count_ - kSmoothDepth);
    }
    const std::size_t level = count_;
    ++depthHistogram_[level];
    rememberLevel(now);

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
        }
        ++underrunFrames_;
        ++stats_.repeated;
        correction_ = std::max(correction_, 0.0); // the repeat is one the rate asked for
        coverSince_ = now;
        block = &last_;
        return Take::Block;
    }
    if (inUnderrun_) {
        // The n frames of the underrun repeated n blocks, which now wait here on top of the level before;
        // the target widens by as much, so that depth is kept to cover the next hold-up instead of being
        // given up (a lost block) a moment later.
        inUnderrun_ = false;
        cover_ = std::min(cover_ + underrunFrames_, kMostCover);
    }
    if (cover_ > 0 && now - coverSince_ >= kCoverHeld) {
        --cover_;
        coverSince_ = now;
    }

    correction_ += correctionPerFrame();
    if (correction_ <= -1.0) {
        correction_ += 1.0;
        recordSlip(frameID, SlipKind::Repeated, 1);
        ++stats_.repeated;
        block = &last_;
        return Take::Block;
    }
    if (correction_ >= 1.0) {
        correction_ -= 1.0;
        if (count_ >= 2) {
            dropOldest(1);
            recordSlip(frameID, SlipKind::Dropped, 1);
        }
    }

    last_ = ring_[head_];
    head_ = (head_ + 1) % kCapacity;
    --count_;
    ++stats_.delivered;
    block = &last_;

    const std::size_t target = kDropLevel + cover_;
    if (count_ + 1 > target + kResyncExcess) {
        // Far more than the target: give up the excess at once rather than play it out late.
        const std::size_t excess = count_ + 1 - target;
        dropOldest(excess);
        recordSlip(frameID + 1, SlipKind::Dropped, static_cast<uint32_t>(excess));
        troughs_.fill(kNoTrough);
    }
    return Take::Block;
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
