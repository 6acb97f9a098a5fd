#pragma once

#include "inventory/SensorRecord.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace QuillmarkPluginDevices {

// One channel descriptor a new device gets, and the state-file record it comes from.
struct DeviceChannel {
    std::string name;
    std::size_t sensorPosition = 0; // the record's position in the state file's sensor list
};

// The channel descriptors of a device, in order: every channel of every sensor whose ID the report lists
// as occupied, except its impedance readings, named "<channel> Sensor <position>". The position counts
// every record of the state file, so a channel keeps its name when other sensors come and go from the
// station. The factory builds its devices from this list; ferrox-host --check shows it.
std::vector<DeviceChannel> deviceChannels(const std::vector<SensorRecord>& sensors,
                                          const std::vector<int32_t>& occupiedSensorIds);

} // namespace QuillmarkPluginDevices
