#pragma once

#include <chrono>
#include <cstddef>
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

// Longer lines are not searched (one line on standard error says so): the regular-expression engine
// recurses once per character it matches, and a few thousand characters overflow a 1 MB thread stack.
// Real report lines are well under 100 bytes.
constexpr std::size_t kLongestReportLine = 1024;

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
