#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace QuillmarkPluginDevices {

// What the companion's device configuration report says.
struct ConfigurationReport {
    std::string hardwareName;
    std::string deviceId;
    int32_t stationCount = 0;
    std::vector<int32_t> occupiedSensorIds;
    bool reportOpened = false;
};

// Polls every 100 ms until the report exists and holds at least one byte, for at most `limit`.
// True when it became ready in time.
bool waitForConfigurationReport(const std::string& path, std::chrono::milliseconds limit);

// The full two-pass parse.
ConfigurationReport readConfigurationReport(const std::string& path);

// The first pass only: hardware name and identifier (both empty when the file does not open).
std::pair<std::string, std::string> readReportIdentity(const std::string& path);

// Truncates the report to zero bytes (creating it when its folder exists); silent.
void clearConfigurationReport(const std::string& path);

} // namespace QuillmarkPluginDevices
