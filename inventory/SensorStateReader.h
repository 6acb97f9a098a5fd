#pragma once

#include "inventory/SensorRecord.h"

#include <string>
#include <vector>

namespace QuillmarkPluginDevices {

// What one reading of the vendor state file found. The plug-in uses only the sensors (a fault costs the
// sensors from the fault onwards, silently); ferrox-host --check also says what stopped the reading.
struct SensorStateReading {
    std::vector<SensorRecord> sensors;
    bool opened = false;
    std::string fault; // empty when the whole file was read
};

SensorStateReading readSensorStateFile(const std::string& path);

} // namespace QuillmarkPluginDevices
