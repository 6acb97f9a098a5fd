// Names from the state file and the report that look like format directives or shell commands: they
// reach descriptors, properties and every logged or posted text literally, and nothing runs.
#include "companion/Paths.h"
#include "device/FerroxEMG.h"
#include "factory/FerroxEMGFactory.h"
#include "host/HostDeviceManager.h"
#include "inventory/ConfigurationReport.h"
#include "tests/support/Sandbox.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

namespace {

using AnalogSystem::cPluginDeviceBase;
using QuillmarkPluginDevices::FerroxEMG;
using QuillmarkPluginDevices::FerroxEMGFactory;
using ::testing::Contains;
namespace fs = std::filesystem;

// JSON-escaped where needed; each is also what the reader must hand back.
struct Hostile {
    const char* text;
    const char* json;
};
const Hostile kHostile[] = {
    {"%s%n%x%%", "%s%n%x%%"},
    {"; touch X", "; touch X"},
    {"$(touch Y)", "$(touch Y)"},
    {"`touch Z`", "`touch Z`"},
    {"\"q\" 'q' | touch W &", "\\\"q\\\" 'q' | touch W &"},
    {"%1$s %999999999d %.99999f %*d", "%1$s %999999999d %.99999f %*d"},
};

TEST(HostileText, NamesFromTheFilesStayLiteralEverywhere) {
    ferrox_test::Sandbox sandbox;
    const ferrox_test::ScopedWorkingDirectory inSandbox(sandbox.root());

    std::string state = R"({"Sensors": [)";
    for (std::size_t i = 0; i < std::size(kHostile); ++i) {
        state += std::string(i ? "," : "") + R"({"SensorId": 1, "SensorName": ")" + kHostile[i].json +
                 R"(", "ChannelNames": [")" + kHostile[i].json + R"("]})";
    }
    state += "]}";
    ferrox_test::writeFile(*QuillmarkPluginDevices::sensorStateFilePath(), state);
    const std::string report = *QuillmarkPluginDevices::configurationReportPath();
    const std::string hardware =
        std::string(kHostile[0].text) + " " + kHostile[1].text + " " + kHostile[4].text;
    ferrox_test::writeFile(report, "Pellions detected: 1\nHardware Name: " + hardware + "\nBase ID: 12 " +
                                       kHostile[2].text + "\nSlot 1 occupied by sensor 1 " +
                                       kHostile[3].text + "\n");

    const auto parsed = QuillmarkPluginDevices::readConfigurationReport(report);
    EXPECT_EQ(parsed.hardwareName, hardware);
    EXPECT_EQ(parsed.deviceId, "12");
    FerroxEMGFactory factory(parsed.deviceId, parsed.hardwareName, parsed.occupiedSensorIds);
    std::unique_ptr<AnalogSystem::IDevice> made = factory.CreateDeviceOn(0);
    auto* device = dynamic_cast<FerroxEMG*>(made.get());
    ASSERT_NE(device, nullptr);
    AnalogSystem::HostDeviceManager manager;
    manager.SetEcho(false);
    device->SetDeviceManager(&manager);

    EXPECT_EQ(device->PropertyText(cPluginDeviceBase::kModelPropName), hardware);
    ASSERT_EQ(device->ChannelDescriptorCount(), static_cast<int>(std::size(kHostile)));
    for (std::size_t i = 0; i < std::size(kHostile); ++i) {
        SCOPED_TRACE(kHostile[i].text);
        const std::string name = std::string(kHostile[i].text) + " Sensor " + std::to_string(i);
        AnalogSystem::cPropertySet* descriptor = device->ChannelDescriptor(static_cast<int>(i));
        ASSERT_NE(descriptor, nullptr);
        EXPECT_EQ(descriptor->PropertyText("AnalogChannel_TerminalName"), kHostile[i].text);
        EXPECT_EQ(descriptor->PropertyText("Terminal Name"), kHostile[i].text);
        EXPECT_EQ(device->ChannelDescriptor(name.c_str()), descriptor);

        // The host reports a channel's change by its name, and a property change by the property's.
        device->ChannelPropertyChanged(name.c_str(), "AnalogChannel_Enabled");
        device->PropertyChanged(kHostile[i].text);
        std::vector<std::string> logged;
        for (const auto& entry : device->LoggedMessages()) {
            logged.push_back(entry.text);
        }
        EXPECT_THAT(logged, Contains("[Corvale Sensor ] Channel Enabled State Changed (Channel:" + name +
                                     "  Enabled:0)"));
        EXPECT_THAT(logged,
                    Contains("[ FerroxEMG] Property changed (" + std::string(kHostile[i].text) + ")"));
    }
    device->PropertyChanged("Scan_Sensor");
    for (const std::string& posted : manager.Messages()) {
        EXPECT_EQ(posted.find('%'), std::string::npos) << posted;
    }
    device->SetDeviceManager(nullptr);
    for (const char* made_ : {"X", "Y", "Z", "W"}) {
        EXPECT_FALSE(ferrox_test::fileExists(sandbox.root() + "/" + made_)) << made_;
    }
}

} // namespace
