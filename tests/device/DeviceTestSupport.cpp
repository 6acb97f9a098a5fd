#include "tests/device/DeviceTestSupport.h"

#include "companion/Paths.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/write.hpp>

#include <cstring>
#include <thread>

namespace ferrox_test {

StreamClient::StreamClient(unsigned short port) : socket_(io_) {
    socket_.connect({boost::asio::ip::address_v4::loopback(), port});
}

StreamClient::~StreamClient() {
    close();
}

void StreamClient::send(const void* bytes, std::size_t count) {
    boost::asio::write(socket_, boost::asio::buffer(bytes, count));
}

void StreamClient::sendBlock(const std::vector<double>& values) {
    QuillmarkPluginDevices::SampleBlock block;
    for (std::size_t i = 0; i < values.size() && i < block.values.size(); ++i) {
        block.values[i] = values[i];
    }
    send(block.values.data(), QuillmarkPluginDevices::SampleBlock::kBytes);
}

bool StreamClient::sendUnlessStopped(const void* bytes, std::size_t count, const std::atomic<bool>& stop) {
    boost::system::error_code ec;
    socket_.non_blocking(true, ec);
    const auto* next = static_cast<const unsigned char*>(bytes);
    bool sent = true;
    while (count > 0) {
        if (stop.load()) {
            sent = false;
            break;
        }
        const std::size_t n = socket_.write_some(boost::asio::buffer(next, count), ec);
        if (ec == boost::asio::error::would_block || ec == boost::asio::error::try_again) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            continue;
        }
        if (ec) {
            sent = false;
            break;
        }
        next += n;
        count -= n;
    }
    // send() relies on blocking writes.
    socket_.non_blocking(false, ec);
    return sent;
}

void StreamClient::reset() {
    boost::system::error_code ec;
    socket_.set_option(boost::asio::socket_base::linger(true, 0), ec);
    socket_.close(ec);
}

void StreamClient::close() {
    boost::system::error_code ec;
    socket_.close(ec);
}

std::vector<double> rampBlock(double base) {
    std::vector<double> values(128);
    for (std::size_t k = 0; k < values.size(); ++k) {
        values[k] = base + static_cast<double>(k);
    }
    return values;
}

void addDescriptors(QuillmarkPluginDevices::FerroxEMG& device, int channels, int enabled) {
    for (int i = 0; i < channels; ++i) {
        const std::string name = "EMG " + std::to_string(i) + " Sensor " + std::to_string(i / 4);
        auto& store = device.channelNameStore();
        store.emplace_back(name.begin(), name.end());
        store.back().push_back('\0');
        device.AddChannelDescriptor(store.back().data(), 1);
        device.ChannelDescriptor(i)->SetProperty("AnalogChannel_Enabled", enabled < 0 || i < enabled);
    }
}

DeviceRig::DeviceRig(int channels, int enabled) {
    sandbox.companionDataDir();
    manager.SetEcho(false);
    device = std::make_unique<QuillmarkPluginDevices::FerroxEMG>(
        std::vector<QuillmarkPluginDevices::SensorRecord>{}, static_cast<unsigned short>(0));
    device->SetDeviceManager(&manager);
    device->SetProperty(AnalogSystem::cPluginDeviceBase::kRatePropName, 1000.0);
    addDescriptors(*device, channels, enabled);
}

DeviceRig::~DeviceRig() {
    device.reset();
    client.reset();
}

void DeviceRig::connectStream() {
    client = std::make_unique<StreamClient>(device->listeningPort());
    // The connection may not be pending on the listener yet when the first change arrives.
    eventually([&] {
        device->PropertyChanged("AppRunMode");
        return device->connected();
    });
}

void DeviceRig::newestSample() {
    device->SetProperty(QuillmarkPluginDevices::FerroxEMG::kDeliveryPropName,
                        static_cast<int>(QuillmarkPluginDevices::FerroxEMG::Delivery::NewestSample));
    device->PropertyChanged(QuillmarkPluginDevices::FerroxEMG::kDeliveryPropName);
}

bool DeviceRig::logged(const std::string& text) const {
    for (const auto& entry : device->LoggedMessages()) {
        if (entry.text == text) {
            return true;
        }
    }
    return false;
}

int DeviceRig::countLogged(const std::string& prefix) const {
    int n = 0;
    for (const auto& entry : device->LoggedMessages()) {
        n += entry.text.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
    }
    return n;
}

std::string DeviceRig::commandFile() const {
    auto path = QuillmarkPluginDevices::commandFilePath();
    return path ? readFile(*path) : std::string();
}

} // namespace ferrox_test
