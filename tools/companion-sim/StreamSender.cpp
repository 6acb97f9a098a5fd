#include "StreamSender.h"

#include "platform/ThreadPriority.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/socket_base.hpp>

#include <algorithm>
#include <exception>
#include <random>
#include <string>
#include <vector>

namespace companion_sim {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using platform::SteadyClock;

namespace {
// When each write is due. Block k is due at origin + k periods, the period being 1 ms shortened by the
// clock error (a fast clock, +ppm, sends more blocks per second of the receiver's clock). A write of
// `burst` blocks is due with its last block, so no block leaves before it is due. Jitter then delays
// each write by its own random amount, but never lets it overtake the write ahead of it; the schedule
// itself stays absolute, so neither jitter nor a late write accumulates.
class WriteSchedule {
public:
    WriteSchedule(const Settings& settings, SteadyClock::time_point origin)
        : origin_(origin), periodNs_(1000000 - settings.clockPpm), burst_(settings.burst),
          jitterMicroseconds_(0,
                              std::chrono::duration_cast<std::chrono::microseconds>(settings.jitter).count()),
          random_(settings.seed) {}

    // The index of the block due at or before `when`.
    std::uint64_t blockAt(SteadyClock::time_point when) const {
        if (when <= origin_) {
            return 0;
        }
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(when - origin_).count();
        return static_cast<std::uint64_t>(ns) / static_cast<std::uint64_t>(periodNs_);
    }

    // The first block of the latest write that is due at or before `when`.
    std::uint64_t writeAt(SteadyClock::time_point when) const {
        const std::uint64_t last = blockAt(when);
        return last >= static_cast<std::uint64_t>(burst_ - 1) ? last - static_cast<std::uint64_t>(burst_ - 1)
                                                              : 0;
    }

    // When the write that starts with block `first` leaves: its due time plus its jitter, and not
    // before the write planned ahead of it. Called once for each write.
    SteadyClock::time_point plan(std::uint64_t first) {
        const std::uint64_t last = first + static_cast<std::uint64_t>(burst_ - 1);
        auto when = origin_ + std::chrono::duration_cast<SteadyClock::duration>(
                                  std::chrono::nanoseconds(static_cast<std::int64_t>(last) * periodNs_));
        if (jitterMicroseconds_.max() > 0) {
            when += std::chrono::microseconds(jitterMicroseconds_(random_));
        }
        planned_ = std::max(planned_, when);
        return planned_;
    }

private:
    SteadyClock::time_point origin_;
    std::int64_t periodNs_;
    int burst_;
    std::uniform_int_distribution<std::int64_t> jitterMicroseconds_;
    std::mt19937_64 random_;
    SteadyClock::time_point planned_{};
};

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
    bool connect(const tcp::endpoint& endpoint, std::chrono::milliseconds limit, bool noDelay) {
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
        // With nobody listening, a connection to a port of the ephemeral range can end up connected to
        // itself (its own port picked as the source): it then takes the port the device has to listen
        // on, and the blocks written go nowhere. Such a connection is given up like a refused one, reset
        // rather than closed: a closed one would keep the port for the minute of its TIME-WAIT.
        boost::system::error_code localError, remoteError;
        const tcp::endpoint local = socket_.local_endpoint(localError);
        const tcp::endpoint remote = socket_.remote_endpoint(remoteError);
        if (localError || remoteError || local == remote) {
            boost::system::error_code ignored;
            socket_.set_option(asio::socket_base::linger(true, 0), ignored);
            socket_.close(ignored);
            return false;
        }
        boost::system::error_code ignored;
        if (noDelay) {
            socket_.set_option(tcp::no_delay(true), ignored); // one small block per ms: no coalescing delay
        }
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
    return thread_.start(&StreamSender::StreamThread, this, "ferrox-stream");
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
    // A companion paces its stream on its own clock: fine timer resolution and, where the system allows
    // it, real-time priority, so the stream stays paced on a busy machine (FERROX_SIM_JITTER_MS models a
    // sender that does not).
    const platform::TimerResolution timerResolution;
    const platform::RealtimePriority priority;
    const tcp::endpoint endpoint(asio::ip::make_address_v4(kStreamHost), settings_.port);
    const SignalSettings signal = settings_.signal();
    const auto burst = static_cast<std::uint64_t>(settings_.burst);
    WriteSchedule schedule(settings_, origin_);
    std::vector<unsigned char> wire(burst * kBlockBytes);
    Connection connection(stop_);
    bool announcedConnecting = false;
    bool resync = true;
    std::uint64_t k = 0; // the first block of the next write
    std::optional<SteadyClock::time_point> previousWriteReturned;
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
            if (!connection.connect(endpoint, kConnectAttemptLimit, settings_.noDelay)) {
                stop_.sleepFor(kConnectRetry);
                continue;
            }
            announcedConnecting = false;
            resync = true;
            previousWriteReturned.reset();
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
            k = schedule.writeAt(SteadyClock::now()) + burst;
            resync = false;
        }
        const auto planned = schedule.plan(k);
        if (!stop_.sleepUntil(planned)) {
            break;
        }
        auto now = SteadyClock::now();
        if (now - planned > settings_.maxLag) {
            const std::uint64_t current = std::max(k, schedule.writeAt(now));
            skippedUnreported += current - k;
            blocksSkipped_.fetch_add(current - k);
            k = current;
        }
        if (skippedUnreported > 0 && now >= nextSkipReport) {
            console_.post("Stream behind schedule: skipped " + std::to_string(skippedUnreported) + " blocks");
            skippedUnreported = 0;
            nextSkipReport = now + std::chrono::seconds(1);
        }

        const auto mode = static_cast<RunMode>(mode_.load());
        const auto sendTime = SteadyClock::now();
        for (std::uint64_t i = 0; i < burst; ++i) {
            Block block = makeBlock(signal, mode, k + i);
            if (settings_.latencyStamp) {
                stampLatency(block, sendTime);
            }
            if (settings_.sequence) {
                stampSequence(block, blocksSent_.load() + i, previousWriteReturned);
            }
            encodeBlock(block, wire.data() + i * kBlockBytes);
        }
        const auto result = connection.sendAll(wire.data(), wire.size(), reason);
        previousWriteReturned = SteadyClock::now();
        if (result == Connection::SendResult::Stopped) {
            break;
        }
        if (result == Connection::SendResult::Failed) {
            connection.close();
            console_.post("Stream connection lost (" + reason + "); reconnecting");
            continue;
        }
        blocksSent_.fetch_add(burst);
        writes_.fetch_add(1);
        k += burst;
    }
    connection.close();
}

} // namespace companion_sim
