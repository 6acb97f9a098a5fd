#pragma once

#include "BlockGenerator.h"

#include "companion/CompanionController.h"
#include "tests/support/Companion.h"
#include "tests/support/Sandbox.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ferrox_test {

using namespace std::chrono_literals;

// Plays the device's end of the sample stream: a loopback listener on a free port. Every wait is
// bounded, so a simulator that misbehaves fails the test instead of hanging it.
class StreamListener {
public:
    StreamListener();
    unsigned short port() const { return port_; }

    bool accept(std::chrono::milliseconds limit);
    void closeConnection();

    std::optional<companion_sim::Block> readBlock(std::chrono::milliseconds limit = 5s);
    // Reads until nothing has arrived for `quiet`, at most for `limit`; the byte count.
    std::size_t drainUntilQuiet(std::chrono::milliseconds quiet, std::chrono::milliseconds limit);
    // Every byte received on the current connection.
    std::size_t received() const { return received_; }

private:
    // Runs the operation started on io_ for at most `limit`, and cancels it then; true when it finished.
    bool runFor(std::chrono::milliseconds limit);
    // Exactly `count` bytes (`whole`) or what arrives first; `result` says why it ended.
    std::size_t readSome(void* buffer, std::size_t count, bool whole, std::chrono::milliseconds limit,
                         boost::system::error_code& result);

    boost::asio::io_context io_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::ip::tcp::socket socket_;
    unsigned short port_ = 0;
    std::size_t received_ = 0;
};

// The simulator started exactly as the plug-in starts it: the plug-in's controller runs "Connect"
// on a copy of SabletBase.exe in the sandbox's program folder, which launches it with the pipe name
// and writes "AppRunMode". Its console is collected as NUL-terminated messages. The destructor ends
// the process by its id if it still runs.
class LaunchedSimulator {
public:
    explicit LaunchedSimulator(const ScopedEnvs::Variables& variables);
    ~LaunchedSimulator();
    LaunchedSimulator(const LaunchedSimulator&) = delete;
    LaunchedSimulator& operator=(const LaunchedSimulator&) = delete;

    bool launched() const { return controller_.launched(); }
    void send(const char* word) { controller_.sendCommand(word); }

    bool waitForMessage(const std::string& part, std::chrono::milliseconds limit = 10s) {
        return console_ && console_->waitFor(part, limit);
    }
    // The position of the first message containing `part`, or -1.
    int indexOf(const std::string& part) const;

    void closeInput() { controller_.closeInput(); }
    std::optional<int> waitForExit(std::chrono::milliseconds limit);

    QuillmarkPluginDevices::CompanionController& controller() { return controller_; }

private:
    ScopedEnvs variables_;
    QuillmarkPluginDevices::CompanionController controller_;
    std::unique_ptr<ConsoleCapture> console_;
    bool exited_ = false;
};

} // namespace ferrox_test
