// ProgramData, PROGRAMFILES or APPDATA naming a folder that does not exist: the same messages and empty
// results as for a missing file, and no folder made where the variable points.
#include "companion/CompanionController.h"
#include "companion/Paths.h"
#include "entry/PluginLifecycle.h"
#include "factory/FerroxEMGFactory.h"
#include "tests/support/Sandbox.h"

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

struct Sink : AnalogSystem::FactorySink {
    void AddFactory(std::unique_ptr<AnalogSystem::IDeviceFactory>) override { ++added; }
    int added = 0;
};

struct Unload : AnalogSystem::UnloadSink {
    void UnloadStarted() override {}
    void DevicesReleased() override {}
    void DeviceIdentifierReleased(const char* identifier) override {
        released = identifier ? identifier : "<null>";
    }
    std::string released = "<never>";
};

const auto notRunning = [](const std::string&) { return std::optional<unsigned long>(1); };

TEST(EnvironmentFault, AVariableNamingAMissingFolderActsLikeAMissingFile) {
    struct Case {
        const char* variable;
        const char* action;
        // Runs the action; checks its result and what it wrote to standard error.
        std::function<void(const std::string& err)> check;
        std::function<void()> act;
    };
    std::string err;
    int32_t result = -1;
    Sink sink;
    Unload unload;
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
             EXPECT_EQ(sink.added, 0);
             EXPECT_THAT(e, EndsWith("FerroxEMG: no device configuration report at " +
                                     *QuillmarkPluginDevices::configurationReportPath() +
                                     " within 0.2 s; no factories\n"));
         },
         [&] { result = QuillmarkPluginDevices::enumerateDeviceFactories(&sink, 200ms); }},
        {"ProgramData", "unload",
         [&](const std::string& e) {
             EXPECT_EQ(result, 0);
             EXPECT_EQ(unload.released, "");
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
        sandbox.companionDataDir();
        sandbox.stateFileDir();
        const std::string missing = sandbox.root() + "/missing";
        ferrox_test::ScopedEnv pointing(c.variable, missing);
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        c.act();
        err = ::testing::internal::GetCapturedStderr();
        ::testing::internal::GetCapturedStdout();
        c.check(err);
        EXPECT_FALSE(fs::exists(missing)) << "a folder was made where " << c.variable << " points";
        device.reset();
    }
}

} // namespace
