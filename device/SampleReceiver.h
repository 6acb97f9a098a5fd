#pragma once

#include "device/BlockQueue.h"
#include "device/PlayoutBuffer.h"
#include "platform/Thread.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace QuillmarkPluginDevices {

// Whether a connection whose peer is `peer` comes from this machine: the peer is a loopback address, or
// the connection's own local address (a program that connected to one of this machine's addresses).
// IPv4-mapped IPv6 addresses count as the IPv4 address they carry. Everything else is another machine.
bool fromThisMachine(const boost::asio::ip::address& peer, const boost::asio::ip::address& local);

// The device's end of the sample stream: the listener on every IPv4 interface, the one connection taken
// from it, and the block assembler that cuts the stream into whole blocks for the block queue and the
// playout buffer.
//
// It has no thread of its own. The host's thread takes the first connection with accept(); the capture
// thread calls receive() once per tick, which reads whatever the connection holds without ever waiting,
// so a silent companion never holds anything up and there is no blocked read to interrupt.
//
// Who may feed it: only programs on this machine (fromThisMachine); a connection from elsewhere is
// closed the moment it is taken and never reaches the blocks. A waiting connection is taken only while
// there is no live stream, or the live one has stalled (nothing for `staleAfter`): while a stream is
// live, whatever else connects waits on the listener, so no local program can disturb it. Once the host
// has taken a first stream, receive() takes a waiting connection by itself, at most every 100 ms, while
// the stream has ended or stalled: a companion that hung and was started again needs nobody to act.
// Every connection it held is closed abortively (platform::closeAbortively), so a destroyed device
// leaves nothing on the port that could keep the next one from binding.
class SampleReceiver {
public:
    using Clock = BlockQueue::Clock;

    // What the receiver tells its device, on the thread that called accept(), listen() or receive(),
    // never while it holds its own lock; streamConnected on the receiver's naming thread.
    class Events {
    public:
        virtual void streamEnded(const char* why) = 0;
        virtual void streamReplaced() = 0;
        virtual void acknowledgementsRefused(int error) = 0;
        // A connection brought its first block. `sender` names the process at its other end where the
        // system tells ("" when it does not); `expected` is false when that is not the companion.
        virtual void streamConnected(const char* peer, const char* sender, bool expected) = 0;
        // A connection from another machine was closed; once per peer address.
        virtual void foreignConnectionRefused(const char* peer) = 0;
        // The listener could not be set up on `port` (`why`: the failed step and the system's text); once
        // until it is set up. portBound when a later try succeeded.
        virtual void portUnavailable(unsigned short port, const char* why) = 0;
        virtual void portBound(unsigned short port) = 0;

    protected:
        ~Events() = default;
    };

    struct Statistics {
        uint64_t connections = 0; // connections taken as the stream
        uint64_t ends = 0;        // streams that ended (closed by the companion or lost)
        uint64_t blocks = 0;      // whole blocks received
        uint64_t reads = 0;       // reads that brought bytes
    };
    // Connections that never became the stream, since the last takeConnectionCounts().
    struct ConnectionCounts {
        uint64_t refused = 0; // from another machine, closed at once
        uint64_t unused = 0;  // from this machine, closed or given way before they brought a block
    };

    // Sets up the listener on every IPv4 interface; a port in use (or any other failure to set it up)
    // leaves the receiver without one, reported through portUnavailable, until listen() succeeds.
    // `port` 0 picks a free port. `companionImage` is the file name the stream's sender should have.
    SampleReceiver(unsigned short port, BlockQueue& queue, PlayoutBuffer& playout,
                   std::chrono::nanoseconds staleAfter, const char* companionImage, Events& events);
    ~SampleReceiver();
    SampleReceiver(const SampleReceiver&) = delete;
    SampleReceiver& operator=(const SampleReceiver&) = delete;

    unsigned short port() const { return port_.load(); }
    // Sets the listener up if it is not yet; true once it listens.
    bool listen();
    bool listening() const { return listening_.load(); }

