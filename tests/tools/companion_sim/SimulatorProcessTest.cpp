#include "SimHarness.h"

#include "SystemFiles.h"

#include "companion/CompanionController.h"
#include "device/FerroxEMG.h"
#include "host/HostDeviceManager.h"
#include "companion/Paths.h"
#include "inventory/ConfigurationReport.h"

#include <gtest/gtest.h>

#include "platform/Sleep.h"

#include <cmath>

namespace ferrox_test {
namespace {

using companion_sim::Block;
using Variables = ScopedEnvs::Variables;

constexpr int kSensors = 2;

std::string reportPath() {
    return QuillmarkPluginDevices::configurationReportPath().value();
}

// Values past the sensors are 0 and value 127 is a whole millisecond stamp: a block read at a
// shifted offset would break both.
::testing::AssertionResult isAlignedStampedBlock(const Block& b) {
    for (std::size_t i = static_cast<std::size_t>(kSensors) * companion_sim::kValuesPerSensor;
         i < companion_sim::kLatencyStampIndex; ++i) {
        if (b[i] != 0.0) {
            return ::testing::AssertionFailure() << "value " << i << " is " << b[i];
        }
    }
    const double stamp = b[companion_sim::kLatencyStampIndex];
    if (!(stamp >= 0 && stamp <= 999 && stamp == std::floor(stamp))) {
        return ::testing::AssertionFailure() << "stamp " << stamp;
    }
    return ::testing::AssertionSuccess();
}

bool isAccelerometerLayout(const Block& b) {
    for (int u = 0; u < kSensors; ++u) {
        const double* v = &b[static_cast<std::size_t>(u) * 4];
        const double g = std::sqrt(v[1] * v[1] + v[2] * v[2] + v[3] * v[3]);
        if (std::abs(v[0]) > companion_sim::kEmgBoundMillivolts || std::abs(g - 1.0) > 0.05) {
            return false;
        }
    }
    return true;
}

bool isEmgOnlyLayout(const Block& b) {
    for (int i = 0; i < kSensors * 4; ++i) {
        if (std::abs(b[static_cast<std::size_t>(i)]) > companion_sim::kEmgBoundMillivolts) {
            return false;
        }
    }
    // Gravity's 1 g on some axis would show in the norm; three EMG channels stay well below it.
    return std::sqrt(b[1] * b[1] + b[2] * b[2] + b[3] * b[3]) < 0.9 || std::abs(b[3]) < 0.7;
}

class SimulatorProcess : public ::testing::Test {
protected:
    Sandbox sandbox;
    StreamListener listener;

