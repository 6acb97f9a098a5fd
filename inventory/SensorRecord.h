#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace QuillmarkPluginDevices {

// One paired sensor of the vendor state file; each field is named after its JSON key.
struct SensorRecord {
    int32_t Version = 0;
    int32_t SensorId = 0;
    std::string SensorName;
    std::vector<std::string> ChannelNames;
    int32_t StickerNumber = 0;
    int32_t SlotNumber = 0;
    int32_t ModeNumber = 0;
    bool IsDio0Enabled = false;
    bool IsDio1Enabled = false;
    bool IsDio6Enabled = false;
    bool IsQuarantined = false;
    int32_t SegmentNumber = 0;
    int32_t IndexNumber = 0;
};

} // namespace QuillmarkPluginDevices
