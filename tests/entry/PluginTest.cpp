// The built plug-in, loaded as the host loads it, with the companion simulator as the companion the
// plug-in starts itself. Only a plug-in loaded by the test process itself can start it under Wine: there
// every new process takes ProgramFiles from the registry instead of its parent. One test holds the whole
// sequence, because the companion controller lives as long as the library.
#include "companion/Paths.h"
#include "host/Device.h"
#include "platform/Os.h"
#include "platform/Process.h"
#include "platform/ResourceUsage.h"
#include "tests/support/Companion.h"
#include "tests/support/Descriptors.h"
#include "tests/support/Sandbox.h"
#include "tools/ferrox-host/PluginModule.h"

#include "FerroxVersion.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;
using AnalogSystem::cPluginDeviceBase;
using ferrox_host::FactoryCollector;
using ferrox_host::PluginModule;
using ferrox_host::UnloadRecorder;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// The simulator reports two stations with sensors 11 and 12; the state file, which it leaves alone,
// lists a spare between them.
const ferrox_test::ScopedEnvs::Variables kSimulator = {{"FERROX_SIM_STATIONS", "2"},
                                                       {"FERROX_SIM_SENSORS", "2"},
                                                       {"FERROX_SIM_FIRST_SENSOR_ID", "11"},
                                                       {"FERROX_SIM_DEVICE_ID", "90210"},
                                                       {"FERROX_SIM_HARDWARE_NAME", "SB Test Station"}};
const char* const kState = R"({"Sensors": [
    {"SensorId": 11, "SensorName": "Left biceps", "ChannelNames": ["EMG 1", "ACC X 1", "IMP 1"]},
    {"SensorId": 13, "SensorName": "Spare", "ChannelNames": ["EMG 1"]},
    {"SensorId": 12, "SensorName": "Right biceps", "ChannelNames": ["EMG 1", "IMP RMS 1", "GYR Z 1"]}]})";

