#include "tests/support/StreamClient.h"

#include "device/BlockQueue.h"
#include "platform/Sleep.h"

#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>

using QuillmarkPluginDevices::SampleBlock;

namespace ferrox_test {

StreamClient::StreamClient(unsigned short port, const boost::asio::ip::address& address) : socket_(io_) {
    socket_.connect({address, port});
}

StreamClient::~StreamClient() {
    close();
}

void StreamClient::send(const void* bytes, std::size_t count) {
    boost::asio::write(socket_, boost::asio::buffer(bytes, count));
}

void StreamClient::sendBlock(const std::vector<double>& values) {
    SampleBlock block;
    std::copy_n(values.begin(), std::min(values.size(), block.values.size()), block.values.begin());
    send(block.values.data(), SampleBlock::kBytes);
}

bool StreamClient::sendUnlessStopped(const void* bytes, std::size_t count, const std::atomic<bool>& stop) {
    boost::system::error_code ec;
    socket_.non_blocking(true, ec);
    const auto* next = static_cast<const unsigned char*>(bytes);
    while (count > 0 && !stop.load()) {
        const std::size_t n = socket_.write_some(boost::asio::buffer(next, count), ec);
        if (ec == boost::asio::error::would_block || ec == boost::asio::error::try_again) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        } else if (ec) {
            break;
        }
        next += n;
        count -= n;
    }
    socket_.non_blocking(false, ec); // send() relies on blocking writes
    return count == 0;
}

void StreamClient::reset() {
    boost::system::error_code ec;
    socket_.set_option(boost::asio::socket_base::linger(true, 0), ec);
    socket_.close(ec);
}

void StreamClient::close() {
    boost::system::error_code ec;
    socket_.close(ec);
}

std::vector<double> rampBlock(double base) {
    std::vector<double> values(SampleBlock::kValues);
    for (std::size_t k = 0; k < values.size(); ++k) {
        values[k] = base + static_cast<double>(k);
    }
    return values;
}

BlockStreamer::BlockStreamer(unsigned short port, std::chrono::milliseconds connectionLife)
    : thread_([this, port, connectionLife] { run(port, connectionLife); }) {}

BlockStreamer::~BlockStreamer() {
    stop_ = true;
    thread_.join();
}

void BlockStreamer::run(unsigned short port, std::chrono::milliseconds connectionLife) {
    double n = 0;
    while (!stop_.load()) {
        try {
            StreamClient client(port);
            ++connections_;
            auto due = platform::SteadyClock::now();
            const auto end = due + connectionLife;
            while (!stop_.load() && due < end) {
                const std::vector<double> values = rampBlock(1000.0 * ++n);
                if (!client.sendUnlessStopped(values.data(), SampleBlock::kBytes, stop_)) {
                    break;
                }
                due += std::chrono::milliseconds(1);
                platform::sleepUntil(due);
            }
        } catch (const boost::system::system_error&) {
            platform::sleepFor(std::chrono::milliseconds(50)); // nobody listens yet
        }
    }
}

} // namespace ferrox_test
