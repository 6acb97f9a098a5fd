#include "tests/entry/PluginTestSupport.h"

#include "platform/ChildProcess.h"
#include "platform/Environment.h"
#include "platform/Sleep.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>

#include <array>
#include <cstring>
#include <filesystem>
#include <sstream>

namespace fs = std::filesystem;

namespace ferrox_test {

std::string besideExecutable(const std::string& fileName) {
    return (fs::path(platform::currentExecutablePath()).parent_path() / fileName).string();
}

InstalledCompanion::InstalledCompanion(const Sandbox& sandbox, const std::string& report)
    : log_(sandbox.root() + "/companion.log") {
    // The installer makes the folder the command file and the report live in; the library does not.
    sandbox.companionDataDir();
    const std::string program = sandbox.companionProgramDir() + "/SabletBase.exe";
    fs::copy_file(besideExecutable(FERROX_TEST_COMPANION_FILE), program,
                  fs::copy_options::overwrite_existing);
    fs::permissions(program, fs::perms::owner_all, fs::perm_options::add);
    const std::string templatePath = sandbox.root() + "/report-template.txt";
    writeFile(templatePath, report);
    env_.push_back(std::make_unique<ScopedEnv>("FERROX_PLUG_COMPANION_REPORT", templatePath));
    env_.push_back(std::make_unique<ScopedEnv>("FERROX_PLUG_COMPANION_LOG", log_));
}

std::vector<std::string> InstalledCompanion::logLines() const {
    std::istringstream in(readFile(log_));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

bool InstalledCompanion::logged(const std::string& line) const {
    for (const std::string& l : logLines()) {
        if (l == line) {
            return true;
        }
    }
    return false;
}

BlockStreamer::BlockStreamer(unsigned short port) : port_(port), thread_([this] { run(); }) {}

BlockStreamer::~BlockStreamer() {
    stop_ = true;
    thread_.join();
}

bool BlockStreamer::sendAll(boost::asio::ip::tcp::socket& socket, const unsigned char* bytes,
                            std::size_t size) {
    std::size_t sent = 0;
    while (sent < size) {
        if (stop_.load()) {
            return false;
        }
        boost::system::error_code ec;
        sent += socket.write_some(boost::asio::buffer(bytes + sent, size - sent), ec);
        if (ec == boost::asio::error::would_block || ec == boost::asio::error::try_again) {
            platform::sleepFor(std::chrono::milliseconds(1));
        } else if (ec) {
            return false;
        }
    }
    return true;
}

void BlockStreamer::run() {
    boost::asio::io_context io;
    const boost::asio::ip::tcp::endpoint device(boost::asio::ip::address_v4::loopback(), port_);
    while (!stop_.load()) {
        boost::asio::ip::tcp::socket socket(io);
        boost::system::error_code ec;
        socket.connect(device, ec);
        if (ec) {
            platform::sleepFor(std::chrono::milliseconds(50));
            continue;
        }
        socket.non_blocking(true, ec);
        ++connections_;
        std::array<double, 128> values{};
        unsigned char bytes[sizeof values];
        auto due = platform::SteadyClock::now();
        for (long k = 0; !stop_.load(); ++k) {
            for (std::size_t i = 0; i < values.size(); ++i) {
                values[i] = 1000.0 * static_cast<double>(i) + static_cast<double>(k % 1000);
            }
            std::memcpy(bytes, values.data(), sizeof bytes); // little-endian on every target
            if (!sendAll(socket, bytes, sizeof bytes)) {
                break;
            }
            due += std::chrono::milliseconds(1);
            platform::sleepUntil(due);
        }
        socket.close(ec);
    }
}

void writeStateFile(const Sandbox& sandbox, const std::string& json) {
    writeFile(sandbox.stateFileDir() + "/system-state.json", json);
}

std::string reportPathOf(const Sandbox& sandbox) {
    return sandbox.companionDataDir() + "/DeviceConfiguration.txt";
}
std::string commandPathOf(const Sandbox& sandbox) {
    return sandbox.companionDataDir() + "/pipe_input1.txt";
}

} // namespace ferrox_test
