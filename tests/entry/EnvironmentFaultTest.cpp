// ProgramData, PROGRAMFILES or APPDATA naming a folder that does not exist: the same messages and empty
// results as for a missing file, and no folder made where the variable points.
#include "companion/CompanionController.h"
#include "companion/Paths.h"
#include "entry/PluginLifecycle.h"
#include "factory/FerroxEMGFactory.h"
#include "tests/support/Sandbox.h"
#include "tools/ferrox-host/PluginModule.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

namespace {

using namespace std::chrono_literals;
using QuillmarkPluginDevices::CompanionController;
using ::testing::EndsWith;
using ::testing::StartsWith;
namespace fs = std::filesystem;

const auto notRunning = [](const std::string&) { return std::optional<unsigned long>(1); };

TEST(EnvironmentFault, AVariableNamingAMissingFolderActsLikeAMissingFile) {
    struct Case {
        const char* variable;
        const char* action;
        // Runs the action; checks its result and what it wrote to standard error.
        std::function<void(const std::string& err)> check;
        std::function<void()> act;
    };
    int32_t result = -1;
    ferrox_host::FactoryCollector sink;
    ferrox_host::UnloadRecorder unload;
    std::unique_ptr<AnalogSystem::IDevice> device;
    std::vector<QuillmarkPluginDevices::SensorRecord> sensors;
    const Case cases[] = {
        {"ProgramData", "a command word",
         [&](const std::string& e) {
             EXPECT_EQ(e,
                       "Failed to write to pipe file: " + *QuillmarkPluginDevices::commandFilePath() + "\n");
         },
         [&] { CompanionController().sendCommand("Stop"); }},
        {"ProgramData", "enumeration",
         [&](const std::string& e) {
             EXPECT_EQ(result, 0);
             EXPECT_TRUE(sink.factories.empty());
             EXPECT_THAT(e, EndsWith("FerroxEMG: no device configuration report at " +
                                     *QuillmarkPluginDevices::configurationReportPath() +
                                     " within 0.2 s; no factories\n"));
         },
         [&] { result = QuillmarkPluginDevices::enumerateDeviceFactories(&sink, 200ms); }},
        {"ProgramData", "unload",
         [&](const std::string& e) {
             EXPECT_EQ(result, 0);
             EXPECT_EQ(unload.identifier, "");
             EXPECT_EQ(e, "");
         },
         [&] { result = QuillmarkPluginDevices::unloadPlugin(&unload, notRunning); }},
        {"PROGRAMFILES", "Connect",
         [&](const std::string& e) {
             EXPECT_THAT(e, StartsWith("Failed to launch SabletBase.exe: "));
             EXPECT_EQ(std::count(e.begin(), e.end(), '\n'), 1);
         },
         [&] {
             CompanionController controller;
             controller.sendCommand("Connect");
             EXPECT_FALSE(controller.launched());
         }},
        {"APPDATA", "state file and a new device",
         [&](const std::string& e) {
             EXPECT_TRUE(sensors.empty());
             ASSERT_NE(device, nullptr);
             EXPECT_EQ(device->ChannelDescriptorCount(), 0);
             EXPECT_EQ(e, "");
         },
         [&] {
             sensors = CompanionController().readSensorStates();
             device = QuillmarkPluginDevices::FerroxEMGFactory("1", "H", {1}).CreateDeviceOn(0);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.variable) + ": " + c.action);
        ferrox_test::Sandbox sandbox;
        const std::string missing = sandbox.root() + "/missing";
        ferrox_test::ScopedEnv pointing(c.variable, missing);
        c.check(ferrox_test::captureOutput(c.act).err);
        EXPECT_FALSE(fs::exists(missing)) << "a folder was made where " << c.variable << " points";
        device.reset();
    }
}

} // namespace
