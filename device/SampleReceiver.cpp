#include "device/SampleReceiver.h"

#include "platform/Listener.h"
#include "platform/PortHolders.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>
#include <cctype>

namespace QuillmarkPluginDevices {

namespace {
// Reads per receive() at most (4096 blocks): the backlog of a capture's start is read whole, and a
// sender that writes faster than anyone could read still leaves the tick.
constexpr int kMostReads = 64;
// Waiting connections looked at per take at most: a local program that connected and closed many
// times is cleared from the listener quickly, and the tick still ends.
constexpr int kMostTakes = 64;
// How often the capture thread looks for a waiting connection while it has no live stream.
constexpr auto kTakeEvery = std::chrono::milliseconds(100);
// Other machines' addresses logged once each, up to this many.
constexpr std::size_t kMostRefusedPeersLogged = 64;

bool endsStream(const boost::system::error_code& ec) {
    namespace error = boost::asio::error;
    return ec == error::eof || ec == error::connection_reset || ec == error::connection_aborted ||
           ec == error::not_connected || ec == error::bad_descriptor || ec == error::shut_down ||
           ec == error::broken_pipe || ec == error::timed_out;
}

boost::asio::ip::address unmapped(const boost::asio::ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6());
    }
    return address;
}

std::string text(const boost::asio::ip::tcp::endpoint& endpoint) {
    return unmapped(endpoint.address()).to_string() + ":" + std::to_string(endpoint.port());
}

bool sameFileName(const std::string& a, const std::string& b) {
    // Windows' file names ignore case.
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}
} // namespace

bool fromThisMachine(const boost::asio::ip::address& peer, const boost::asio::ip::address& local) {
    const boost::asio::ip::address from = unmapped(peer);
    return from.is_loopback() || from == unmapped(local);
}

SampleReceiver::SampleReceiver(unsigned short port, BlockQueue& queue, PlayoutBuffer& playout,
                               std::chrono::nanoseconds staleAfter, const char* companionImage,
                               Events& events)
    : queue_(queue), playout_(playout), staleAfter_(staleAfter), companionImage_(companionImage),
      events_(events), port_(port), listener_(ioContext_), stream_(ioContext_), incoming_(ioContext_) {
    listen();
}

SampleReceiver::~SampleReceiver() {
    platform::closeAbortively(stream_);
    boost::system::error_code ec;
    listener_.close(ec);
}

bool SampleReceiver::setUpListener(std::string& why) {
    // Every IPv4 interface, as the companion may connect to any of this machine's addresses; who may
    // connect is decided per connection (fromThisMachine).
    const boost::asio::ip::tcp::endpoint endpoint(boost::asio::ip::address_v4::any(), port_.load());
    boost::system::error_code ec;
    const char* step = "open";
    listener_.open(endpoint.protocol(), ec);
    if (!ec) {
        step = "set_option";
        platform::setListenerAddressReuse(listener_, ec);
    }
    if (!ec) {
        step = "bind";
        listener_.bind(endpoint, ec);
    }
    if (!ec) {
        step = "listen";
        listener_.listen(boost::asio::socket_base::max_listen_connections, ec);
    }
    if (!ec) {
        step = "non_blocking";
        listener_.non_blocking(true, ec);
    }
    if (ec) {
        why = std::string(step) + ": " + ec.message();
        boost::system::error_code ignored;
        listener_.close(ignored);
        return false;
    }
    port_ = listener_.local_endpoint(ec).port();
    return true;
}

bool SampleReceiver::listen() {
    bool bound = false;
    std::string why;
    bool report = false;
    {
        std::lock_guard<std::mutex> lock(streamMutex_);
        if (listening_.load()) {
            return true;
        }
        bound = setUpListener(why);
        listening_ = bound;
        report = bound ? portReported_ : !portReported_;
        portReported_ = !bound;
    }
    if (report && bound) {
        events_.portBound(port());
    } else if (report) {
        events_.portUnavailable(port(), why.c_str());
    }
    return bound;
}

