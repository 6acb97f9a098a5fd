#include "StreamSender.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/socket_base.hpp>

#include <exception>
#include <string>

namespace companion_sim {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using platform::SteadyClock;

namespace {
// The index of the block due at or before `when`.
std::uint64_t blockIndexAt(SteadyClock::time_point origin, SteadyClock::time_point when) {
    if (when <= origin) {
        return 0;
    }
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(when - origin).count());
}

SteadyClock::time_point dueTime(SteadyClock::time_point origin, std::uint64_t k) {
    return origin + std::chrono::milliseconds(static_cast<std::chrono::milliseconds::rep>(k));
}

std::string endpointText(unsigned short port) {
    return std::string(kStreamHost) + ":" + std::to_string(port);
}

// The connection, owned by the stream thread alone.
class Connection {
public:
    explicit Connection(platform::StopSignal& stop) : socket_(io_), stop_(stop) {}
    ~Connection() { close(); }

    bool open() const { return socket_.is_open(); }

    // One attempt, bounded in time and ended early by the stop signal.
    bool connect(const tcp::endpoint& endpoint, std::chrono::milliseconds limit) {
        boost::system::error_code result = asio::error::would_block;
        bool done = false;
        socket_.async_connect(endpoint, [&](const boost::system::error_code& ec) {
            result = ec;
            done = true;
        });
        io_.restart();
        const auto deadline = SteadyClock::now() + limit;
        while (!done && !stop_.raised() && SteadyClock::now() < deadline) {
            io_.run_for(std::chrono::milliseconds(20));
        }
        if (!done) {
            boost::system::error_code ignored;
            socket_.close(ignored); // completes the handler with operation_aborted
            io_.restart();
            io_.run();
        }
        if (result) {
            close();
            return false;
        }
        boost::system::error_code ignored;
        socket_.set_option(tcp::no_delay(true), ignored); // one small block per ms: no coalescing delay
        socket_.set_option(asio::socket_base::send_buffer_size(StreamSender::kSendBufferBytes), ignored);
        socket_.non_blocking(true, ignored);
        return true;
    }

    // The device never writes, so readable means it closed the connection (or it failed).
    bool peerGone(std::string& reason) {
        char scratch[64];
        boost::system::error_code ec;
        for (;;) {
            socket_.read_some(asio::buffer(scratch), ec);
            if (!ec) {
                continue; // unexpected bytes from the device: ignored
            }
            if (ec == asio::error::would_block || ec == asio::error::try_again) {
                return false;
            }
            reason = ec == asio::error::eof ? "closed by the device" : ec.message();
            return true;
        }
    }

    enum class SendResult { Sent, Failed, Stopped };

    // The whole block or nothing more: a full send buffer is waited on in short, interruptible steps.
    SendResult sendAll(const unsigned char* data, std::size_t size, std::string& reason) {
        std::size_t offset = 0;
        while (offset < size) {
            boost::system::error_code ec;
            const std::size_t n = socket_.write_some(asio::buffer(data + offset, size - offset), ec);
            offset += n;
            if (!ec) {
                continue;
            }
            if (ec == asio::error::would_block || ec == asio::error::try_again) {
                if (!stop_.sleepFor(StreamSender::kFullBufferPoll)) {
                    return SendResult::Stopped;
                }
                continue;
            }
            reason = ec.message();
            return SendResult::Failed;
        }
        return SendResult::Sent;
    }

    void close() {
        if (!socket_.is_open()) {
            return;
        }
        boost::system::error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
    }

private:
    asio::io_context io_;
    tcp::socket socket_;
    platform::StopSignal& stop_;
};
} // namespace

StreamSender::StreamSender(const Settings& settings, Console& console, SteadyClock::time_point origin)
    : settings_(settings), console_(console), origin_(origin), mode_(static_cast<int>(settings.initialMode)) {
}

StreamSender::~StreamSender() {
    stop();
}

bool StreamSender::start() {
    stop_.reset();
    return thread_.start(&StreamSender::StreamThread, this);
}

void StreamSender::stop() {
    stop_.raise();
    if (thread_.held()) {
        thread_.join();
    }
}

void StreamSender::collect(RunMode mode) {
    mode_.store(static_cast<int>(mode));
    collect();
}

void StreamSender::collect() {
    streaming_.store(true);
    wanted_.store(true);
}

void StreamSender::pause() {
    streaming_.store(false);
}

int StreamSender::StreamThread(void* sender) {
    auto* self = static_cast<StreamSender*>(sender);
    try {
        self->run();
    } catch (const std::exception& error) {
        // Nothing may leave a thread procedure; the simulator runs on without a stream.
        self->console_.post(std::string("Stream thread failed: ") + error.what());
    }
    return 0;
}

void StreamSender::run() {
    const tcp::endpoint endpoint(asio::ip::make_address_v4(kStreamHost), settings_.port);
    const SignalSettings signal = settings_.signal();
    Connection connection(stop_);
    bool announcedConnecting = false;
    bool resync = true;
    std::uint64_t k = 0;
    auto nextLivenessCheck = SteadyClock::now();
    std::uint64_t skippedUnreported = 0;
    auto nextSkipReport = SteadyClock::now();

    while (!stop_.raised()) {
        if (!wanted_.load()) {
            stop_.sleepFor(kIdlePoll);
            continue;
        }
        if (!connection.open()) {
            if (!announcedConnecting) {
                console_.post("Connecting the stream to " + endpointText(settings_.port));
                announcedConnecting = true;
            }
            if (!connection.connect(endpoint, kConnectAttemptLimit)) {
                stop_.sleepFor(kConnectRetry);
                continue;
            }
            announcedConnecting = false;
            resync = true;
            nextLivenessCheck = SteadyClock::now();
            console_.post("Stream connected to " + endpointText(settings_.port));
        }

        std::string reason;
        if (SteadyClock::now() >= nextLivenessCheck) {
            nextLivenessCheck = SteadyClock::now() + kLivenessInterval;
            if (connection.peerGone(reason)) {
                connection.close();
                console_.post("Stream connection lost (" + reason + "); reconnecting");
                continue;
            }
        }
        if (!streaming_.load()) {
            resync = true;
            stop_.sleepFor(kIdlePoll);
            continue;
        }
        if (resync) {
            k = blockIndexAt(origin_, SteadyClock::now()) + 1;
            resync = false;
        }
        if (!stop_.sleepUntil(dueTime(origin_, k))) {
            break;
        }
        auto now = SteadyClock::now();
        if (now - dueTime(origin_, k) > settings_.maxLag) {
            const std::uint64_t current = blockIndexAt(origin_, now);
            skippedUnreported += current - k;
            blocksSkipped_.fetch_add(current - k);
            k = current;
        }
        if (skippedUnreported > 0 && now >= nextSkipReport) {
            console_.post("Stream behind schedule: skipped " + std::to_string(skippedUnreported) + " blocks");
            skippedUnreported = 0;
            nextSkipReport = now + std::chrono::seconds(1);
        }

        Block block = makeBlock(signal, static_cast<RunMode>(mode_.load()), k);
        if (settings_.latencyStamp) {
            stampLatency(block, SteadyClock::now());
        }
        const WireBlock wire = encodeBlock(block);
        const auto result = connection.sendAll(wire.data(), wire.size(), reason);
        if (result == Connection::SendResult::Stopped) {
            break;
        }
        if (result == Connection::SendResult::Failed) {
            connection.close();
            console_.post("Stream connection lost (" + reason + "); reconnecting");
            continue;
        }
        blocksSent_.fetch_add(1);
        ++k;
    }
    connection.close();
}

} // namespace companion_sim
