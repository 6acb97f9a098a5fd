#include "device/SampleReceiver.h"

#include "platform/Listener.h"
#include "platform/StopSignal.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/system/system_error.hpp>

#include <chrono>

namespace QuillmarkPluginDevices {

namespace {
// After a read error that is not the end of the stream, wait this long before the next try.
constexpr auto kErrorPause = std::chrono::milliseconds(1);
// A silent connection is looked at this often, so a connection that replaces it is taken up.
constexpr int kSilentWaitMs = 50;

int64_t steadyNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

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
      stream_(ioContext_), replacement_(ioContext_), port_(port) {
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
    stop();
    boost::system::error_code ec;
    stream_.close(ec);
    replacement_.close(ec);
    listener_.close(ec);
}

void SampleReceiver::prepareAccepted(boost::asio::ip::tcp::socket& socket) {
    // An accepted socket inherits the listener's non-blocking mode on Windows; the reader waits for
    // readiness itself and wants plain blocking reads.
    boost::system::error_code ec;
    socket.non_blocking(false, ec);
    const int refused = platform::setPromptAcknowledgements(socket);
    if (refused != 0 && !acknowledgementsRefused_) {
        acknowledgementsRefused_ = true;
        events_.acknowledgementsRefused(refused);
    }
    lastActivity_ = steadyNanoseconds();
}

void SampleReceiver::accept() {
    std::lock_guard<std::mutex> lock(streamMutex_);
    boost::system::error_code ec;
    if (streamState_ == StreamState::Connected) {
        const bool stalled = steadyNanoseconds() - lastActivity_.load() > staleAfter_.count();
        if (!stalled || replacementReady_) {
            throw boost::system::system_error(boost::asio::error::already_open, "accept");
        }
        listener_.accept(replacement_, ec);
        if (ec) {
            throw boost::system::system_error(boost::asio::error::already_open, "accept");
        }
        prepareAccepted(replacement_);
        replacementReady_ = true;
        ++connections_;
        // Nothing of the stalled connection is live; the new one starts from the buffer's smooth depth.
        queue_.clear();
        playout_.restart();
        events_.streamReplaced();
        streamChanged_.notify_all();
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
    streamHandle_ = static_cast<platform::NativeHandle>(stream_.native_handle());
    ++streamGeneration_;
    ++connections_;
    playout_.restart();
    streamState_ = StreamState::Connected;
    connected_ = true;
    streamChanged_.notify_all();
}

bool SampleReceiver::takeUpReplacement() {
    if (!replacementReady_) {
        return false;
    }
    boost::system::error_code ec;
    stream_.close(ec);
    stream_ = std::move(replacement_);
    replacementReady_ = false;
    streamHandle_ = static_cast<platform::NativeHandle>(stream_.native_handle());
    ++streamGeneration_;
    return true;
}

bool SampleReceiver::start() {
    if (thread_.held()) {
        return true;
    }
    waiter_.reset();
    return thread_.start(&SampleReceiver::ReceiveThread, this);
}

void SampleReceiver::stop() {
    waiter_.interrupt();
    {
        // Taken once so that a thread between its check and its wait for a connection sees the signal.
        std::lock_guard<std::mutex> lock(streamMutex_);
    }
    streamChanged_.notify_all();
    if (thread_.held()) {
        thread_.join();
    }
}

SampleReceiver::Statistics SampleReceiver::statistics() const {
    return Statistics{connections_.load(), ends_.load(), blocks_.load()};
}

void SampleReceiver::endStream(const char* why) {
    {
        std::lock_guard<std::mutex> lock(streamMutex_);
        boost::system::error_code ec;
        stream_.close(ec);
        streamHandle_ = platform::kInvalidHandle;
        streamState_ = StreamState::Ended;
        // Emptied before the flag drops: whoever sees "not connected" must not still find old blocks.
        queue_.clear();
        playout_.restart();
        connected_ = false;
        ++ends_;
    }
    assembler_.reset();
    events_.streamEnded(why);
}

int SampleReceiver::ReceiveThread(void* receiver) {
    static_cast<SampleReceiver*>(receiver)->run();
    return 0;
}

void SampleReceiver::run() {
    platform::StopSignal errorPause;

    for (;;) {
        platform::NativeHandle handle;
        {
            std::unique_lock<std::mutex> lock(streamMutex_);
            streamChanged_.wait(
                lock, [&] { return waiter_.interrupted() || streamState_ == StreamState::Connected; });
            if (waiter_.interrupted()) {
                return;
            }
            takeUpReplacement();
            // A new connection starts its blocks at its own first byte. The same connection across a
            // capture restart keeps the bytes of a block it had begun, or the rest would be shifted.
            if (assemblerGeneration_ != streamGeneration_) {
                assemblerGeneration_ = streamGeneration_;
                assembler_.reset();
            }
            handle = streamHandle_;
        }

        // Wait first, then read only what is there: stopping never has to break a blocked receive.
        const auto ready = waiter_.waitReadable(handle, kSilentWaitMs);
        if (ready == platform::SocketWaiter::Result::Interrupted) {
            return;
        }
        if (ready == platform::SocketWaiter::Result::TimedOut) {
            continue;
        }
        if (ready == platform::SocketWaiter::Result::Failed) {
            errorPause.sleepFor(kErrorPause);
            continue;
        }

        boost::system::error_code ec;
        const std::size_t n =
            stream_.read_some(boost::asio::buffer(assembler_.space(), assembler_.room()), ec);
        if (ec) {
            if (endsStream(ec)) {
                if (replacementReady_.load()) {
                    continue; // the stalled connection has ended after it was replaced
                }
                endStream(ec == boost::asio::error::eof ? "closed by the companion" : "connection lost");
            } else if (ec != boost::asio::error::would_block && ec != boost::asio::error::interrupted) {
                errorPause.sleepFor(kErrorPause);
            }
            continue;
        }
        platform::rearmPromptAcknowledgements(stream_);
        if (replacementReady_.load()) {
            continue; // bytes of the connection that gave way: the new one is taken up next
        }
        // A short read keeps its bytes for the next reads to complete; one read may also bring a
        // backlog of many blocks: the queue keeps the newest, the playout buffer all it has room for.
        assembler_.commit(n, [&](const unsigned char* wire, std::size_t blocks) {
            const auto arrived = BlockQueue::Clock::now();
            queue_.append(wire, blocks, arrived);
            playout_.append(wire, blocks, arrived);
            blocks_.fetch_add(blocks, std::memory_order_relaxed);
            lastActivity_ =
                std::chrono::duration_cast<std::chrono::nanoseconds>(arrived.time_since_epoch()).count();
        });
    }
}

} // namespace QuillmarkPluginDevices
