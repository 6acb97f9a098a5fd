#include "tools/common/CaptureMetrics.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace ferrox_tools {

void RunCounter::add(bool inRun) {
    if (!inRun) {
        current_ = 0;
        return;
    }
    if (current_ == 0) {
        ++runs_;
    }
    ++current_;
    longest_ = std::max(longest_, current_);
}

namespace {
// A time stamp the sender put into a value: ms modulo 1000, NaN where the channel is absent or holds none.
float stampIn(const std::vector<float>& samples, int channel) {
    if (channel < 0 || static_cast<std::size_t>(channel) >= samples.size()) {
        return std::numeric_limits<float>::quiet_NaN();
    }
    const float value = samples[static_cast<std::size_t>(channel)];
    return value > 0.0f && value < 1000.0f ? value : std::numeric_limits<float>::quiet_NaN();
}
} // namespace

CaptureMetrics::CaptureMetrics(double rate, int stampChannel, int sequenceChannel, int returnChannel)
    : periodNs_(rate > 0.0 ? 1e9 / rate : 1e6), stampChannel_(stampChannel),
      sequenceChannel_(sequenceChannel), returnChannel_(returnChannel),
      settledFrom_(std::numeric_limits<std::size_t>::max()) {}

void CaptureMetrics::addFrame(int32_t frameID, int64_t committedNs, const std::vector<float>& samples) {
    if (!haveFirst_) {
        haveFirst_ = true;
        firstId_ = frameID;
        firstNs_ = committedNs;
    }
    // Frame n is due n periods after the schedule's origin; the origin is fixed afterwards as the
    // earliest one the frames allow, so lateness never comes out negative.
    const double due = static_cast<double>(firstNs_) + static_cast<double>(frameID - firstId_) * periodNs_;
    latenessMs_.push_back((static_cast<double>(committedNs) - due) / 1e6);
    earliestOffsetMs_ = std::min(earliestOffsetMs_, latenessMs_.back());

    const auto second = static_cast<std::size_t>(static_cast<double>(frameID - firstId_) * periodNs_ / 1e9);
    while (seconds_.size() <= second) {
        seconds_.push_back(Second{0, 0, latencyMs_.size()});
    }
    const bool zeros =
        !samples.empty() && std::all_of(samples.begin(), samples.end(), [](float v) { return v == 0.0f; });
    ++seconds_[second].frames;
    seconds_[second].zeroFrames += zeros ? 1 : 0;
    if (zeros && !inZeros_) {
        recordingZeros_ = zeroStretches_.size() < kMaxZeroStretches;
        if (recordingZeros_) {
            zeroStretches_.emplace_back(static_cast<double>(frameID - firstId_) * periodNs_ / 1e9, 0);
        }
    }
    if (zeros && recordingZeros_) {
        ++zeroStretches_.back().second;
    }
    inZeros_ = zeros;

    const float stamp = stampIn(samples, stampChannel_);
    if (!std::isnan(stamp)) {
        const double sinceFirst = static_cast<double>(frameID - firstId_) * periodNs_;
        if (latencySecondFrom_ == std::numeric_limits<std::size_t>::max() && sinceFirst >= 1e9) {
            latencySecondFrom_ = latencyMs_.size();
        }
        if (latencySecondTo_ == std::numeric_limits<std::size_t>::max() && sinceFirst >= 2e9) {
            latencySecondTo_ = latencyMs_.size();
        }
        const double committedMs = std::fmod(static_cast<double>(committedNs) / 1e6, 1000.0);
        latencyMs_.push_back(std::fmod(committedMs - stamp + 1000.0, 1000.0));
    }

    if (sequenceChannel_ >= 0 && static_cast<std::size_t>(sequenceChannel_) < samples.size()) {
        if (settledFrom_ == std::numeric_limits<std::size_t>::max() &&
            static_cast<double>(frameID - firstId_) * periodNs_ >= 1e9) {
            settledFrom_ = sequence_.size();
        }
        sequence_.push_back(fidelityEntry(samples[static_cast<std::size_t>(sequenceChannel_)], zeros));
        sendStamps_.push_back(stamp);
        returnStamps_.push_back(stampIn(samples, returnChannel_));
        commitsMs_.push_back(std::fmod(static_cast<double>(committedNs) / 1e6, 1000.0));
    }
}

std::vector<double> CaptureMetrics::latenessMs() const {
    std::vector<double> lateness(latenessMs_);
    for (double& l : lateness) {
        l -= earliestOffsetMs_;
    }
    return lateness;
}

void CaptureMetrics::reserve(std::size_t frames) {
    auto prepare = [](auto& values, std::size_t count) {
        const std::size_t kept = values.size();
        values.resize(std::max(kept, count));
        values.resize(kept);
    };
    prepare(latenessMs_, frames);
    prepare(latencyMs_, stampChannel_ >= 0 ? frames : 0);
    prepare(memory_, frames / 100 + 16);
    prepare(memorySeconds_, frames / 100 + 16);
    prepare(sequence_, sequenceChannel_ >= 0 ? frames : 0);
    prepare(sendStamps_, sequenceChannel_ >= 0 ? frames : 0);
    prepare(returnStamps_, sequenceChannel_ >= 0 ? frames : 0);
    prepare(commitsMs_, sequenceChannel_ >= 0 ? frames : 0);
    prepare(zeroStretches_, 256);
    prepare(seconds_, static_cast<std::size_t>(static_cast<double>(frames) * periodNs_ / 1e9) + 2);
}