    Variables streamVariables(const char* shape = "physiological") {
        return {{"FERROX_SIM_PORT", std::to_string(listener.port())},
                {"FERROX_SIM_SENSORS", std::to_string(kSensors)},
                {"FERROX_SIM_SIGNAL", shape},
                {"FERROX_SIM_LATENCY_STAMP", "1"}};
    }
};

TEST_F(SimulatorProcess, LaunchedByThePlugInItReportsWhatThePlugInReads) {
    LaunchedSimulator sim({{"FERROX_SIM_PORT", std::to_string(listener.port())},
                           {"FERROX_SIM_SENSORS", "3"},
                           {"FERROX_SIM_STATIONS", "2"},
                           {"FERROX_SIM_FIRST_SENSOR_ID", "201"},
                           {"FERROX_SIM_DEVICE_ID", "777"},
                           {"FERROX_SIM_HARDWARE_NAME", "Lab Base"}});
    ASSERT_TRUE(sim.launched());
    ASSERT_TRUE(sim.waitForMessage("Configuration report written"));
    EXPECT_GE(sim.indexOf("\\\\.\\pipe\\test_pipe"), 0) << "started with the pipe name as its argument";

    ASSERT_TRUE(QuillmarkPluginDevices::waitForConfigurationReport(reportPath(), 5s));
    const auto report = QuillmarkPluginDevices::readConfigurationReport(reportPath());
    EXPECT_TRUE(report.reportOpened);
    EXPECT_EQ(report.stationCount, 2);
    EXPECT_EQ(report.hardwareName, "Lab Base");
    EXPECT_EQ(report.deviceId, "777");
    EXPECT_EQ(report.occupiedSensorIds, (std::vector<int32_t>{201, 202, 203}));

    const auto sensors = sim.controller().readSensorStates();
    ASSERT_EQ(sensors.size(), 3u);
    for (std::size_t i = 0; i < sensors.size(); ++i) {
        EXPECT_EQ(sensors[i].SensorId, report.occupiedSensorIds[i]);
        EXPECT_EQ(sensors[i].ChannelNames.size(), 4u);
    }
}

TEST_F(SimulatorProcess, AnExistingStateFileIsLeftAlone) {
    const std::string stateFile = QuillmarkPluginDevices::sensorStateFilePath().value();
    writeFile(stateFile, "{\"Sensors\": []}");
    LaunchedSimulator sim({{"FERROX_SIM_PORT", std::to_string(listener.port())}});
    ASSERT_TRUE(sim.waitForMessage("Configuration report written"));
    EXPECT_EQ(readFile(stateFile), "{\"Sensors\": []}");
    EXPECT_LT(sim.indexOf("Sensor state file written"), 0);
}

// The stream in the commanded layouts: whole blocks from the first byte, "Stop" pauses without
// dropping the connection or cutting a block, and "EMG" resumes in the EMG-only layout.
TEST_F(SimulatorProcess, StreamsWholeBlocksPausesOnStopAndSwitchesLayout) {
    LaunchedSimulator sim(streamVariables());
    ASSERT_TRUE(listener.accept(10s));
    for (int i = 0; i < 200; ++i) {
        const auto block = listener.readBlock();
        ASSERT_TRUE(block) << "block " << i;
        ASSERT_TRUE(isAlignedStampedBlock(*block)) << "block " << i;
        ASSERT_TRUE(isAccelerometerLayout(*block)) << "block " << i;
    }

    sim.send("Stop");
    ASSERT_TRUE(sim.waitForMessage("Stop: stream paused"));
    listener.drainUntilQuiet(300ms, 10s);
    EXPECT_EQ(listener.received() % companion_sim::kBlockBytes, 0u) << "a pause never cuts a block";
    EXPECT_EQ(listener.drainUntilQuiet(500ms, 2s), 0u) << "nothing is sent while paused";

    sim.send("EMG");
    ASSERT_TRUE(sim.waitForMessage("EMG: streaming"));
    for (int i = 0; i < 200; ++i) {
        const auto block = listener.readBlock();
        ASSERT_TRUE(block) << "block " << i;
        ASSERT_TRUE(isAlignedStampedBlock(*block)) << "block " << i;
        ASSERT_TRUE(isEmgOnlyLayout(*block)) << "block " << i;
    }
    EXPECT_LT(sim.indexOf("connection lost"), 0) << "the pause kept the connection";
}

TEST_F(SimulatorProcess, ReconnectsWhenTheDeviceDropsTheConnection) {
    LaunchedSimulator sim(streamVariables("ramp"));
    for (int connection = 0; connection < 3; ++connection) {
        ASSERT_TRUE(listener.accept(10s)) << "connection " << connection;
        for (int i = 0; i < 50; ++i) {
            const auto block = listener.readBlock();
            ASSERT_TRUE(block) << "connection " << connection << ", block " << i;
            // Ramp: value v carries v in its whole part on every connection, so each starts aligned.
            ASSERT_EQ(std::floor((*block)[5]), 5.0);
        }
        listener.closeConnection();
        ASSERT_TRUE(sim.waitForMessage("Stream connection lost")) << "connection " << connection;
    }
}

TEST_F(SimulatorProcess, ScansAndEndsInOrderAtEndOfStandardInput) {
    LaunchedSimulator sim(streamVariables());
    ASSERT_TRUE(listener.accept(10s));
    sim.send("Scan_Sensor");
    ASSERT_TRUE(sim.waitForMessage("Scan: found 2 sensors: slot 1 sensor 101, slot 2 sensor 102"));
    sim.send("Bogus"); // the plug-in only empties the file for a word it does not know
    QuillmarkPluginDevices::writeCommandFile("Bogus");
    ASSERT_TRUE(sim.waitForMessage("Ignoring unknown command \"Bogus\""));
    sim.send("EMG");

    ASSERT_TRUE(sim.waitForMessage("EMG: streaming"));
    sim.closeInput();
    const auto code = sim.waitForExit(10s);
    ASSERT_TRUE(code) << "the simulator must end when its standard input closes";
    EXPECT_EQ(*code, 0);
    ASSERT_TRUE(sim.waitForMessage("simulator stopped", 2s));
    EXPECT_LT(sim.indexOf("Scan: found"), sim.indexOf("Standard input closed"));
    EXPECT_LT(sim.indexOf("Standard input closed"), sim.indexOf("simulator stopped"));
    listener.drainUntilQuiet(200ms, 5s);
    EXPECT_EQ(listener.received() % companion_sim::kBlockBytes, 0u) << "the stream ends on a block boundary";
}

// The plug-in's own device on the receiving end: it accepts the simulator's connection on "AppRunMode"
// and, while capturing, queues blocks whose value k is channel k's.
TEST_F(SimulatorProcess, ThePlugInsDeviceTakesTheStream) {
    AnalogSystem::HostDeviceManager manager;
    manager.SetEcho(false);
    QuillmarkPluginDevices::FerroxEMG device({}, 0);
    device.SetDeviceManager(&manager);
    device.SetProperty(AnalogSystem::cPluginDeviceBase::kRatePropName, 1000.0);

    LaunchedSimulator sim({{"FERROX_SIM_PORT", std::to_string(device.listeningPort())},
                           {"FERROX_SIM_SENSORS", std::to_string(kSensors)},
                           {"FERROX_SIM_SIGNAL", "ramp"}});
    ASSERT_TRUE(sim.waitForMessage("Stream connected"));
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!device.connected() && std::chrono::steady_clock::now() < deadline) {
        device.PropertyChanged("AppRunMode");
        platform::sleepFor(10ms);
    }
    ASSERT_TRUE(device.connected());
    ASSERT_TRUE(device.StartCapture());
    bool checked = false;
    for (int attempt = 0; attempt < 500 && !checked; ++attempt) {
        platform::sleepFor(10ms);
        device.blockQueue().withSecondNewest([&](const QuillmarkPluginDevices::SampleBlock* block, auto) {
            if (!block) {
                return;
            }
            checked = true;
            for (int i = 0; i < kSensors * 4; ++i) {
                EXPECT_EQ(std::floor(block->values[static_cast<std::size_t>(i)]), i);
            }
            EXPECT_EQ(block->values[static_cast<std::size_t>(kSensors) * 4], 0.0);
        });
    }
    EXPECT_TRUE(checked) << "two blocks must have been queued";
    EXPECT_TRUE(device.StopCapture());
}

} // namespace
} // namespace ferrox_test
