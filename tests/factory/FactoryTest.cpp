// What a factory makes of the state file and the report: descriptor names, skipped impedance
// channels, per-descriptor flags, identity and rate properties. Devices listen on a free port here.
#include "factory/FerroxEMGFactory.h"

#include "companion/Paths.h"
#include "device/FerroxEMG.h"
#include "tests/support/Descriptors.h"
#include "tests/support/Sandbox.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using AnalogSystem::cPluginDeviceBase;
using AnalogSystem::PropertyFlags;
using QuillmarkPluginDevices::FerroxEMG;
using QuillmarkPluginDevices::FerroxEMGFactory;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

class Factory : public ::testing::Test {
protected:
    void writeState(const std::string& json) {
        ferrox_test::writeFile(*QuillmarkPluginDevices::sensorStateFilePath(), json);
    }

    std::unique_ptr<FerroxEMG> create(const std::vector<int32_t>& occupied, const std::string& id = "4711",
                                      const std::string& hardware = "SB-2") {
        FerroxEMGFactory factory(id, hardware, occupied);
        std::unique_ptr<AnalogSystem::IDevice> device = factory.CreateDeviceOn(0);
        if (!dynamic_cast<FerroxEMG*>(device.get())) {
            return nullptr;
        }
        return std::unique_ptr<FerroxEMG>(static_cast<FerroxEMG*>(device.release()));
    }

    ferrox_test::Sandbox sandbox;
};

// Four records; positions count every record, occupied or not.
const char* const kFourSensors = R"({"Sensors": [
    {"SensorId": 3, "SensorName": "s3", "ChannelNames": ["EMG 1", "ACC X 1"]},
    {"SensorId": 8, "SensorName": "s8", "ChannelNames": ["EMG 1"]},
    {"SensorId": 5, "SensorName": "s5", "ChannelNames": ["A", "B"]},
    {"SensorId": 9, "SensorName": "s9", "ChannelNames": ["IMP 1", "IMP RMS 1", "IMP 10", "imp 1", "IMP RMS 10", "C"]}
]})";

TEST_F(Factory, DescriptorsNameChannelAndRecordPositionForOccupiedSensorsOnly) {
    writeState(kFourSensors);
    struct Case {
        std::vector<int32_t> occupied;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {{5}, {"A Sensor 2", "B Sensor 2"}},
        {{5, 3}, {"EMG 1 Sensor 0", "ACC X 1 Sensor 0", "A Sensor 2", "B Sensor 2"}},
        // Exactly "IMP 1" and "IMP RMS 1" carry no samples; look-alikes are real channels.
        {{9}, {"IMP 10 Sensor 3", "imp 1 Sensor 3", "IMP RMS 10 Sensor 3", "C Sensor 3"}},
        // A sensor listed twice in the report still gives its channels once.
        {{8, 8}, {"EMG 1 Sensor 1"}},
        {{42}, {}},
        {{}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.occupied));
        auto device = create(c.occupied);
        ASSERT_NE(device, nullptr);
        EXPECT_THAT(ferrox_test::descriptorNames(*device), ElementsAreArray(c.expected));
        // The host keeps the name pointers: each is a buffer of the device's store.
        ASSERT_EQ(device->channelNameStore().size(), c.expected.size());
        for (int i = 0; i < device->ChannelDescriptorCount(); ++i) {
            const auto* d =
                dynamic_cast<const AnalogSystem::AnalogChannelDescriptor*>(device->ChannelDescriptor(i));
            EXPECT_EQ(d->Name(), device->channelNameStore()[static_cast<std::size_t>(i)].data());
        }
    }
}

TEST_F(Factory, RecordsSharingAnIdBothTakePartAndAnEmptyStateFileGivesNoChannels) {
    writeState(
        R"({"Sensors": [{"SensorId": 4, "ChannelNames": ["X"]}, {"SensorId": 4, "ChannelNames": ["Y"]}]})");
    auto device = create({4});
    ASSERT_NE(device, nullptr);
    EXPECT_THAT(ferrox_test::descriptorNames(*device), ElementsAre("X Sensor 0", "Y Sensor 1"));

    writeState("");
    device = create({4});
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->ChannelDescriptorCount(), 0);
    EXPECT_THAT(device->sensors(), IsEmpty());
    double rate = 0.0;
    EXPECT_TRUE(device->GetProperty(cPluginDeviceBase::kRatePropName, rate));
    EXPECT_EQ(rate, 1000.0);
}

