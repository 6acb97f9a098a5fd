#pragma once

#include "inventory/ConfigurationReport.h"
#include "inventory/SensorRecord.h"

#include <sstream>
#include <string>
#include <vector>

namespace ferrox_test {

// A report as one comparable text: "opened|hardware name|identifier|station count|id,id,".
inline std::string describe(const QuillmarkPluginDevices::ConfigurationReport& report) {
    std::ostringstream text;
    text << report.reportOpened << "|" << report.hardwareName << "|" << report.deviceId << "|"
         << report.stationCount << "|";
    for (int32_t id : report.occupiedSensorIds) {
        text << id << ",";
    }
    return text.str();
}

// A sensor list as one comparable text: "id:name[channel;channel;]" per sensor.
inline std::string describe(const std::vector<QuillmarkPluginDevices::SensorRecord>& sensors) {
    std::ostringstream text;
    for (const auto& s : sensors) {
        text << s.SensorId << ":" << s.SensorName << "[";
        for (const std::string& channel : s.ChannelNames) {
            text << channel << ";";
        }
        text << "]";
    }
    return text.str();
}

} // namespace ferrox_test
