#include "factory/DeviceChannels.h"

#include <algorithm>

namespace QuillmarkPluginDevices {

namespace {
// Impedance readings the state file lists among a sensor's channels; they carry no samples.
bool isImpedanceChannel(const std::string& channel) {
    return channel == "IMP 1" || channel == "IMP RMS 1";
}
} // namespace

std::vector<DeviceChannel> deviceChannels(const std::vector<SensorRecord>& sensors,
                                          const std::vector<int32_t>& occupiedSensorIds) {
    std::vector<DeviceChannel> channels;
    for (std::size_t position = 0; position < sensors.size(); ++position) {
        const SensorRecord& sensor = sensors[position];
        if (std::find(occupiedSensorIds.begin(), occupiedSensorIds.end(), sensor.SensorId) ==
            occupiedSensorIds.end()) {
            continue;
        }
        for (const std::string& channel : sensor.ChannelNames) {
            if (!isImpedanceChannel(channel)) {
                channels.push_back({channel + " Sensor " + std::to_string(position), position});
            }
        }
    }
    return channels;
}

} // namespace QuillmarkPluginDevices
