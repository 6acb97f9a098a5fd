#pragma once

#include "companion/OutputRelay.h"
#include "device/BlockQueue.h"
#include "host/Device.h"
#include "inventory/SensorRecord.h"
#include "platform/Handle.h"
#include "platform/SocketWaiter.h"
#include "platform/StopSignal.h"
#include "platform/Thread.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace QuillmarkPluginDevices {

// The EMG system as one analog device of the host. The companion streams 1024-byte sample blocks to
// its loopback listener; a receive thread keeps the newest of them in a bounded queue, and a capture
// thread turns the second-newest into one host frame per tick of the device rate.
class FerroxEMG : public AnalogSystem::cPluginDevice<float> {
public:
    static constexpr unsigned short kStreamPort = 35692;
    // The values buffer of the capture thread: 10 rows of 128 values.
    static constexpr int kValueRows = 10;
    static constexpr int kRowValues = 128;
    static constexpr int kValuesBufferSize = kValueRows * kRowValues;
    // A connected stream that brings no block for this long is stalled: its last values are no
    // longer live, so frames carry zeros until blocks arrive again.
    static constexpr std::chrono::milliseconds kStaleAfter{250};
    // A capture thread held up by the system writes the frames that fell due meanwhile, so frame IDs
    // keep in step with the clock; only a hold-up longer than this (a suspended machine, a debugger)
    // gives up those frames and starts a new schedule. Never fewer than the rows of the values buffer.
    static constexpr std::chrono::milliseconds kCatchUpLimit{250};

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

    unsigned short listeningPort() const { return listeningPort_; }
    bool connected() const { return connected_.load(); }
    const BlockQueue& blockQueue() const { return blockQueue_; }

    // What the last capture measured against its schedule.
    struct CaptureStatistics {
        int64_t ticks = 0;
        int64_t frames = 0;
        int64_t lateTicks = 0;     // woke after the next tick was due, so wrote catch-up frames
        int64_t skippedFrames = 0; // given up after hold-ups longer than kCatchUpLimit
        int64_t refusedFrames = 0; // the host had no frame to give
        int64_t staleFrames = 0;   // written with zeros while a connected stream had stalled
        int64_t stalls = 0;        // times the stream went quiet for longer than kStaleAfter
        double worstLatenessMs = 0.0;
    };
    CaptureStatistics captureStatistics() const;

private:
    enum class StreamState { NotConnected, Connected, Ended };
    // Where a tick's values came from.
    enum class FrameSource { NoStream, Live, Stale };

    // Row 0 of `values` and the active channel count, as FillFrameValues gives them; also reports the
    // arrival time of the newest block.
    FrameSource fillFrameValues(float* values, int& valuesPerFrame, BlockQueue::Clock::time_point now,
                                BlockQueue::Clock::time_point& newestArrival);

    static int ReceiveThread(void* device);
    static int CaptureThread(void* device);
    void receiveLoop();
    void captureLoop();
    void endStream(const char* why);
    void stopReceiver();
    void applyRunMode(int index);
    void postStatus(const char* text);
    void handlePropertyChange(const char* name);

    std::deque<std::vector<char>> channelNameStore_;
    platform::Thread captureThread_;
    std::atomic<bool> captureRun_{false}; // the capture run flag
    std::atomic<bool> connected_{false};  // true while a live stream is accepted
    bool stopToggle_ = false;
    platform::NativeHandle pipeHandle_ = platform::kInvalidHandle;
    BlockQueue blockQueue_;
    BlockAssembler assembler_;         // the receive thread's alone
    uint64_t assemblerGeneration_ = 0; // the connection the assembler's bytes belong to
    std::vector<SensorRecord> sensors_;
    boost::asio::io_context ioContext_;
    unsigned short listeningPort_;
    boost::asio::ip::tcp::acceptor listener_;
    boost::asio::ip::tcp::socket stream_;
    platform::Thread receiveThread_;

    // The stream's hand-over between the host thread (accept) and the receive thread.
    std::mutex streamMutex_;
    std::condition_variable streamChanged_;
    StreamState streamState_ = StreamState::NotConnected;
    platform::NativeHandle streamHandle_ = platform::kInvalidHandle;
    uint64_t streamGeneration_ = 0;
    bool receiveStop_ = false;
    platform::SocketWaiter streamWaiter_;

    platform::StopSignal captureStop_;
    mutable std::mutex statisticsMutex_;
    CaptureStatistics statistics_;

    OutputRelay relay_;
};

} // namespace QuillmarkPluginDevices
