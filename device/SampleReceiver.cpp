#include "device/SampleReceiver.h"

#include "platform/Listener.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/system/system_error.hpp>

namespace QuillmarkPluginDevices {

namespace {
// Reads per receive() at most (4096 blocks): the backlog of a capture's start is read whole, and a
// sender that writes faster than anyone could read still leaves the tick.
constexpr int kMostReads = 64;

void check(const boost::system::error_code& ec, const char* step) {
    if (ec) {
        throw boost::system::system_error(ec, step);
    }
}

bool endsStream(const boost::system::error_code& ec) {
    namespace error = boost::asio::error;
    return ec == error::eof || ec == error::connection_reset || ec == error::connection_aborted ||
           ec == error::not_connected || ec == error::bad_descriptor || ec == error::shut_down ||
           ec == error::broken_pipe || ec == error::timed_out;
}
} // namespace

SampleReceiver::SampleReceiver(unsigned short port, BlockQueue& queue, PlayoutBuffer& playout,
                               std::chrono::nanoseconds staleAfter, Events& events)
    : queue_(queue), playout_(playout), staleAfter_(staleAfter), events_(events), listener_(ioContext_),
      port_(port), stream_(ioContext_), incoming_(ioContext_) {
    // The companion always runs on this machine: listen on loopback only, so nobody on the lab
    // network can feed samples into a recording or take the one stream connection.
    const boost::asio::ip::tcp::endpoint endpoint(boost::asio::ip::address_v4::loopback(), port);
    boost::system::error_code ec;
    listener_.open(endpoint.protocol(), ec);
    check(ec, "open");
    platform::setListenerAddressReuse(listener_, ec);
    check(ec, "set_option");
    listener_.bind(endpoint, ec);
    check(ec, "bind");
    listener_.listen(boost::asio::socket_base::max_listen_connections, ec);
    check(ec, "listen");
    port_ = listener_.local_endpoint(ec).port();
    listener_.non_blocking(true, ec);
    check(ec, "non_blocking");
}

SampleReceiver::~SampleReceiver() {
    boost::system::error_code ec;
    stream_.close(ec);
    listener_.close(ec);
}

void SampleReceiver::prepareAccepted(boost::asio::ip::tcp::socket& socket) {
    // Reads never wait: a connection that has nothing gives would-block at once (an accepted socket
    // inherits the listener's mode on Windows; this makes it the same everywhere).
    boost::system::error_code ec;
    socket.non_blocking(true, ec);
    const int refused = platform::setPromptAcknowledgements(socket);
    if (refused != 0 && !acknowledgementsRefused_) {
        acknowledgementsRefused_ = true;
        events_.acknowledgementsRefused(refused);
    }
    lastActivity_ = Clock::now();
    // A new connection starts its blocks at its own first byte, and from the buffer's smooth depth.
    assembler_.reset();
    queue_.clear();
    playout_.restart();
    ++connections_;
}

void SampleReceiver::accept() {
    std::lock_guard<std::mutex> lock(streamMutex_);
    boost::system::error_code ec;
    if (connected_.load()) {
        if (Clock::now() - lastActivity_ <= staleAfter_) {
            throw boost::system::system_error(boost::asio::error::already_open, "accept");
        }
        listener_.accept(incoming_, ec);
        if (ec) {
            throw boost::system::system_error(boost::asio::error::already_open, "accept");
        }
        stream_.close(ec);
        stream_ = std::move(incoming_);
        prepareAccepted(stream_);
        events_.streamReplaced();
        return;
    }
    if (stream_.is_open()) {
        stream_.close(ec);
    }
    listener_.accept(stream_, ec);
    if (ec) {
        throw boost::system::system_error(ec, "accept");
    }
    prepareAccepted(stream_);
    connected_ = true;
}

void SampleReceiver::receive(Clock::time_point now) {
    const char* ended = nullptr;
    {
        std::lock_guard<std::mutex> lock(streamMutex_);
        if (!connected_.load()) {
            return;
        }
        for (int read = 0; read < kMostReads; ++read) {
            boost::system::error_code ec;
            const std::size_t room = assembler_.room();
            const std::size_t n = stream_.read_some(boost::asio::buffer(assembler_.space(), room), ec);
            if (ec) {
                if (endsStream(ec)) {
                    ended = ec == boost::asio::error::eof ? "closed by the companion" : "connection lost";
                    endStream();
                }
                break; // would-block: nothing more now; any other error: try again next tick
            }
            // The acknowledgement this sends can release what a sender's Nagle held back for it, and over
            // loopback that arrives at once: so the loop reads on until the connection has nothing left,
            // rather than leave those blocks a tick late (a repeat when the buffer has no depth to spare).
            platform::rearmPromptAcknowledgements(stream_);
            ++reads_;
            // A short read keeps its bytes for the next reads to complete; one read may also bring a
            // backlog of many blocks: the queue keeps the newest, the playout buffer all it has room for.
            assembler_.commit(n, [&](const unsigned char* wire, std::size_t blocks) {
                queue_.append(wire, blocks, now);
                playout_.append(wire, blocks, now);
                blocks_.fetch_add(blocks, std::memory_order_relaxed);
                lastActivity_ = now;
            });
        }
    }
    if (ended) {
        events_.streamEnded(ended);
    }
}

void SampleReceiver::endStream() {
    boost::system::error_code ec;
    stream_.close(ec);
    assembler_.reset();
    // Emptied before the flag drops: whoever sees "not connected" must not still find old blocks.
    queue_.clear();
    playout_.restart();
    connected_ = false;
    ++ends_;
}

SampleReceiver::Statistics SampleReceiver::statistics() const {
    return Statistics{connections_.load(), ends_.load(), blocks_.load(), reads_.load()};
}

} // namespace QuillmarkPluginDevices
