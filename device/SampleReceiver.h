#pragma once

#include "device/BlockQueue.h"
#include "device/PlayoutBuffer.h"
#include "platform/Handle.h"
#include "platform/SocketWaiter.h"
#include "platform/Thread.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <chrono>
#include <mutex>

namespace QuillmarkPluginDevices {

// The device's end of the sample stream: the loopback listener, the one connection taken from it, and
// the receive thread that cuts the stream into whole blocks for the block queue and the playout buffer.
//
// The host's thread takes a connection with accept(); the receive thread runs from start() to stop()
// (one capture) and reads whatever connection is live, waiting for one when there is none. stop() is
// the one stop signal: it wakes a wait for a connection or on a silent connection, and joins. It is
// idempotent, start() may follow it again, and the destructor calls it before any socket closes.
class SampleReceiver {
public:
    // What the receiver tells its device. Called on the receive thread, or on the thread in accept().
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
    // listener (a companion that hung and was started again): the receive thread then reads the new
    // one, and the stalled one is closed.
    void accept();
    // True while a live connection is accepted; false again once it has ended.
    bool connected() const { return connected_.load(); }

    // False when the thread could not be created. A receiver already running is left running.
    bool start();
    void stop();

    Statistics statistics() const;

private:
    enum class StreamState { NotConnected, Connected, Ended };

    static int ReceiveThread(void* receiver);
    void run();
    void endStream(const char* why);
    bool takeUpReplacement();
    void prepareAccepted(boost::asio::ip::tcp::socket& socket);

    BlockQueue& queue_;
    PlayoutBuffer& playout_;
    std::chrono::nanoseconds staleAfter_;
    Events& events_;
    boost::asio::io_context ioContext_;
    boost::asio::ip::tcp::acceptor listener_;
    boost::asio::ip::tcp::socket stream_;
    boost::asio::ip::tcp::socket replacement_;  // taken while the stream had stalled, for the thread
    std::atomic<bool> replacementReady_{false}; // written under streamMutex_
    bool acknowledgementsRefused_ = false;
    unsigned short port_ = 0;
    std::atomic<bool> connected_{false};

    // The connection's hand-over between the host's thread (accept) and the receive thread.
    mutable std::mutex streamMutex_;
    std::condition_variable streamChanged_;
    StreamState streamState_ = StreamState::NotConnected;
    platform::NativeHandle streamHandle_ = platform::kInvalidHandle;
    uint64_t streamGeneration_ = 0;
    std::atomic<uint64_t> connections_{0};
    std::atomic<uint64_t> ends_{0};
    std::atomic<uint64_t> blocks_{0};
    // Steady-clock time of the last block, or of the accept (nanoseconds since the clock's epoch).
    std::atomic<int64_t> lastActivity_{0};

    // The receive thread's alone.
    BlockAssembler assembler_;
    uint64_t assemblerGeneration_ = 0; // the connection the assembler's bytes belong to

    // Raised by stop(), reset by start(): every wait of the thread ends on it.
    platform::SocketWaiter waiter_;
    platform::Thread thread_;
};

} // namespace QuillmarkPluginDevices
