#include "device/FerroxEMG.h"

#include "device/DeviceMessages.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace QuillmarkPluginDevices {

namespace {
constexpr auto kCaptureJoinLimit = std::chrono::milliseconds(1000);
constexpr double kDefaultRate = 1000.0;
} // namespace

bool FerroxEMG::StartCapture() {
    if (capture_.running()) {
        return true; // already capturing: start nothing
    }
    // An earlier stop gave up waiting; only start again once that thread has ended.
    if (!capture_.stop(std::chrono::milliseconds(0))) {
        return false;
    }
    receiver_.stop();
    const bool result = cPluginDevice<float>::StartCapture();

    // Blocks from before this capture are not live any more.
    blockQueue_.clear();
    double rate = kDefaultRate;
    if (!GetProperty(kRatePropName, rate) || !(rate > 0.0) || !std::isfinite(rate)) {
        rate = kDefaultRate;
    }
    SetProperty(kRatePropName, rate);

    if (!receiver_.start()) {
        return false;
    }
    if (!capture_.start(rate)) {
        receiver_.stop();
        return false;
    }
    return result;
}

bool FerroxEMG::StopCapture() {
    cPluginDevice<float>::StopCapture();
    const bool ended = capture_.stop(kCaptureJoinLimit);
    receiver_.stop();
    return ended;
}

void FerroxEMG::FillFrameValues(float* values, int& valuesPerFrame, int& frameCount, int framesDue) {
    const CaptureLoop::Fill fill = fillValues(values, framesDue, CaptureLoop::Clock::now());
    valuesPerFrame = fill.valuesPerFrame;
    frameCount = fill.frames;
}

CaptureLoop::Fill FerroxEMG::fillValues(float* values, int framesDue, CaptureLoop::Clock::time_point now) {
    CaptureLoop::Fill fill;
    fill.valuesPerFrame = ActiveChannelCount();
    fill.rowValues = std::clamp(fill.valuesPerFrame, 0, kValuesBufferSize);
    // The stream is sampled, not replayed: row 0 serves every frame due.
    fill.frames = std::clamp(framesDue, 1, kValueRows);
    fill.rowStride = 0;
    const bool live = receiver_.connected();
    blockQueue_.withSecondNewest([&](const SampleBlock* block, BlockQueue::Clock::time_point arrived) {
        fill.newestArrival = arrived;
        if (live && block) {
            fill.source =
                now - arrived > kStaleAfter ? CaptureLoop::Source::Stale : CaptureLoop::Source::Live;
        }
        if (fill.source != CaptureLoop::Source::Live) {
            std::fill(values, values + fill.rowValues, 0.0f);
            return;
        }
        for (int i = 0; i < fill.rowValues; ++i) {
            const int id = ChannelID(i);
            values[i] = (id >= 0 && id < static_cast<int>(SampleBlock::kValues))
                            ? static_cast<float>(block->values[static_cast<std::size_t>(id)])
                            : 0.0f;
        }
    });
    return fill;
}

CaptureLoop::Fill FerroxEMG::CaptureTarget::fillValues(float* values, int framesDue,
                                                       CaptureLoop::Clock::time_point now) {
    return device_.fillValues(values, framesDue, now);
}

bool FerroxEMG::CaptureTarget::writeFrame(const float* row, int count) {
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

void FerroxEMG::CaptureTarget::note(const char* text) {
    device_.LogError(0, "%s", text);
}

} // namespace QuillmarkPluginDevices