TEST_F(Factory, EveryDescriptorStartsDisabledWithTheFlagRowsAndItsSensorsTerminalName) {
    writeState(R"({"Sensors": [
        {"SensorId": 1, "SensorName": "Left", "ChannelNames": ["a", "b", "c"]},
        {"SensorId": 2, "SensorName": "Right", "ChannelNames": ["d", "e", "f"]}]})");
    auto device = create({1, 2});
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(device->ChannelDescriptorCount(), 6);

    struct Row {
        const char* property;
        PropertyFlags flags;
    };
    const Row rows[] = {
        {"AnalogChannel_Units", {true, true, false, true}},
        {"AnalogChannel_MinVoltage", {true, true, false, true}},
        {"AnalogChannel_MaxVoltage", {true, true, false, true}},
        {"AnalogChannel_TerminalName", {false, false, false, true}},
        {"Terminal Name", {true, false, false, true}},
        {"Enabled", {false, false, false, true}},
        {"AnalogChannel_Selected", {false, false, false, true}},
        {"AnalogChannel_TerminalType", {true, true, false, true}},
        {"AnalogChannel_OwnerSerial", {false, false, false, true}},
    };
    for (int i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        AnalogSystem::cPropertySet* d = device->ChannelDescriptor(i);
        bool enabled = true;
        bool selected = true;
        EXPECT_TRUE(d->GetProperty("AnalogChannel_Enabled", enabled));
        EXPECT_TRUE(d->GetProperty("AnalogChannel_Selected", selected));
        EXPECT_FALSE(enabled);
        EXPECT_FALSE(selected);
        for (const Row& row : rows) {
            PropertyFlags flags;
            ASSERT_TRUE(d->PropertyFlagsOf(row.property, flags)) << row.property;
            EXPECT_EQ(flags.visible, row.flags.visible) << row.property;
            EXPECT_EQ(flags.readOnly, row.flags.readOnly) << row.property;
            EXPECT_EQ(flags.advanced, row.flags.advanced) << row.property;
            EXPECT_EQ(flags.saved, row.flags.saved) << row.property;
        }
        const std::string sensor = i < 3 ? "Left" : "Right";
        EXPECT_EQ(d->PropertyText("AnalogChannel_TerminalName"), sensor);
        EXPECT_EQ(d->PropertyText("Terminal Name"), sensor);
    }
    EXPECT_EQ(device->ActiveChannelCount(), 0);
}

TEST_F(Factory, IdentityAndRatePropertiesFollowTheReport) {
    writeState("{}");
    const std::string longId(1000, '7');
    struct Case {
        std::string id;
        std::string hardware;
        std::string serial;
    };
    const Case cases[] = {
        {"4711", "SB-2 Base", "4711-serial"},
        {"", "", "-serial"},
        // Far beyond any fixed buffer: the serial is still the whole identifier.
        {longId, "H", longId + "-serial"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id.size());
        FerroxEMGFactory factory(c.id, c.hardware, {1});
        EXPECT_EQ(std::string(factory.DeviceName()), c.id);
        EXPECT_EQ(std::string(factory.DeviceIdentifier()), c.id);
        auto device = create({1}, c.id, c.hardware);
        ASSERT_NE(device, nullptr);
        EXPECT_EQ(device->PropertyText(cPluginDeviceBase::kNamePropName), "FerroxEMG");
        EXPECT_EQ(device->PropertyText(cPluginDeviceBase::kDisplayNamePropName), "FerroxEMG");
        EXPECT_EQ(device->PropertyText(cPluginDeviceBase::kModelPropName), c.hardware);
        EXPECT_EQ(device->PropertyText(cPluginDeviceBase::kSerialPropName), c.serial);
        int type = -1;
        int dataState = -1;
        int multiple = -1;
        double rate = 0.0;
        bool scan = true;
        EXPECT_TRUE(device->GetProperty(cPluginDeviceBase::kDeviceTypePropName, type));
        EXPECT_TRUE(device->GetProperty(cPluginDeviceBase::kDataStatePropName, dataState));
        EXPECT_TRUE(device->GetProperty(cPluginDeviceBase::kMocapRateMultiplePropName, multiple));
        EXPECT_TRUE(device->GetProperty(cPluginDeviceBase::kRatePropName, rate));
        EXPECT_TRUE(device->GetProperty("Scan_Sensor", scan));
        EXPECT_EQ(type, 0);
        EXPECT_EQ(dataState, 1);
        EXPECT_EQ(multiple, 5);
        EXPECT_EQ(rate, 1000.0);
        EXPECT_FALSE(scan);
    }
}

TEST_F(Factory, EachDeviceReadsTheStateFileAfreshAndLeavesTheFactoryAlone) {
    writeState(R"({"Sensors": [{"SensorId": 1, "ChannelNames": ["a"]}]})");
    FerroxEMGFactory factory("1", "H", {1, 2});
    auto first = factory.CreateDeviceOn(0);
    writeState(
        R"({"Sensors": [{"SensorId": 1, "ChannelNames": ["a"]}, {"SensorId": 2, "ChannelNames": ["b"]}]})");
    auto second = factory.CreateDeviceOn(0);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(first->ChannelDescriptorCount(), 1);
    EXPECT_EQ(second->ChannelDescriptorCount(), 2);
    EXPECT_THAT(factory.OccupiedSensorIds(), ElementsAre(1, 2));
}

} // namespace
