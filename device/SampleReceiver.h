#pragma once

#include "device/BlockQueue.h"
#include "device/PlayoutBuffer.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

namespace QuillmarkPluginDevices {

// The device's end of the sample stream: the loopback listener, the one connection taken from it, and
// the block assembler that cuts the stream into whole blocks for the block queue and the playout buffer.
//
// It has no thread of its own. The host's thread takes a connection with accept(); the capture thread
// calls receive() once per tick, which reads whatever the connection holds without ever waiting, so a
// silent companion never holds anything up and there is no blocked read to interrupt. The blocks of a
// tick are there before its frames are filled, and the stream costs no wake-ups of its own.
class SampleReceiver {
public:
    using Clock = BlockQueue::Clock;

    // What the receiver tells its device, on the thread that called accept() or receive().
    class Events {
    public:
        virtual void streamEnded(const char* why) = 0;
        virtual void streamReplaced() = 0;
        virtual void acknowledgementsRefused(int error) = 0;

    protected:
        ~Events() = default;
    };

    struct Statistics {
        uint64_t connections = 0; // connections accepted
        uint64_t ends = 0;        // connections that ended (closed by the companion or lost)
        uint64_t blocks = 0;      // whole blocks received
        uint64_t reads = 0;       // reads that brought bytes
    };

    // Sets up the listener; throws boost::system::system_error ("open", "set_option", "bind", "listen",
    // "non_blocking"). `port` 0 picks a free port. A connection that brought nothing for `staleAfter`
    // has stalled. streamEnded runs when a connection ends, after the queue and the buffer have been
    // emptied and connected() has turned false.
    SampleReceiver(unsigned short port, BlockQueue& queue, PlayoutBuffer& playout,
                   std::chrono::nanoseconds staleAfter, Events& events);
    ~SampleReceiver();
    SampleReceiver(const SampleReceiver&) = delete;
    SampleReceiver& operator=(const SampleReceiver&) = delete;

    unsigned short port() const { return port_; }

    // Takes a connection the companion has already made; never waits for one. Throws
    // boost::system::system_error "accept" (would-block when none is pending, already-open while a
    // stream is live). A live connection that has stalled gives way to one that is waiting on the
    // listener (a companion that hung and was started again), and the stalled one is closed.
    void accept();
    // True while a live connection is accepted; false again once it has ended.
    bool connected() const { return connected_.load(); }

    // Reads what the connection holds now, without waiting, and hands every whole block on, stamped
    // `now`. Notices the end of the stream.
    void receive(Clock::time_point now);

    Statistics statistics() const;

private:
    void endStream();
    void prepareAccepted(boost::asio::ip::tcp::socket& socket);

    BlockQueue& queue_;
    PlayoutBuffer& playout_;
    std::chrono::nanoseconds staleAfter_;
    Events& events_;
    boost::asio::io_context ioContext_;
    boost::asio::ip::tcp::acceptor listener_;
    unsigned short port_ = 0;

    // The connection, between the host's thread (accept) and the capture thread (receive).
    mutable std::mutex streamMutex_;
    boost::asio::ip::tcp::socket stream_;
    boost::asio::ip::tcp::socket incoming_; // only while accept() looks for a replacement
    BlockAssembler assembler_;
    bool acknowledgementsRefused_ = false;
    Clock::time_point lastActivity_{}; // the last block, or the accept
    std::atomic<bool> connected_{false};

    std::atomic<uint64_t> connections_{0};
    std::atomic<uint64_t> ends_{0};
    std::atomic<uint64_t> blocks_{0};
    std::atomic<uint64_t> reads_{0};
};

} // namespace QuillmarkPluginDevices
