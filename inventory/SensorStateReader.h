#pragma once

#include "inventory/SensorRecord.h"

#include <string>
#include <vector>

namespace QuillmarkPluginDevices {

// The sensors of the vendor state file at `path`; silent on every failure (a shorter or empty list).
std::vector<SensorRecord> readSensorStateFile(const std::string& path);

} // namespace QuillmarkPluginDevices