bool SampleReceiver::liveAt(Clock::time_point now) const {
    if (!connected_.load()) {
        return false;
    }
    if (now - lastActivity_ <= staleAfter_) {
        return true;
    }
    // Outside a capture nobody reads: bytes waiting unread are a stream that goes on, not a stall.
    boost::system::error_code ec;
    return stream_.available(ec) > 0 && !ec;
}

bool SampleReceiver::live() const {
    std::lock_guard<std::mutex> lock(streamMutex_);
    return liveAt(Clock::now());
}

void SampleReceiver::prepareAccepted(Clock::time_point now, Notes& notes) {
    // Reads never wait: a connection that has nothing gives would-block at once (an accepted socket
    // inherits the listener's mode on Windows; this makes it the same everywhere).
    boost::system::error_code ec;
    stream_.non_blocking(true, ec);
    const int refused = platform::setPromptAcknowledgements(stream_);
    if (refused != 0 && !acknowledgementsRefused_) {
        acknowledgementsRefused_ = true;
        notes.acknowledgementsRefused = refused;
    }
    lastActivity_ = now;
    broughtBlocks_ = false;
    // A new connection starts its blocks at its own first byte, and from the buffer's smooth depth.
    assembler_.reset();
    queue_.clear();
    playout_.restart();
    connected_ = true;
    ++connections_;
}

bool SampleReceiver::takeWaiting(Clock::time_point now, Notes& notes) {
    if (!listening_.load()) {
        return false;
    }
    for (int taken = 0; taken < kMostTakes; ++taken) {
        boost::system::error_code ec;
        listener_.accept(incoming_, ec);
        if (ec) {
            return false; // would-block: nobody waits
        }
        const boost::asio::ip::tcp::endpoint peer = incoming_.remote_endpoint(ec);
        boost::system::error_code localEc;
        const boost::asio::ip::tcp::endpoint local = incoming_.local_endpoint(localEc);
        if (ec || localEc) {
            platform::closeAbortively(incoming_); // gone again before it could be looked at
            ++unused_;
            continue;
        }
        if (!fromThisMachine(peer.address(), local.address())) {
            platform::closeAbortively(incoming_);
            ++refused_;
            const std::string address = unmapped(peer.address()).to_string();
            if (refusedPeers_.size() < kMostRefusedPeersLogged && refusedPeers_.insert(address).second) {
                notes.refused.push_back(text(peer));
            }
            continue;
        }
        if (connected_.load()) {
            // A stalled stream gives way. One that never brought a block was no stream at all.
            if (broughtBlocks_) {
                notes.replaced = true;
            } else {
                ++unused_;
            }
            platform::closeAbortively(stream_);
            connected_ = false;
        }
        stream_ = std::move(incoming_);
        peer_ = peer;
        prepareAccepted(now, notes);
        return true;
    }
    return false;
}

void SampleReceiver::accept() {
    Notes notes;
    bool taken = false;
    {
        std::lock_guard<std::mutex> lock(streamMutex_);
        const auto now = Clock::now();
        if (liveAt(now)) {
            throw boost::system::system_error(boost::asio::error::already_open, "accept");
        }
        if (!listening_.load()) {
            throw boost::system::system_error(boost::asio::error::bad_descriptor, "accept");
        }
        taken = takeWaiting(now, notes);
        takesByItself_ = takesByItself_ || taken;
    }
    tell(notes);
    if (!taken) {
        // Nothing waits (or only what was refused): a stalled stream, if any, stays; it may resume.
        throw boost::system::system_error(boost::asio::error::would_block, "accept");
    }
}

bool SampleReceiver::readStream(Clock::time_point now, Notes& notes) {
    for (int read = 0; read < kMostReads; ++read) {
        boost::system::error_code ec;
        const std::size_t room = assembler_.room();
        const std::size_t n = stream_.read_some(boost::asio::buffer(assembler_.space(), room), ec);
        if (ec) {
            if (!endsStream(ec)) {
                return false; // would-block: nothing more now; any other error: try again next tick
            }
            const bool brought = broughtBlocks_;
            endStream();
            if (!brought) {
                ++unused_; // connected and went away without a block: no stream ended
                return true;
            }
            ++ends_;
            notes.ended = ec == boost::asio::error::eof ? "closed by the companion" : "connection lost";
            return false;
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
            if (!broughtBlocks_) {
                broughtBlocks_ = true;
                notes.connected = true;
                notes.peer = peer_;
            }
        });
    }
    return false;
}

