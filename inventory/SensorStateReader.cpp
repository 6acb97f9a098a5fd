#include "inventory/SensorStateReader.h"

#include <nlohmann/json.hpp>

#include <exception>
#include <fstream>
#include <stdexcept>

namespace QuillmarkPluginDevices {

namespace {

using Json = nlohmann::json;

// An integer field of the state file. The JSON library's own conversion is kept (booleans give 1 and 0,
// wider integers keep their low 32 bits), except that a floating-point value outside the 32-bit range is
// refused like a value of the wrong type: truncating it would be undefined behaviour.
struct Int32Field {
    int32_t value = 0;
};

void from_json(const Json& json, Int32Field& field) {
    if (json.is_number_float()) {
        const double number = json.get<double>();
        // Written so that NaN fails too.
        if (!(number > -2147483649.0 && number < 2147483648.0)) {
            throw std::range_error("number does not fit a 32-bit integer field");
        }
        field.value = static_cast<int32_t>(number);
        return;
    }
    field.value = json.get<int32_t>();
}

int32_t integerField(const Json& sensor, const char* key) {
    return sensor.value(key, Int32Field{}).value;
}

// Every key is optional; a key present with a value of the wrong type throws, and so ends the reading.
SensorRecord recordFrom(const Json& sensor) {
    SensorRecord record;
    record.Version = integerField(sensor, "Version");
    record.SensorId = integerField(sensor, "SensorId");
    record.SensorName = sensor.value("SensorName", std::string());
    record.ChannelNames = sensor.value("ChannelNames", std::vector<std::string>());
    record.StickerNumber = integerField(sensor, "StickerNumber");
    record.SlotNumber = integerField(sensor, "SlotNumber");
    record.ModeNumber = integerField(sensor, "ModeNumber");
    record.IsDio0Enabled = sensor.value("IsDio0Enabled", false);
    record.IsDio1Enabled = sensor.value("IsDio1Enabled", false);
    record.IsDio6Enabled = sensor.value("IsDio6Enabled", false);
    record.IsQuarantined = sensor.value("IsQuarantined", false);
    record.SegmentNumber = integerField(sensor, "SegmentNumber");
    record.IndexNumber = integerField(sensor, "IndexNumber");
    return record;
}

} // namespace

SensorStateReading readSensorStateFile(const std::string& path) {
    SensorStateReading reading;
    std::ifstream in(path);
    if (!in.is_open()) {
        return reading;
    }
    reading.opened = true;
    // The file belongs to the vendor's software: whatever is wrong with it costs the sensors from the
    // fault onwards, never the device.
    try {
        Json document;
        in >> document;
        // The mutable lookup turns a null document into an object and an absent member into null, so
        // both give no sensors; any other document kind throws. A single value iterates as one element.
        for (const Json& sensor : document["Sensors"]) {
            reading.sensors.push_back(recordFrom(sensor));
        }
    } catch (const std::exception& error) {
        reading.fault = error.what();
    }
    return reading;
}

} // namespace QuillmarkPluginDevices
