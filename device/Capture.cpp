#include "device/FerroxEMG.h"

#include "device/DeviceMessages.h"
#include "platform/Environment.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>

namespace QuillmarkPluginDevices {

namespace {
constexpr auto kCaptureJoinLimit = std::chrono::milliseconds(1000);
constexpr double kDefaultRate = 1000.0;
} // namespace

bool FerroxEMG::StartCapture() {
    listenAgain();
    if (capture_.running()) {
        return true; // already capturing: start nothing
    }
    // An earlier stop gave up waiting; only start again once that thread has ended.
    if (!capture_.stop(std::chrono::milliseconds(0))) {
        return false;
    }
    double rate = kDefaultRate;
    if (!GetProperty(kRatePropName, rate) || !(rate > 0.0) || !std::isfinite(rate)) {
        rate = kDefaultRate;
    }
    if (!CaptureLoop::schedulable(rate)) {
        LogError(0, FERROX_LOG_RATE_REFUSED, rate);
        return false;
    }
    const bool result = cPluginDevice<float>::StartCapture();
    SetProperty(kRatePropName, rate);
    // Blocks from before this capture are not live any more; the channels may have changed since.
    blockQueue_.clear();
    playout_.start(rate, kStaleAfter);
    playout_.setActive(delivery() == Delivery::EverySample);
    nextSlipSummary_ = 0;

    // FERROX_CAPTURE_PRIORITY=0 keeps the capture thread at normal priority (to measure what it buys).
    const auto priority = platform::getEnv("FERROX_CAPTURE_PRIORITY");
    if (!capture_.start(rate, !(priority && *priority == "0"))) {
        return false;
    }
    return result;
}

bool FerroxEMG::StopCapture() {
    cPluginDevice<float>::StopCapture();
    return capture_.stop(kCaptureJoinLimit);
}

void FerroxEMG::FillFrameValues(float* values, int& valuesPerFrame, int& frameCount, int framesDue) {
    const CaptureLoop::Fill fill = fillValues(values, framesDue, CaptureLoop::Clock::now());
    valuesPerFrame = fill.valuesPerFrame;
    frameCount = fill.frames;
}

CaptureLoop::Fill FerroxEMG::fillValues(float* values, int framesDue, CaptureLoop::Clock::time_point now) {
    using Source = CaptureLoop::Source;
    CaptureLoop::Fill fill;
    fill.valuesPerFrame = ActiveChannelCount();
    fill.rowValues = std::clamp(fill.valuesPerFrame, 0, kValuesBufferSize);
    // The channel IDs once per fill, before any other lock; on the stack, as tests fill from their own
    // thread.
    int ids[kValuesBufferSize];
    channelIDs(ids, fill.rowValues);
    // The blocks that came in since the last tick, before anything is taken from them.
    receiver_.receive(now);
    const int count = fill.rowValues;
    auto mapRow = [&ids, count](float* row, const SampleBlock& block) {
        for (int i = 0; i < count; ++i) {
            const int id = ids[i];
            row[i] = (id >= 0 && id < static_cast<int>(SampleBlock::kValues))
                         ? static_cast<float>(block.values[static_cast<std::size_t>(id)])
                         : 0.0f;
        }
    };
    const bool live = receiver_.connected();

    if (delivery() == Delivery::NewestSample) {
        // The stream is sampled, not replayed: row 0 serves every frame due.
        fill.frames = std::clamp(framesDue, 1, kValueRows);
        fill.rowStride = 0;
        blockQueue_.withSecondNewest([&](const SampleBlock* block, BlockQueue::Clock::time_point arrived) {
            fill.newestArrival = arrived;
            if (live && block) {
                fill.source = now - arrived > kStaleAfter ? Source::Stale : Source::Live;
            }
            if (fill.source == Source::Live) {
                mapRow(values, *block);
            } else {
                std::fill(values, values + count, 0.0f);
            }
        });
        return fill;
    }

    // Every sample: one row per frame, each the next block the playout buffer gives.
    const int stride = std::max(count, kRowValues);
    fill.rowStride = stride;
    fill.frames = std::clamp(framesDue, 1, std::max(1, kValuesBufferSize / stride));
    if (!live) {
        for (int f = 0; f < fill.frames; ++f) {
            float* row = values + static_cast<std::ptrdiff_t>(f) * stride;
            std::fill(row, row + count, 0.0f);
        }
        return fill;
    }
    playout_.take(fill.frames, FrameCounter(), now,
                  [&](int f, PlayoutBuffer::Take take, const SampleBlock* block) {
                      float* row = values + static_cast<std::ptrdiff_t>(f) * stride;
                      if (take == PlayoutBuffer::Take::Block) {
                          mapRow(row, *block);
                      } else {
                          std::fill(row, row + count, 0.0f);
                      }
                      if (f == 0) {
                          fill.source = take == PlayoutBuffer::Take::Block   ? Source::Live
                                        : take == PlayoutBuffer::Take::Stale ? Source::Stale
                                                                             : Source::NoStream;
                      }
                  });
    fill.newestArrival = playout_.newestArrival();
    logPlayoutNotes(now, false);
    return fill;
}

void FerroxEMG::channelIDs(int* ids, int count) {
    // Asked anew on every fill: a host may change which channels are active without reporting it (a
    // profile load, its own rules), and a map kept from an earlier tick would put one muscle's signal
    // under another's name.
    for (int i = 0; i < count; ++i) {
        ids[i] = ChannelID(i);
    }
}

void FerroxEMG::logPlayoutNotes(CaptureLoop::Clock::time_point now, bool final) {
    // The log is never written per tick: the rate note at most once a second, slips once every 10 s.
    constexpr auto kSlipSummaryEvery = std::chrono::seconds(10);
    const auto at = now.time_since_epoch().count();
    if (!final && at < nextSlipSummary_.load()) {
        return;
    }
    nextSlipSummary_ = (now + kSlipSummaryEvery).time_since_epoch().count();
    const PlayoutBuffer::RateNote note = playout_.takeRateNote();
    if (note.fresh) {
        double rate = kDefaultRate;
        GetProperty(kRatePropName, rate);
        LogError(0, FERROX_LOG_RATE_MISMATCH, note.blocksPerSecond, rate,
                 note.blocksPerSecond > rate ? "surplus is dropped" : "deficit is repeated");
    }
    constexpr std::size_t kListed = 16;
    PlayoutBuffer::Slip slips[kListed];
    uint64_t more = 0;
    const std::size_t n = playout_.takeSlips(slips, kListed, more);
    if (n == 0) {
        return;
    }
    std::string text;
    for (std::size_t i = 0; i < n; ++i) {
        text += i == 0 ? " frame " : ", frame ";
        text += std::to_string(slips[i].frameID);
        if (slips[i].kind == PlayoutBuffer::SlipKind::Repeated) {
            text += " repeated";
        } else {
            text += slips[i].blocks > 1 ? " after " + std::to_string(slips[i].blocks) + " blocks dropped"
                                        : " after a block dropped";
        }
    }
    if (more > 0) {
        text += " and " + std::to_string(more) + " more";
    }
    LogError(0, FERROX_LOG_PLAYOUT_SLIPS, text.c_str());
}

CaptureLoop::Fill FerroxEMG::Callbacks::fillValues(float* values, int framesDue,
                                                   CaptureLoop::Clock::time_point now) {
    return device_.fillValues(values, framesDue, now);
}

bool FerroxEMG::Callbacks::writeFrame(const float* row, int count) {
    const int32_t frameID = device_.FrameCounter();
    AnalogSystem::AnalogFrame<float>* frame = device_.BeginFrameUpdate(frameID, true);
    if (!frame) {
        device_.LogError(1, FERROX_LOG_FRAME_REFUSED, frameID);
        return false;
    }
    frame->SetID(frameID);
    frame->SetFlag(1);
    frame->SetDeviceID(device_.DeviceIdentity());
    // The frame is sized by the active channels as they are now; a channel enabled since the values were
    // filled has no value this tick, and a reused frame must not show an old one.
    const int channels = frame->ChannelCount();
    const int written = std::clamp(count, 0, std::max(channels, 0));
    std::copy(row, row + written, frame->Samples());
    std::fill(frame->Samples() + written, frame->Samples() + std::max(written, channels), 0.0f);
    device_.EndFrameUpdate();
    device_.SetFrameCounter(frameID + 1);
    return true;
}

void FerroxEMG::Callbacks::streamStalled() {
    device_.LogError(0, FERROX_LOG_STREAM_STALLED, static_cast<long long>(kStaleAfter.count()));
}

void FerroxEMG::Callbacks::priorityGranted(const char* description) {
    device_.LogError(0, FERROX_LOG_CAPTURE_PRIORITY, description);
}

void FerroxEMG::Callbacks::streamResumed(double gapMs) {
    device_.LogError(0, FERROX_LOG_STREAM_RESUMED, gapMs);
}

void FerroxEMG::Callbacks::captureEnded(const CaptureLoop::Statistics& stats, double rate) {
    device_.logPlayoutNotes(CaptureLoop::Clock::now(), true);
    const PlayoutBuffer::Statistics playout = device_.playout_.statistics();
    const SampleReceiver::ConnectionCounts connections = device_.receiver_.takeConnectionCounts();
    device_.LogError(
        0, FERROX_LOG_CAPTURE_ENDED, static_cast<long long>(stats.frames),
        static_cast<long long>(stats.ticks), rate, static_cast<long long>(stats.lateTicks),
        stats.worstLatenessMs, static_cast<long long>(stats.skippedFrames),
        static_cast<long long>(stats.refusedFrames), static_cast<long long>(stats.staleFrames),
        static_cast<long long>(stats.stalls),
        device_.delivery() == Delivery::EverySample ? "every-sample" : "newest-sample",
        static_cast<unsigned long long>(playout.received), static_cast<unsigned long long>(playout.delivered),
        static_cast<unsigned long long>(playout.repeated), static_cast<unsigned long long>(playout.dropped),
        static_cast<unsigned long long>(playout.slips), static_cast<unsigned long long>(playout.depthMedian),
        static_cast<unsigned long long>(playout.depthLargest),
        static_cast<unsigned long long>(connections.refused),
        static_cast<unsigned long long>(connections.unused));
}

void FerroxEMG::Callbacks::streamEnded(const char* why) {
    device_.LogError(0, FERROX_LOG_STREAM_ENDED, why);
}

void FerroxEMG::Callbacks::streamReplaced() {
    device_.LogError(0, FERROX_LOG_STREAM_REPLACED);
}

void FerroxEMG::Callbacks::acknowledgementsRefused(int error) {
    device_.LogError(0, FERROX_LOG_ACKNOWLEDGEMENTS_REFUSED, error);
}

} // namespace QuillmarkPluginDevices