    // Takes a connection that is already waiting; never waits for one. Throws boost::system::system_error
    // "accept" (would-block when none is pending, already-open while a stream is live, bad-descriptor
    // without a listener). A stalled stream gives way to the waiting connection.
    void accept();
    // True while a connection is held; false again once it has ended.
    bool connected() const { return connected_.load(); }
    // Connected and not stalled.
    bool live() const;

    // Reads what the connection holds now, without waiting, and hands every whole block on, stamped
    // `now`; takes a waiting connection first when the stream has ended or stalled. Notices the end of
    // the stream.
    void receive(Clock::time_point now);

    Statistics statistics() const;
    ConnectionCounts takeConnectionCounts();

private:
    // What happened under the lock, told to the device after it.
    struct Notes {
        const char* ended = nullptr;
        bool replaced = false;
        int acknowledgementsRefused = 0;
        bool connected = false;
        boost::asio::ip::tcp::endpoint peer;
        std::vector<std::string> refused;
    };

    bool setUpListener(std::string& why);
    bool liveAt(Clock::time_point now) const;
    bool takeWaiting(Clock::time_point now, Notes& notes);
    bool readStream(Clock::time_point now, Notes& notes);
    void endStream();
    void prepareAccepted(Clock::time_point now, Notes& notes);
    void tell(const Notes& notes);

    // Names the sender of each new stream on a thread of its own, started with the first stream and
    // stopped and joined by the receiver's destructor: reading the system's socket tables (every process's
    // descriptors on Linux) takes milliseconds that the capture thread, which sees the first block, must
    // not spend. At most a few requests wait; more are told without a name.
    class SenderNaming {
    public:
        explicit SenderNaming(SampleReceiver& receiver) : receiver_(receiver) {}
        ~SenderNaming();
        SenderNaming(const SenderNaming&) = delete;
        SenderNaming& operator=(const SenderNaming&) = delete;
        void request(const boost::asio::ip::tcp::endpoint& peer);

    private:
        static int NamingThread(void* naming);
        void run();

        SampleReceiver& receiver_;
        std::mutex mutex_;
        std::condition_variable wake_;
        std::deque<boost::asio::ip::tcp::endpoint> pending_;
        bool stop_ = false;
        platform::Thread thread_;
    };

    void tellConnected(const boost::asio::ip::tcp::endpoint& peer, bool named);

    BlockQueue& queue_;
    PlayoutBuffer& playout_;
    std::chrono::nanoseconds staleAfter_;
    std::string companionImage_;
    Events& events_;
    boost::asio::io_context ioContext_;
    std::atomic<unsigned short> port_{0};

    // The listener and the connection, between the host's thread (accept, listen) and the capture
    // thread (receive).
    mutable std::mutex streamMutex_;
    boost::asio::ip::tcp::acceptor listener_;
    boost::asio::ip::tcp::socket stream_;
    boost::asio::ip::tcp::socket incoming_; // only while a waiting connection is looked at
    boost::asio::ip::tcp::endpoint peer_;
    BlockAssembler assembler_;
    bool acknowledgementsRefused_ = false;
    bool portReported_ = false;
    bool takesByItself_ = false;       // once the host took a first stream
    bool broughtBlocks_ = false;       // the connection held has brought a block
    Clock::time_point lastActivity_{}; // the last block, or the accept
    Clock::time_point nextTake_{};
    std::set<std::string> refusedPeers_; // logged once each, up to a bound
    std::atomic<bool> listening_{false};
    std::atomic<bool> connected_{false};

    std::atomic<uint64_t> connections_{0};
    std::atomic<uint64_t> ends_{0};
    std::atomic<uint64_t> blocks_{0};
    std::atomic<uint64_t> reads_{0};
    std::atomic<uint64_t> refused_{0};
    std::atomic<uint64_t> unused_{0};
    // Last: its thread ends before anything it reads goes away.
    SenderNaming naming_{*this};
};

} // namespace QuillmarkPluginDevices
