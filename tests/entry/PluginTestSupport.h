#pragma once

#include "tests/support/Sandbox.h"

#include <boost/asio/ip/tcp.hpp>

#include <atomic>
#include <cstddef>

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace ferrox_test {

// A file built into the same folder as the running test executable.
std::string besideExecutable(const std::string& fileName);

// The test companion installed in a sandbox under the companion's own file name, with its report
// template and its log named in the environment the plug-in passes on. Only a plug-in loaded by the
// test process itself can start it under Wine: there every new process takes ProgramFiles from the
// registry instead of its parent.
class InstalledCompanion {
public:
    InstalledCompanion(const Sandbox& sandbox, const std::string& report);

    std::string logPath() const { return log_; }
    std::vector<std::string> logLines() const;
    bool logged(const std::string& line) const;

private:
    std::string log_;
    std::vector<std::unique_ptr<ScopedEnv>> env_;
};

// Plays the companion's sample stream from the test process: connects to 127.0.0.1:<port>, retrying
// until the device listens, and sends one block every millisecond until destroyed. Value i of block k
// is 1000 * i + k % 1000, so every value tells its channel. The destructor stops and joins the thread;
// sends never block, so a device that stops reading cannot hold it up.
class BlockStreamer {
public:
    explicit BlockStreamer(unsigned short port);
    ~BlockStreamer();
    BlockStreamer(const BlockStreamer&) = delete;
    BlockStreamer& operator=(const BlockStreamer&) = delete;

    int connections() const { return connections_.load(); }

private:
    void run();
    bool sendAll(boost::asio::ip::tcp::socket& socket, const unsigned char* bytes, std::size_t size);

    unsigned short port_;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
};

// The vendor state file of a sandbox.
void writeStateFile(const Sandbox& sandbox, const std::string& json);
std::string reportPathOf(const Sandbox& sandbox);
std::string commandPathOf(const Sandbox& sandbox);

} // namespace ferrox_test
