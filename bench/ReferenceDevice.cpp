#include "bench/ReferenceDevice.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>

#include <chrono>
#include <cmath>
#include <pthread.h>

namespace ferrox_bench {

namespace {
using Clock = std::chrono::steady_clock;

// Whole milliseconds, the remainder rounded up: the pause the first design took.
void sleepRoundedUp(Clock::duration d) {
    std::this_thread::sleep_for(std::chrono::ceil<std::chrono::milliseconds>(d));
}
} // namespace

ReferenceDevice::ReferenceDevice(unsigned short port) : listener_(io_), stream_(io_) {
    const boost::asio::ip::tcp::endpoint endpoint(boost::asio::ip::address_v4::loopback(), port);
    listener_.open(endpoint.protocol());
    listener_.set_option(boost::asio::socket_base::reuse_address(true));
    listener_.bind(endpoint);
    listener_.listen();
    listener_.non_blocking(true);
}

ReferenceDevice::~ReferenceDevice() {
    StopCapture();
}

bool ReferenceDevice::accept() {
    if (connected_) {
        return true;
    }
    boost::system::error_code ec;
    listener_.accept(stream_, ec);
    stream_.non_blocking(false, ec);
    connected_ = !ec;
    return connected_;
}

AnalogSystem::AnalogFrame<float>* ReferenceDevice::MakeFrame(int channelCount) const {
    return new AnalogSystem::AnalogFrame<float>(channelCount);
}

bool ReferenceDevice::StartCapture() {
    const bool result = cPluginDevice<float>::StartCapture();
    run_ = true;
    receiver_ = std::thread([this] { receiveLoop(); });
    capturer_ = std::thread([this] { captureLoop(); });
    // Named like the plug-in's threads, so the benchmark counts the loops' own processor time alike.
    ::pthread_setname_np(receiver_.native_handle(), "ferrox-ref-recv");
    ::pthread_setname_np(capturer_.native_handle(), "ferrox-ref-capt");
    return result;
}

bool ReferenceDevice::StopCapture() {
    cPluginDevice<float>::StopCapture();
    run_ = false;
    if (capturer_.joinable()) {
        capturer_.join();
    }
    if (receiver_.joinable()) {
        // The first design never woke a blocked read; the benchmark does, to end cleanly.
        boost::system::error_code ec;
        stream_.shutdown(boost::asio::socket_base::shutdown_both, ec);
        receiver_.join();
    }
    return true;
}

void ReferenceDevice::receiveLoop() {
    std::array<double, 128> buffer{};
    while (run_) {
        boost::system::error_code ec;
        const std::size_t n = stream_.read_some(boost::asio::buffer(buffer.data(), sizeof buffer), ec);
        if (ec == boost::asio::error::eof || ec == boost::asio::error::connection_reset) {
            return;
        }
        if (!ec && n == sizeof buffer) {
            std::lock_guard<std::mutex> lock(queueMutex_);
            queue_.push_back(buffer);
            if (queue_.size() > 10) {
                queue_.pop_front();
            }
        }
        sleepRoundedUp(std::chrono::microseconds(20));
    }
}

void ReferenceDevice::captureLoop() {
    double rate = 1000.0;
    GetProperty(kRatePropName, rate);
    const double period = 1000.0 / rate;
    double adjust = 0.0;
    std::vector<float> row(1280);
    while (run_) {
        const auto t0 = Clock::now();
        const int values = ActiveChannelCount();
        {
            std::lock_guard<std::mutex> lock(queueMutex_);
            const bool live = connected_ && queue_.size() >= 2;
            for (int i = 0; i < values && i < 1280; ++i) {
                const int id = ChannelID(i);
                row[static_cast<std::size_t>(i)] =
                    live && id >= 0 && id < 128
                        ? static_cast<float>(queue_[queue_.size() - 2][static_cast<std::size_t>(id)])
                        : 0.0f;
            }
        }
        if (values > 0) {
            const int32_t frameID = FrameCounter();
            if (AnalogSystem::AnalogFrame<float>* frame = BeginFrameUpdate(frameID, true)) {
                frame->SetID(frameID);
                frame->SetFlag(1);
                frame->SetDeviceID(DeviceIdentity());
                for (int i = 0; i < values && i < 1280 && i < frame->ChannelCount(); ++i) {
                    frame->Samples()[i] = row[static_cast<std::size_t>(i)];
                }
                EndFrameUpdate();
                SetFrameCounter(frameID + 1);
            }
        }
        const auto t1 = Clock::now();
        const int wait = static_cast<int>(period - adjust);
        if (wait > 0) {
            sleepRoundedUp(t1 + std::chrono::milliseconds(wait) - Clock::now());
        }
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
        const double deviation = static_cast<double>(elapsed) - period;
        adjust = deviation > 2 ? -2 : deviation > 1 ? -1 : deviation >= -1 ? 0 : deviation >= -2 ? 1 : 2;
    }
}

} // namespace ferrox_bench
