#pragma once

// The capture and receive loops as first designed, kept only to be measured against the device's own:
// the capture thread sleeps a whole period after its work and corrects with an inverted adjust rule,
// the receive thread pauses at least 1 ms after every read and drops short reads. Nothing outside
// bench/ uses this.

#include "host/Device.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <array>
#include <atomic>
#include <deque>
#include <mutex>
#include <thread>

namespace ferrox_bench {

class ReferenceDevice : public AnalogSystem::cPluginDevice<float> {
public:
    explicit ReferenceDevice(unsigned short port);
    ~ReferenceDevice() override;

    // Takes the companion's pending connection; false when there is none yet.
    bool accept();
    bool StartCapture() override;
    bool StopCapture() override;
    AnalogSystem::AnalogFrame<float>* MakeFrame(int channelCount) const override;

private:
    void receiveLoop();
    void captureLoop();

    boost::asio::io_context io_;
    boost::asio::ip::tcp::acceptor listener_;
    boost::asio::ip::tcp::socket stream_;
    std::atomic<bool> connected_{false};
    std::atomic<bool> run_{false};
    std::mutex queueMutex_;
    std::deque<std::array<double, 128>> queue_;
    std::thread receiver_;
    std::thread capturer_;
};

} // namespace ferrox_bench
