#include "factory/FerroxEMGFactory.h"

#include "companion/CompanionController.h"
#include "device/FerroxEMG.h"
#include "factory/DeviceChannels.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <utility>

namespace QuillmarkPluginDevices {

namespace {
using Base = AnalogSystem::cPluginDeviceBase;

constexpr const char* kDeviceName = "FerroxEMG";
constexpr int kAnalogChannelType = 1;
constexpr double kProvisionalRate = 2000.0;
constexpr double kDeviceRate = 1000.0;
constexpr int kMocapRateMultiple = 5;

struct FlagRow {
    const char* property;
    bool flags[4];
};

const FlagRow kDescriptorFlagRows[] = {
    {"AnalogChannel_Units", {true, true, false, true}},
    {"AnalogChannel_MinVoltage", {true, true, false, true}},
    {"AnalogChannel_MaxVoltage", {true, true, false, true}},
    {"AnalogChannel_TerminalName", {false, false, false, true}},
    {"Terminal Name", {true, false, false, true}},
    {"Enabled", {false, false, false, true}},
    {"AnalogChannel_Selected", {false, false, false, true}},
    {"AnalogChannel_TerminalType", {true, true, false, true}},
    {"AnalogChannel_OwnerSerial", {false, false, false, true}},
};

void reportFailure(const char* reason) {
    std::fprintf(stderr, "FerroxEMG: no device created: %s\n", reason);
    std::fflush(stderr);
}
} // namespace

FerroxEMGFactory::FerroxEMGFactory(const std::string& identifier, const std::string& hardware,
                                   const std::vector<int32_t>& occupiedSensors)
    : PluginDeviceFactory(identifier.c_str()), hardwareName(hardware), deviceId(identifier),
      occupiedSensorIds(occupiedSensors) {}

FerroxEMGFactory::~FerroxEMGFactory() = default;

const char* FerroxEMGFactory::DeviceIdentifier() {
    return deviceId.c_str();
}

std::unique_ptr<AnalogSystem::IDevice> FerroxEMGFactory::CreateDevice() {
    return CreateDeviceOn(FerroxEMG::kStreamPort);
}

std::unique_ptr<AnalogSystem::IDevice> FerroxEMGFactory::CreateDeviceOn(unsigned short port) {
    try {
        std::vector<SensorRecord> sensors = CompanionController::readSensorStates();
        auto device = std::make_unique<FerroxEMG>(std::move(sensors), port);
        shapeDevice(*device);
        return device;
    } catch (const std::exception& error) {
        // A held stream port is no failure (the device waits for it); this is a failed allocation.
        reportFailure(error.what());
    } catch (...) {
        reportFailure("unknown error");
    }
    return nullptr;
}

void FerroxEMGFactory::shapeDevice(FerroxEMG& device) const {
    device.SetProperty(Base::kNamePropName, kDeviceName);
    device.SetProperty(Base::kDisplayNamePropName, kDeviceName);
    device.SetProperty(Base::kModelPropName, hardwareName.c_str());
    device.SetProperty(Base::kDeviceTypePropName, 0);
    device.SetProperty(Base::kDataStatePropName, 1);
    // Built whole, however long the report's identifier is.
    const std::string serial = std::string(DeviceName()) + "-serial";
    device.SetProperty(Base::kSerialPropName, serial.c_str());
    device.SetProperty(Base::kRatePropName, kProvisionalRate);

    std::deque<std::vector<char>>& names = device.channelNameStore();
    const std::vector<SensorRecord>& sensors = device.sensors();
    for (const DeviceChannel& channel : deviceChannels(sensors, occupiedSensorIds)) {
        names.emplace_back(channel.name.begin(), channel.name.end());
        names.back().push_back('\0');

        const int index = device.ChannelDescriptorCount();
        device.AddChannelDescriptor(names.back().data(), kAnalogChannelType);
        AnalogSystem::cPropertySet* descriptor = device.ChannelDescriptor(index);
        if (!descriptor) {
            continue;
        }
        descriptor->SetProperty("AnalogChannel_Enabled", false);
        descriptor->SetProperty("AnalogChannel_Selected", false);
        for (const FlagRow& row : kDescriptorFlagRows) {
            descriptor->ModifyProperty(row.property, row.flags[0], row.flags[1], row.flags[2], row.flags[3]);
        }
        // The sensor's name is the terminal its channels come from: it belongs on each of them.
        const std::string& terminal = sensors[channel.sensorPosition].SensorName;
        descriptor->SetProperty("AnalogChannel_TerminalName", terminal.c_str());
        descriptor->SetProperty("Terminal Name", terminal.c_str());
    }

    device.SetProperty(Base::kRatePropName, kDeviceRate);
    device.SetProperty(Base::kMocapRateMultiplePropName, kMocapRateMultiple);
    device.SetProperty("Scan_Sensor", false);
}

} // namespace QuillmarkPluginDevices
