#include "factory/FerroxEMGFactory.h"

#include "companion/CompanionController.h"
#include "device/FerroxEMG.h"

#include <algorithm>
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

// Impedance readings the state file lists among a sensor's channels; they carry no samples.
bool isImpedanceChannel(const std::string& channel) {
    return channel == "IMP 1" || channel == "IMP RMS 1";
}

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
        // The usual cause: another device or program holds the stream port ("bind: ...").
        reportFailure(error.what());
    } catch (...) {
        reportFailure("unknown error");
    }
    return nullptr;
}

bool FerroxEMGFactory::isOccupied(int32_t sensorId) const {
    return std::find(occupiedSensorIds.begin(), occupiedSensorIds.end(), sensorId) != occupiedSensorIds.end();
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
    for (std::size_t position = 0; position < sensors.size(); ++position) {
        const SensorRecord& sensor = sensors[position];
        if (!isOccupied(sensor.SensorId)) {
            continue;
        }
        for (const std::string& channel : sensor.ChannelNames) {
            if (isImpedanceChannel(channel)) {
                continue;
            }
            // The position counts every record of the state file, so a channel keeps its name when
            // other sensors come and go from the station.
            const std::string name = channel + " Sensor " + std::to_string(position);
            names.emplace_back(name.begin(), name.end());
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
                descriptor->ModifyProperty(row.property, row.flags[0], row.flags[1], row.flags[2],
                                           row.flags[3]);
            }
            // The sensor's name is the terminal its channels come from: it belongs on each of them.
            descriptor->SetProperty("AnalogChannel_TerminalName", sensor.SensorName.c_str());
            descriptor->SetProperty("Terminal Name", sensor.SensorName.c_str());
        }
    }

    device.SetProperty(Base::kRatePropName, kDeviceRate);
    device.SetProperty(Base::kMocapRateMultiplePropName, kMocapRateMultiple);
    device.SetProperty("Scan_Sensor", false);
}

} // namespace QuillmarkPluginDevices
