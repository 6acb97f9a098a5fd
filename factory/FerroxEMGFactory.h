#pragma once

#include "host/DeviceFactory.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace QuillmarkPluginDevices {

class FerroxEMG;

// One base station as the host sees it: names the device after the station's identifier and builds a
// FerroxEMG whose channels are those of the sensors the station reported as occupied.
class FerroxEMGFactory : public AnalogSystem::PluginDeviceFactory {
public:
    // The identifier also becomes the device name the base reports.
    FerroxEMGFactory(const std::string& identifier, const std::string& hardware,
                     const std::vector<int32_t>& occupiedSensors);
    ~FerroxEMGFactory() override;

    const char* DeviceIdentifier() override;

    // A new device on the companion's stream port. The host cannot catch what this module throws, so
    // every failure (the port held by another device or program, memory) becomes an empty handle and
    // one line on standard error.
    std::unique_ptr<AnalogSystem::IDevice> CreateDevice() override;

    // As CreateDevice, listening on `port` instead (0 picks a free one, for tests).
    std::unique_ptr<AnalogSystem::IDevice> CreateDeviceOn(unsigned short port);

    const std::string& HardwareName() const { return hardwareName; }
    const std::vector<int32_t>& OccupiedSensorIds() const { return occupiedSensorIds; }

private:
    void shapeDevice(FerroxEMG& device) const;

    std::string hardwareName;
    std::string deviceId;
    std::vector<int32_t> occupiedSensorIds;
};

} // namespace QuillmarkPluginDevices
