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

SampleReceiver::SampleReceiver(unsigned short port, BlockQueue& queue, EndHandler onEnd)
    : queue_(queue), onEnd_(std::move(onEnd)), listener_(ioContext_), stream_(ioContext_), port_(port) {
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
    listener_.close(ec);
}

void SampleReceiver::accept() {
    std::lock_guard<std::mutex> lock(streamMutex_);
    if (streamState_ == StreamState::Connected) {
        throw boost::system::system_error(boost::asio::error::already_open, "accept");
    }
    boost::system::error_code ec;
    if (stream_.is_open()) {
        stream_.close(ec);
    }
    listener_.accept(stream_, ec);
    if (ec) {
        throw boost::system::system_error(ec, "accept");
    }
    // An accepted socket inherits the listener's non-blocking mode on Windows; the reader waits for
    // readiness itself and wants plain blocking reads.
    stream_.non_blocking(false, ec);
    streamHandle_ = static_cast<platform::NativeHandle>(stream_.native_handle());
    ++streamGeneration_;
    ++connections_;
    streamState_ = StreamState::Connected;
    connected_ = true;
    streamChanged_.notify_all();
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
        connected_ = false;
        ++ends_;
    }
    assembler_.reset();
    if (onEnd_) {
        onEnd_(why);
    }
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
            // A new connection starts its blocks at its own first byte. The same connection across a
            // capture restart keeps the bytes of a block it had begun, or the rest would be shifted.
            if (assemblerGeneration_ != streamGeneration_) {
                assemblerGeneration_ = streamGeneration_;
                assembler_.reset();
            }
            handle = streamHandle_;
        }

        // Wait first, then read only what is there: stopping never has to break a blocked receive.
        const auto ready = waiter_.waitReadable(handle);
        if (ready == platform::SocketWaiter::Result::Interrupted) {
            return;
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
                endStream(ec == boost::asio::error::eof ? "closed by the companion" : "connection lost");
            } else if (ec != boost::asio::error::would_block && ec != boost::asio::error::interrupted) {
                errorPause.sleepFor(kErrorPause);
            }
            continue;
        }
        // A short read keeps its bytes for the next reads to complete; one read may also bring a
        // backlog of many blocks, of which the queue keeps the newest.
        assembler_.commit(n, [&](const unsigned char* wire, std::size_t blocks) {
            queue_.append(wire, blocks, BlockQueue::Clock::now());
            blocks_.fetch_add(blocks, std::memory_order_relaxed);
        });
    }
}

} // namespace QuillmarkPluginDevices
