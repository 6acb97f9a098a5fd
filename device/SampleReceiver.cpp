#include "device/FerroxEMG.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include <chrono>

namespace QuillmarkPluginDevices {

namespace {
// After a read error that is not the end of the stream, wait this long before the next try.
constexpr auto kErrorPause = std::chrono::milliseconds(1);

bool endsStream(const boost::system::error_code& ec) {
    namespace error = boost::asio::error;
    return ec == error::eof || ec == error::connection_reset || ec == error::connection_aborted ||
           ec == error::not_connected || ec == error::bad_descriptor || ec == error::shut_down ||
           ec == error::broken_pipe || ec == error::timed_out;
}
} // namespace

void FerroxEMG::AcceptStream() {
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
    streamState_ = StreamState::Connected;
    connected_ = true;
    streamChanged_.notify_all();
}

void FerroxEMG::endStream(const char* why) {
    {
        std::lock_guard<std::mutex> lock(streamMutex_);
        boost::system::error_code ec;
        stream_.close(ec);
        streamHandle_ = platform::kInvalidHandle;
        streamState_ = StreamState::Ended;
        // Emptied before the flag drops: whoever sees "not connected" must not still find old blocks.
        blockQueue_.clear();
        connected_ = false;
    }
    LogError(0, "[FerroxEMG] Sample stream ended (%s); frames carry zeros until the next AppRunMode change",
             why);
}

void FerroxEMG::stopReceiver() {
    {
        std::lock_guard<std::mutex> lock(streamMutex_);
        receiveStop_ = true;
    }
    streamChanged_.notify_all();
    streamWaiter_.interrupt();
    if (receiveThread_.held()) {
        receiveThread_.join();
    }
}

int FerroxEMG::ReceiveThread(void* device) {
    static_cast<FerroxEMG*>(device)->receiveLoop();
    return 0;
}

void FerroxEMG::receiveLoop() {
    platform::StopSignal errorPause;

    while (captureRun_.load()) {
        platform::NativeHandle handle;
        {
            std::unique_lock<std::mutex> lock(streamMutex_);
            streamChanged_.wait(lock, [&] { return receiveStop_ || streamState_ == StreamState::Connected; });
            if (receiveStop_) {
                break;
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
        const auto ready = streamWaiter_.waitReadable(handle);
        if (ready == platform::SocketWaiter::Result::Interrupted) {
            break;
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
                assembler_.reset();
            } else if (ec != boost::asio::error::would_block && ec != boost::asio::error::interrupted) {
                errorPause.sleepFor(kErrorPause);
            }
            continue;
        }
        // A short read keeps its bytes for the next reads to complete; one read may also bring a
        // backlog of many blocks, of which the queue keeps the newest.
        assembler_.commit(n, [&](const unsigned char* wire, std::size_t blocks) {
            blockQueue_.append(wire, blocks, BlockQueue::Clock::now());
        });
    }
}

} // namespace QuillmarkPluginDevices
