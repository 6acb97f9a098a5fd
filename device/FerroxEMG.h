#pragma once

#include "companion/OutputRelay.h"
#include "device/BlockQueue.h"
#include "device/CaptureLoop.h"
#include "device/PlayoutBuffer.h"
#include "device/SampleReceiver.h"
#include "host/Device.h"
#include "inventory/SensorRecord.h"
#include "platform/Handle.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <vector>

namespace QuillmarkPluginDevices {

// The EMG system as one analog device of the host. The companion streams 1024-byte sample blocks to
// its loopback listener. On every tick of the device rate the capture loop's thread has the receiver read
// what arrived and turns it into host frames: every block once, through the playout buffer, or the
// second-newest of the bounded queue, as "Delivery" says. The device composes the receiver and the loop,
// keeps the operations the host calls, and stops the loop in its destructor before any member it uses
// goes away.
class FerroxEMG : public AnalogSystem::cPluginDevice<float> {
public:
    static constexpr unsigned short kStreamPort = 35692;
    // The values buffer of the capture thread: 10 rows of 128 values.
    static constexpr int kValueRows = 10;
    static constexpr int kRowValues = 128;
    static constexpr int kValuesBufferSize = kValueRows * kRowValues;
    static constexpr std::chrono::milliseconds kStaleAfter = CaptureLoop::kStaleAfter;
    static constexpr std::chrono::milliseconds kCatchUpLimit = CaptureLoop::kCatchUpLimit;

    // Made whatever the port's state: a port held elsewhere is logged once, and the device delivers zeros
    // until it can listen (tried again at "AppRunMode" and StartCapture). `port` 0 picks a free port
    // (tests); the plug-in uses kStreamPort.
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

    // How frames take the stream ("Delivery", an index into its labels).
    enum class Delivery { EverySample = 0, NewestSample = 1 };
    static constexpr const char* kDeliveryPropName = "Delivery";

    // Fills `values` (kValuesBufferSize floats) for up to `framesDue` frames and reports the active channel
    // count and how many frames it filled, bounded by the rows of the buffer. Every sample: one row per
    // frame, rows max(active channels, kRowValues) apart, each the next block of the playout buffer. Newest
    // sample: row 0 from the second-newest block, serving every frame due. Zeros while no stream is live,
    // before the stream has started or after it has stalled.
    void FillFrameValues(float* values, int& valuesPerFrame, int& frameCount, int framesDue = 1);
    Delivery delivery() const { return static_cast<Delivery>(delivery_.load()); }

    // For the factory: descriptor names live here for the device's lifetime and never move.
    std::deque<std::vector<char>>& channelNameStore() { return channelNameStore_; }
    const std::vector<SensorRecord>& sensors() const { return sensors_; }

    unsigned short listeningPort() const { return receiver_.port(); }
    bool listening() const { return receiver_.listening(); }
    bool connected() const { return receiver_.connected(); }
    const BlockQueue& blockQueue() const { return blockQueue_; }
    PlayoutBuffer::Statistics playoutStatistics() const { return playout_.statistics(); }
    SampleReceiver::Statistics streamStatistics() const { return receiver_.statistics(); }

    using CaptureStatistics = CaptureLoop::Statistics;
    // What the last capture measured against its schedule.
    CaptureStatistics captureStatistics() const { return capture_.statistics(); }

private:
    // What the receiver and the capture loop call back into.
    class Callbacks final : public CaptureLoop::Device, public SampleReceiver::Events {
    public:
        explicit Callbacks(FerroxEMG& device) : device_(device) {}
        CaptureLoop::Fill fillValues(float* values, int framesDue,
                                     CaptureLoop::Clock::time_point now) override;
        bool writeFrame(const float* row, int count) override;
        void streamStalled() override;
        void streamResumed(double gapMs) override;
        void priorityGranted(const char* description) override;
        void captureEnded(const CaptureLoop::Statistics& statistics, double rate) override;
        void streamEnded(const char* why) override;
        void streamReplaced() override;
        void acknowledgementsRefused(int error) override;
        void streamConnected(const char* peer, const char* sender, bool expected) override;
        void foreignConnectionRefused(const char* peer) override;
        void portUnavailable(unsigned short port, const char* why) override;
        void portBound(unsigned short port) override;

    private:
        FerroxEMG& device_;
    };

    CaptureLoop::Fill fillValues(float* values, int framesDue, CaptureLoop::Clock::time_point now);
    // The channel ID of each active channel into `ids`, `count` of them, as the host has them now.
    void channelIDs(int* ids, int count);
    void logPlayoutNotes(CaptureLoop::Clock::time_point now, bool final);
    void applyRunMode(int index);
    void postStatus(const char* text);
    // Listens if the port has become free; tells the user when it is still held.
    void listenAgain();
    void handlePropertyChange(const char* name);

    std::deque<std::vector<char>> channelNameStore_;
    bool stopToggle_ = false;
    platform::NativeHandle pipeHandle_ = platform::kInvalidHandle;
    std::vector<SensorRecord> sensors_;
    std::atomic<int> delivery_{static_cast<int>(Delivery::EverySample)};
    BlockQueue blockQueue_;
    PlayoutBuffer playout_;
    Callbacks callbacks_{*this};
    SampleReceiver receiver_;
    CaptureLoop capture_;
    // When the playout slips are next summed up in the log (steady-clock ticks).
    std::atomic<CaptureLoop::Clock::rep> nextSlipSummary_{0};
    OutputRelay relay_;
};

} // namespace QuillmarkPluginDevices
