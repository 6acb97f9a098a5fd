#include "SimHarness.h"

#include "platform/Process.h"
#include "platform/Sleep.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace ferrox_test {

namespace {
constexpr auto kPoll = std::chrono::milliseconds(2);

bool wouldBlock(const boost::system::error_code& ec) {
    return ec == asio::error::would_block || ec == asio::error::try_again;
}
} // namespace

StreamListener::StreamListener() : acceptor_(io_), socket_(io_) {
    const tcp::endpoint endpoint(asio::ip::make_address_v4("127.0.0.1"), 0);
    acceptor_.open(endpoint.protocol());
    acceptor_.bind(endpoint);
    acceptor_.listen();
    acceptor_.non_blocking(true);
    port_ = acceptor_.local_endpoint().port();
}

bool StreamListener::accept(std::chrono::milliseconds limit) {
    closeConnection();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        boost::system::error_code ec;
        acceptor_.accept(socket_, ec);
        if (!ec) {
            socket_.non_blocking(true, ec);
            received_ = 0;
            return true;
        }
        if (!wouldBlock(ec) || std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        platform::sleepFor(kPoll);
    }
}

void StreamListener::closeConnection() {
    boost::system::error_code ignored;
    if (socket_.is_open()) {
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
    }
}

bool StreamListener::read(std::vector<unsigned char>& out, std::size_t count,
                          std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    const std::size_t start = out.size();
    out.resize(start + count);
    std::size_t have = 0;
    while (have < count) {
        boost::system::error_code ec;
        const std::size_t n = socket_.read_some(asio::buffer(out.data() + start + have, count - have), ec);
        have += n;
        received_ += n;
        if (ec && !wouldBlock(ec)) {
            out.resize(start + have);
            return false;
        }
        if (ec) {
            if (std::chrono::steady_clock::now() >= deadline) {
                out.resize(start + have);
                return false;
            }
            platform::sleepFor(kPoll);
        }
    }
    return true;
}

std::optional<companion_sim::Block> StreamListener::readBlock(std::chrono::milliseconds limit) {
    std::vector<unsigned char> bytes;
    if (!read(bytes, companion_sim::kBlockBytes, limit)) {
        return std::nullopt;
    }
    return companion_sim::decodeBlock(bytes.data());
}

std::size_t StreamListener::drainUntilQuiet(std::chrono::milliseconds quiet,
                                            std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    auto lastData = std::chrono::steady_clock::now();
    std::size_t total = 0;
    unsigned char buffer[65536];
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        if (now - lastData >= quiet || now >= deadline) {
            return total;
        }
        boost::system::error_code ec;
        const std::size_t n = socket_.read_some(asio::buffer(buffer), ec);
        total += n;
        received_ += n;
        if (n > 0) {
            lastData = std::chrono::steady_clock::now();
        }
        if (ec && !wouldBlock(ec)) {
            return total;
        }
        if (ec) {
            platform::sleepFor(kPoll);
        }
    }
}

LaunchedSimulator::LaunchedSimulator(const ScopedEnvs::Variables& variables) : variables_(variables) {
    installAsCompanion(besideExecutable(FERROX_SIMULATOR_FILE));
    // Launches, writes "AppRunMode" and waits one second, as enumeration does.
    controller_.sendCommand("Connect");
    if (controller_.launched()) {
        console_ = std::make_unique<ConsoleCapture>(controller_.stdoutRead());
    }
}

LaunchedSimulator::~LaunchedSimulator() {
    if (controller_.launched() && !exited_) {
        platform::terminateProcess(controller_.companionProcess());
    }
    if (console_ && ::testing::Test::HasFailure()) {
        for (const auto& message : console_->messages()) {
            std::fprintf(stderr, "[simulator] %s", message.c_str());
        }
    }
    // The console capture is joined, then the controller closes its own pipe ends.
}

int LaunchedSimulator::indexOf(const std::string& part) const {
    const auto messages = console_ ? console_->messages() : std::vector<std::string>();
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (messages[i].find(part) != std::string::npos) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

std::optional<int> LaunchedSimulator::waitForExit(std::chrono::milliseconds limit) {
    auto code = platform::waitForProcess(controller_.companionProcess(), limit);
    exited_ = exited_ || code.has_value();
    return code;
}

} // namespace ferrox_test
