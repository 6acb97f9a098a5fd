#pragma once

#include "companion/OutputRelay.h"
#include "device/BlockQueue.h"
#include "device/CaptureLoop.h"
#include "device/SampleReceiver.h"
#include "host/Device.h"
#include "inventory/SensorRecord.h"
#include "platform/Handle.h"

#include <chrono>
#include <deque>
#include <vector>

namespace QuillmarkPluginDevices {

// The EMG system as one analog device of the host. The companion streams 1024-byte sample blocks to
// its loopback listener; the receiver's thread keeps the newest of them in a bounded queue, and the
// capture loop's thread turns the second-newest into one host frame per tick of the device rate. The
// device composes the two and keeps the operations the host calls; it stops them in its destructor
// before any member they use goes away.
class FerroxEMG : public AnalogSystem::cPluginDevice<float> {
public:
    static constexpr unsigned short kStreamPort = 35692;
    // The values buffer of the capture thread: 10 rows of 128 values.
    static constexpr int kValueRows = 10;
    static constexpr int kRowValues = 128;
    static constexpr int kValuesBufferSize = kValueRows * kRowValues;
    static constexpr std::chrono::milliseconds kStaleAfter = CaptureLoop::kStaleAfter;
    static constexpr std::chrono::milliseconds kCatchUpLimit = CaptureLoop::kCatchUpLimit;

    // Throws boost::system::system_error ("open", "set_option", "bind", "listen", "non_blocking") when
    // the listener cannot be set up. `port` 0 picks a free port (tests); the plug-in uses kStreamPort.
    explicit FerroxEMG(std::vector<SensorRecord>&& sensors, unsigned short port = kStreamPort);
    ~FerroxEMG() override;
    FerroxEMG(const FerroxEMG&) = delete;
    FerroxEMG& operator=(const FerroxEMG&) = delete;

    bool Configure() override;
    bool Deconfigure() override;
    bool PrepareForSync() override;
    bool StartCapture() override;
    bool StopCapture() override;
    void PropertyChanged(const char* propertyName) override;
    void ChannelPropertyChanged(const char* channelName, const char* propertyName) override;
    AnalogSystem::AnalogFrame<float>* MakeFrame(int channelCount) const override;

    // Takes a connection the companion has already made; never waits for one. Throws
    // boost::system::system_error "accept" (would-block when none is pending, already-open while a
    // stream is live).
    void AcceptStream();

    // Fills row 0 of `values` (kValuesBufferSize floats) from the second-newest block, or with zeros
    // while no stream is live, fewer than two blocks are queued or the stream has stalled. Reports the active
    // channel count and the frames due, bounded by the rows of the buffer. Row 0 serves every frame due.
    void FillFrameValues(float* values, int& valuesPerFrame, int& frameCount, int framesDue = 1);

    // For the factory: descriptor names live here for the device's lifetime and never move.
    std::deque<std::vector<char>>& channelNameStore() { return channelNameStore_; }
    const std::vector<SensorRecord>& sensors() const { return sensors_; }

    unsigned short listeningPort() const { return receiver_.port(); }
    bool connected() const { return receiver_.connected(); }
    const BlockQueue& blockQueue() const { return blockQueue_; }

    using CaptureStatistics = CaptureLoop::Statistics;
    // What the last capture measured against its schedule.
    CaptureStatistics captureStatistics() const { return capture_.statistics(); }

private:
    // The capture loop's view of the device.
    class CaptureTarget final : public CaptureLoop::Device {
    public:
        explicit CaptureTarget(FerroxEMG& device) : device_(device) {}
        CaptureLoop::Fill fillValues(float* values, int framesDue,
                                     CaptureLoop::Clock::time_point now) override;
        bool writeFrame(const float* row, int count) override;
        void note(const char* text) override;

    private:
        FerroxEMG& device_;
    };

    CaptureLoop::Fill fillValues(float* values, int framesDue, CaptureLoop::Clock::time_point now);
    void applyRunMode(int index);
    void postStatus(const char* text);
    void handlePropertyChange(const char* name);

    std::deque<std::vector<char>> channelNameStore_;
    bool stopToggle_ = false;
    platform::NativeHandle pipeHandle_ = platform::kInvalidHandle;
    std::vector<SensorRecord> sensors_;
    BlockQueue blockQueue_;
    SampleReceiver receiver_;
    CaptureTarget captureTarget_{*this};
    CaptureLoop capture_;
    OutputRelay relay_;
};

} // namespace QuillmarkPluginDevices