void SampleReceiver::receive(Clock::time_point now) {
    Notes notes;
    {
        std::lock_guard<std::mutex> lock(streamMutex_);
        // A connection that went away without a block makes room at once for the next one waiting.
        for (int round = 0; round < kMostTakes; ++round) {
            if (takesByItself_ && !liveAt(now) && (round > 0 || now >= nextTake_)) {
                nextTake_ = now + kTakeEvery;
                takeWaiting(now, notes);
            }
            if (!connected_.load() || !readStream(now, notes)) {
                break;
            }
        }
    }
    tell(notes);
}

void SampleReceiver::endStream() {
    platform::closeAbortively(stream_);
    assembler_.reset();
    // Emptied before the flag drops: whoever sees "not connected" must not still find old blocks.
    queue_.clear();
    playout_.restart();
    connected_ = false;
}

void SampleReceiver::tell(const Notes& notes) {
    if (notes.acknowledgementsRefused != 0) {
        events_.acknowledgementsRefused(notes.acknowledgementsRefused);
    }
    for (const std::string& peer : notes.refused) {
        events_.foreignConnectionRefused(peer.c_str());
    }
    if (notes.replaced) {
        events_.streamReplaced();
    }
    if (notes.ended) {
        events_.streamEnded(notes.ended);
    }
    if (notes.connected) {
        naming_.request(notes.peer);
    }
}

void SampleReceiver::tellConnected(const boost::asio::ip::tcp::endpoint& peer, bool named) {
    std::string sender;
    bool expected = true;
    if (named) {
        // The peer's own socket is the one whose local port is the peer's and whose remote port is ours.
        const std::vector<platform::PortHolder> holders = platform::tcpPortHolders(peer.port(), port());
        expected = holders.empty();
        for (const platform::PortHolder& holder : holders) {
            sender += (sender.empty() ? "" : ", ") +
                      (holder.processName.empty() ? std::string("unknown") : holder.processName) +
                      " (process " + std::to_string(holder.processId) + ")";
            expected = expected || sameFileName(holder.processName, companionImage_);
        }
    }
    events_.streamConnected(text(peer).c_str(), sender.c_str(), expected);
}

SampleReceiver::SenderNaming::~SenderNaming() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.held()) {
        thread_.join();
    }
}

void SampleReceiver::SenderNaming::request(const boost::asio::ip::tcp::endpoint& peer) {
    constexpr std::size_t kMostPending = 4;
    bool unnamed = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const bool running = thread_.held() || thread_.start(&NamingThread, this, "ferrox-naming");
        unnamed = !running || pending_.size() >= kMostPending;
        if (!unnamed) {
            pending_.push_back(peer);
        }
    }
    if (unnamed) {
        receiver_.tellConnected(peer, false);
        return;
    }
    wake_.notify_one();
}

int SampleReceiver::SenderNaming::NamingThread(void* naming) {
    static_cast<SenderNaming*>(naming)->run();
    return 0;
}

void SampleReceiver::SenderNaming::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stop_ || !pending_.empty(); });
        if (stop_) {
            return;
        }
        const boost::asio::ip::tcp::endpoint peer = pending_.front();
        pending_.pop_front();
        lock.unlock();
        receiver_.tellConnected(peer, true);
        lock.lock();
    }
}

SampleReceiver::Statistics SampleReceiver::statistics() const {
    return Statistics{connections_.load(), ends_.load(), blocks_.load(), reads_.load()};
}

SampleReceiver::ConnectionCounts SampleReceiver::takeConnectionCounts() {
    return ConnectionCounts{refused_.exchange(0), unused_.exchange(0)};
}

} // namespace QuillmarkPluginDevices
