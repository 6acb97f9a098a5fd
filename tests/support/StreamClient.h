#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <thread>
#include <vector>

namespace ferrox_test {

// Plays the companion's end of the sample stream: a TCP client of the device, on loopback unless told
// another of this machine's addresses. The constructor connects and throws when nobody listens.
class StreamClient {
public:
    explicit StreamClient(unsigned short port,
                          const boost::asio::ip::address& address = boost::asio::ip::address_v4::loopback());
    ~StreamClient();
    void send(const void* bytes, std::size_t count);
    void sendBlock(const std::vector<double>& values); // padded with zeros to a whole block
    // Writes all bytes without ever blocking for long: gives up (false) once `stop` is raised or the
    // connection fails, so a writer facing a device that stopped reading can still be joined.
    bool sendUnlessStopped(const void* bytes, std::size_t count, const std::atomic<bool>& stop);
    void close();
    // Aborts the connection: the device sees a reset, not an orderly end.
    void reset();

private:
    boost::asio::io_context io_;
    boost::asio::ip::tcp::socket socket_;
};

// A block whose value k is base + k.
std::vector<double> rampBlock(double base);

// A companion streaming on a thread of its own: connects to 127.0.0.1:<port>, retrying until the device
// listens, and sends rampBlock(1000 * n) for block n = 1, 2, ... once a millisecond, so a value tells
// its block and its channel. Each connection is closed after `connectionLife` (or when the device ends
// it) and a new one made. The destructor stops and joins the thread; sends never block for long, so a
// device that stops reading cannot hold it up.
class BlockStreamer {
public:
    explicit BlockStreamer(unsigned short port,
                           std::chrono::milliseconds connectionLife = std::chrono::hours(1));
    ~BlockStreamer();
    BlockStreamer(const BlockStreamer&) = delete;
    BlockStreamer& operator=(const BlockStreamer&) = delete;

    int connections() const { return connections_.load(); }

private:
    void run(unsigned short port, std::chrono::milliseconds connectionLife);

    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
};

} // namespace ferrox_test
