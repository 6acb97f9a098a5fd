#pragma once

#include "device/FerroxEMG.h"
#include "host/HostDeviceManager.h"
#include "tests/support/Sandbox.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ferrox_test {

// Plays the companion's end of the sample stream: a loopback TCP client of the device.
class StreamClient {
public:
    explicit StreamClient(unsigned short port);
    ~StreamClient();
    void send(const void* bytes, std::size_t count);
    void sendBlock(const std::vector<double>& values); // padded with zeros to 128 values
    // Writes all bytes without ever blocking for long: gives up (false) once `stop` is raised or the
    // connection fails, so a writer facing a device that stopped reading can still be joined.
    bool sendUnlessStopped(const void* bytes, std::size_t count, const std::atomic<bool>& stop);
    void close();
    // Aborts the connection: the device sees a reset, not an orderly end.
    void reset();

private:
    boost::asio::io_context io_;
    boost::asio::ip::tcp::socket socket_;
};

// A block whose value k is base + k.
std::vector<double> rampBlock(double base);

// A device on a free loopback port with `channels` descriptors named like the factory names them,
// the first `enabled` of them active, and a device manager that records status texts.
struct DeviceRig {
    explicit DeviceRig(int channels = 8, int enabled = -1);
    ~DeviceRig();

    void connectStream(); // a client connects and "AppRunMode" accepts it
    // Frames take the second-newest block, as the tests of that delivery expect; they call the fill
    // themselves, which in the other delivery would take blocks from the capture.
    void newestSample();
    std::vector<std::string> statusTexts() const { return manager.Messages(); }
    bool logged(const std::string& text) const;
    int countLogged(const std::string& prefix) const;
    std::string commandFile() const;

    Sandbox sandbox;
    AnalogSystem::HostDeviceManager manager;
    std::unique_ptr<QuillmarkPluginDevices::FerroxEMG> device;
    std::unique_ptr<StreamClient> client;
};

void addDescriptors(QuillmarkPluginDevices::FerroxEMG& device, int channels, int enabled);

} // namespace ferrox_test
