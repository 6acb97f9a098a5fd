#include "SimHarness.h"

#include "platform/ChildProcess.h"

#include <boost/asio/read.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace ferrox_test {

StreamListener::StreamListener() : acceptor_(io_, {asio::ip::address_v4::loopback(), 0}), socket_(io_) {
    port_ = acceptor_.local_endpoint().port();
}

bool StreamListener::runFor(std::chrono::milliseconds limit) {
    io_.restart();
    io_.run_for(limit);
    if (io_.stopped()) {
        return true;
    }
    boost::system::error_code ignored;
    acceptor_.cancel(ignored);
    socket_.cancel(ignored);
    io_.restart();
    io_.run();
    return false;
}

bool StreamListener::accept(std::chrono::milliseconds limit) {
    closeConnection();
    received_ = 0;
    boost::system::error_code result = asio::error::timed_out;
    acceptor_.async_accept(socket_, [&](const boost::system::error_code& ec) { result = ec; });
    runFor(limit);
    return !result;
}

void StreamListener::closeConnection() {
    boost::system::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
}

std::size_t StreamListener::readSome(void* buffer, std::size_t count, bool whole,
                                     std::chrono::milliseconds limit, boost::system::error_code& result) {
    result = asio::error::timed_out;
    std::size_t got = 0;
    const auto done = [&](const boost::system::error_code& ec, std::size_t n) {
        result = ec;
        got = n;
    };
    if (whole) {
        asio::async_read(socket_, asio::buffer(buffer, count), done);
    } else {
        socket_.async_read_some(asio::buffer(buffer, count), done);
    }
    runFor(limit);
    received_ += got;
    return got;
}

std::optional<companion_sim::Block> StreamListener::readBlock(std::chrono::milliseconds limit) {
    unsigned char bytes[companion_sim::kBlockBytes];
    boost::system::error_code result;
    readSome(bytes, sizeof bytes, true, limit, result);
    return result ? std::nullopt : std::optional<companion_sim::Block>(companion_sim::decodeBlock(bytes));
}

std::size_t StreamListener::drainUntilQuiet(std::chrono::milliseconds quiet,
                                            std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::size_t total = 0;
    std::vector<unsigned char> buffer(65536);
    boost::system::error_code result;
    for (auto now = std::chrono::steady_clock::now(); now < deadline && !result;
         now = std::chrono::steady_clock::now()) {
        const auto wait =
            std::min(quiet, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now));
        total += readSome(buffer.data(), buffer.size(), false, wait, result);
    }
    return total;
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