void CaptureMetrics::addMemorySample(double atSeconds, int64_t residentBytes) {
    memorySeconds_.push_back(atSeconds);
    memory_.push_back(residentBytes);
}

CaptureMetrics::Distribution CaptureMetrics::distribution(const std::vector<double>& values) {
    Distribution d;
    d.count = values.size();
    if (values.empty()) {
        return d;
    }
    auto quantile = [](std::vector<double> v, double q) {
        std::sort(v.begin(), v.end());
        const auto index = static_cast<std::size_t>(std::llround(q * static_cast<double>(v.size() - 1)));
        return v[std::min(v.size() - 1, index)];
    };
    d.median = quantile(values, 0.5);
    d.p99 = quantile(values, 0.99);
    d.worst = *std::max_element(values.begin(), values.end());
    const std::size_t tenth = std::max<std::size_t>(1, values.size() / 10);
    d.firstTenthMedian =
        quantile(std::vector<double>(values.begin(), values.begin() + static_cast<long>(tenth)), 0.5);
    d.lastTenthMedian =
        quantile(std::vector<double>(values.end() - static_cast<long>(tenth), values.end()), 0.5);
    return d;
}

namespace {
nlohmann::json toJson(const CaptureMetrics::Distribution& d) {
    return {{"median_ms", d.median},
            {"p99_ms", d.p99},
            {"worst_ms", d.worst},
            {"first_tenth_median_ms", d.firstTenthMedian},
            {"last_tenth_median_ms", d.lastTenthMedian},
            {"samples", d.count}};
}
} // namespace

nlohmann::json CaptureMetrics::toJson() const {
    nlohmann::json j;
    j["tick_lateness"] = ferrox_tools::toJson(distribution(latenessMs()));
    j["stream_latency"] = ferrox_tools::toJson(distribution(latencyMs_));
    // Whether the latency stays where it settled: the second after the first against the last tenth.
    if (latencySecondTo_ != std::numeric_limits<std::size_t>::max() &&
        latencySecondTo_ > latencySecondFrom_) {
        const std::vector<double> second(latencyMs_.begin() + static_cast<std::ptrdiff_t>(latencySecondFrom_),
                                         latencyMs_.begin() + static_cast<std::ptrdiff_t>(latencySecondTo_));
        j["stream_latency"]["first_settled_second_median_ms"] = distribution(second).median;
    }
    if (sequenceChannel_ >= 0) {
        j["fidelity"] = fidelityJson(sequence_, settledFrom_);
        j["sender_writes"] = senderWritesJson(sequence_, sendStamps_, commitsMs_, settledFrom_,
                                              periodNs_ / 1e6, returnStamps_);
        if (!j["fidelity"].is_null()) {
            const auto edge = static_cast<std::size_t>(kConnectionEdgeSeconds * 1e9 / periodNs_);
            j["connections"] =
                connectionsJson(sequence_, sendStamps_, commitsMs_, periodNs_ / 1e6, edge, returnStamps_);
        }
    }
    // Second by second: enough for a plot of an hour's capture, where every frame would be too many.
    nlohmann::json perSecond = {{"frames", nlohmann::json::array()},
                                {"zero_frames", nlohmann::json::array()},
                                {"latency_median_ms", nlohmann::json::array()},
                                {"latency_max_ms", nlohmann::json::array()}};
    for (std::size_t s = 0; s < seconds_.size(); ++s) {
        const std::size_t to = s + 1 < seconds_.size() ? seconds_[s + 1].latencyFrom : latencyMs_.size();
        perSecond["frames"].push_back(seconds_[s].frames);
        perSecond["zero_frames"].push_back(seconds_[s].zeroFrames);
        if (to > seconds_[s].latencyFrom) {
            const std::vector<double> latency(latencyMs_.begin() + static_cast<long>(seconds_[s].latencyFrom),
                                              latencyMs_.begin() + static_cast<long>(to));
            const Distribution d = distribution(latency);
            perSecond["latency_median_ms"].push_back(d.median);
            perSecond["latency_max_ms"].push_back(d.worst);
        } else {
            perSecond["latency_median_ms"].push_back(nullptr);
            perSecond["latency_max_ms"].push_back(nullptr);
        }
    }
    j["per_second"] = perSecond;
    j["zero_stretches"] = nlohmann::json::array();
    for (const auto& [at, frames] : zeroStretches_) {
        j["zero_stretches"].push_back({{"at_seconds", at}, {"frames", frames}});
    }
    if (!memory_.empty()) {
        const std::size_t tenth = std::max<std::size_t>(1, memory_.size() / 10);
        j["resident_bytes_first_tenth"] = memory_[tenth - 1];
        j["resident_bytes_last"] = memory_.back();
        j["resident_bytes_peak"] = *std::max_element(memory_.begin(), memory_.end());
        const double settled = std::min(kSettledSeconds, memorySeconds_.back() / 2.0);
        const auto at = std::lower_bound(memorySeconds_.begin(), memorySeconds_.end(), settled);
        const auto index = static_cast<std::size_t>(at - memorySeconds_.begin());
        j["resident_settled_at_seconds"] = memorySeconds_[index];
        j["resident_bytes_settled"] = memory_[index];
    }
    return j;
}

} // namespace ferrox_tools
