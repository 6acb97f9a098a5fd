#include "tests/device/DeviceTestSupport.h"

#include "companion/Paths.h"

namespace ferrox_test {

DeviceRig::DeviceRig(int channels, int enabled, unsigned short port) {
    manager.SetEcho(false);
    device = std::make_unique<QuillmarkPluginDevices::FerroxEMG>(
        std::vector<QuillmarkPluginDevices::SensorRecord>{}, port);
    device->SetDeviceManager(&manager);
    device->SetProperty(AnalogSystem::cPluginDeviceBase::kRatePropName, 1000.0);
    for (int i = 0; i < channels; ++i) {
        const std::string name = "EMG " + std::to_string(i) + " Sensor " + std::to_string(i / 4);
        auto& store = device->channelNameStore();
        store.emplace_back(name.begin(), name.end());
        store.back().push_back('\0');
        device->AddChannelDescriptor(store.back().data(), 1);
        device->ChannelDescriptor(i)->SetProperty("AnalogChannel_Enabled", enabled < 0 || i < enabled);
    }
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

int DeviceRig::countLogged(const std::string& prefix, bool whole) const {
    int n = 0;
    for (const auto& entry : device->LoggedMessages()) {
        n += entry.text.compare(0, prefix.size(), prefix) == 0 &&
             (!whole || entry.text.size() == prefix.size());
    }
    return n;
}

std::string DeviceRig::commandFile() const {
    return readFile(*QuillmarkPluginDevices::commandFilePath());
}

} // namespace ferrox_test