TEST(Plugin, EnumerateCreateUnloadAndEnumerateAgain) {
    ferrox_test::Sandbox sandbox;
    const ferrox_test::ScopedEnvs simulator(kSimulator);
    ferrox_test::installAsCompanion(ferrox_test::besideExecutable(FERROX_SIMULATOR_FILE));
    ferrox_test::writeFile(*QuillmarkPluginDevices::sensorStateFilePath(), kState);
    const std::string commandFile = *QuillmarkPluginDevices::commandFilePath();
    const std::string report = *QuillmarkPluginDevices::configurationReportPath();

    const int64_t handlesBefore = platform::currentResourceUsage().openHandles;
    PluginModule plugin;
    std::string error;
    ASSERT_TRUE(plugin.load(ferrox_test::besideExecutable(FERROX_PLUGIN_FILE), error)) << error;
    int32_t version[3] = {-1, -1, -1};
    plugin.version(version[0], version[1], version[2]);
    EXPECT_THAT(version, ElementsAre(FERROX_VERSION_MAJOR, FERROX_VERSION_MINOR, FERROX_VERSION_PATCH));

    FactoryCollector sink;
    EXPECT_EQ(plugin.enumerate(sink), 2);
    ASSERT_EQ(sink.factories.size(), 2u);
    for (const auto& factory : sink.factories) {
        EXPECT_STREQ(factory->DeviceName(), "90210");
        EXPECT_STREQ(factory->DeviceIdentifier(), "90210");
    }
    EXPECT_THAT(ferrox_test::readFile(commandFile), HasSubstr("AppRunMode"));

    {
        // The device relays the companion's console from its start, and the first line names the pipe
        // the companion was started with.
        std::unique_ptr<AnalogSystem::IDevice> device;
        std::string console = ferrox_test::captureOutput([&] {
                                  device = sink.factories[0]->CreateDevice();
                                  std::this_thread::sleep_for(200ms);
                              }).out;
        EXPECT_TRUE(ferrox_test::eventually(
            [&] {
                console += ferrox_test::captureOutput([] { std::this_thread::sleep_for(100ms); }).out;
                return console.find("[Quillmark Ferrox Plugin]: SabletBase simulator started for "
                                    "\\\\.\\pipe\\test_pipe") != std::string::npos;
            },
            10s))
            << console;
        ASSERT_NE(device, nullptr);
        auto* base = dynamic_cast<cPluginDeviceBase*>(device.get());
        ASSERT_NE(base, nullptr);
        EXPECT_EQ(base->PropertyText(cPluginDeviceBase::kNamePropName), "FerroxEMG");
        EXPECT_EQ(base->PropertyText(cPluginDeviceBase::kModelPropName), "SB Test Station");
        EXPECT_EQ(base->PropertyText(cPluginDeviceBase::kSerialPropName), "90210-serial");
        double rate = 0.0;
        EXPECT_TRUE(base->GetProperty(cPluginDeviceBase::kRatePropName, rate));
        EXPECT_EQ(rate, 1000.0);
        EXPECT_THAT(ferrox_test::descriptorNames(*device),
                    ElementsAre("EMG 1 Sensor 0", "ACC X 1 Sensor 0", "EMG 1 Sensor 2", "GYR Z 1 Sensor 2"));
        EXPECT_EQ(device->ChannelDescriptor(3)->PropertyText("AnalogChannel_TerminalName"), "Right biceps");

        // The second station's device cannot have the stream port while the first holds it: a device all
        // the same, which says so once and waits for the port.
        std::unique_ptr<AnalogSystem::IDevice> second = sink.factories[1]->CreateDevice();
        ASSERT_NE(second, nullptr);
        const auto log = dynamic_cast<cPluginDeviceBase&>(*second).LoggedMessages();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_THAT(log[0].text, HasSubstr("Sample port 35692 unavailable"));
    }
    sink.factories.clear();

    UnloadRecorder unload;
    int32_t unloaded = -1;
    const std::string said = ferrox_test::captureOutput([&] { unloaded = plugin.unload(unload); }).out;
    EXPECT_EQ(unloaded, 0);
    EXPECT_EQ(unload.identifierCalls, 1);
    EXPECT_EQ(unload.identifier, "90210");
    EXPECT_THAT(said, HasSubstr("Existing pipe file deleted.\n"));
    EXPECT_FALSE(ferrox_test::fileExists(commandFile));
    EXPECT_TRUE(ferrox_test::fileExists(report));
    EXPECT_EQ(ferrox_test::readFile(report), "");
    if (!platform::kIsWindows) {
        // Wine's tasklist finds nothing, so there the companion outlives unload and ends with this
        // process, when its standard input closes.
        EXPECT_THAT(said, HasSubstr("SabletBase.exe terminated successfully.\n"));
    }

    // The emptied report is not ready: a second enumeration waits for the fresh one.
    FactoryCollector again;
    std::atomic<int32_t> result{-1};
    std::thread enumeration([&] { result = plugin.enumerate(again); });
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(result.load(), -1) << "enumeration did not wait for a fresh report";
    ferrox_test::writeFile(report, "Pellions detected: 1\nHardware Name: Other\nID: 777\n");
    enumeration.join();
    EXPECT_EQ(result.load(), 1);
    ASSERT_EQ(again.factories.size(), 1u);
    EXPECT_STREQ(again.factories[0]->DeviceName(), "777");
    again.factories.clear();

    UnloadRecorder second;
    EXPECT_EQ(plugin.unload(second), 0);
    EXPECT_EQ(second.identifier, "777");
    EXPECT_TRUE(plugin.unloadLibrary());
    if (!platform::kIsWindows) {
        // The companion's pipe ends and the device's named pipe are released by then, so a host that
        // reloads the plug-in gains no descriptors on each cycle.
        EXPECT_EQ(platform::currentResourceUsage().openHandles, handlesBefore);
    }
}

} // namespace
