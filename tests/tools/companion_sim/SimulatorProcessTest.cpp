// The simulator process as the plug-in starts it: its stream, its commands and its end. What it reports
// and the state file it writes or leaves alone are checked through the plug-in itself, in
// tests/entry/PluginTest.cpp and tests/e2e/SessionTest.cpp.
#include "SimHarness.h"

#include "Console.h"
#include "StreamSender.h"

#include "companion/CompanionController.h"

#include <gtest/gtest.h>

#include "platform/Pipe.h"

#include <cmath>

namespace ferrox_test {
namespace {

using companion_sim::Block;
using Variables = ScopedEnvs::Variables;

constexpr int kSensors = 2;

// Values past the sensors are 0 (up to the block number in value 126) and value 127 is a stamp of
// milliseconds to the microsecond: a block read at a shifted offset would break both.
::testing::AssertionResult isAlignedStampedBlock(const Block& b) {
    for (std::size_t i = static_cast<std::size_t>(kSensors) * companion_sim::kValuesPerSensor;
         i < companion_sim::kPreviousReturnIndex; ++i) {
        if (b[i] != 0.0) {
            return ::testing::AssertionFailure() << "value " << i << " is " << b[i];
        }
    }
    const double stamp = b[companion_sim::kLatencyStampIndex];
    const double us = stamp * 1000.0;
    if (!(stamp >= 0 && stamp < 1000 && std::abs(us - std::round(us)) < 1e-6)) {
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

// The sender in this process, so that its own counts can be read: each write carries `burst` blocks,
// the block numbers in value 126 run on from 0 without a gap across the writes, and every write but
// the first says in value 125 when the one before it returned: after that one's stamp, by the time its
// own was taken.
TEST(StreamSenderSettings, WritesCarryTheBurstAndNumberEveryBlock) {
    for (const int burst : {1, 10}) {
        SCOPED_TRACE(burst);
        StreamListener listener;
        companion_sim::Settings settings;
        settings.port = listener.port();
        settings.sensors = kSensors;
        settings.latencyStamp = true;
        settings.sequence = true;
        settings.burst = burst;
        platform::NativeHandle readEnd = platform::kInvalidHandle, writeEnd = platform::kInvalidHandle;
        ASSERT_TRUE(platform::createPipe(readEnd, writeEnd));
        {
            companion_sim::Console console(
                writeEnd); // nobody reads it: messages are dropped, never waited on
            ASSERT_TRUE(console.start());
            companion_sim::StreamSender sender(settings, console, std::chrono::steady_clock::now());
            ASSERT_TRUE(sender.start());
            sender.collect();
            ASSERT_TRUE(listener.accept(10s));
            double previousStamp = 0.0;
            for (int i = 0; i < 200; ++i) {
                const auto block = listener.readBlock();
                ASSERT_TRUE(block) << "block " << i;
                ASSERT_TRUE(isAlignedStampedBlock(*block)) << "block " << i;
                ASSERT_EQ((*block)[companion_sim::kSequenceIndex], i);
                const double returned = (*block)[companion_sim::kPreviousReturnIndex];
                const double stamp = (*block)[companion_sim::kLatencyStampIndex];
                if (i < burst) {
                    ASSERT_EQ(returned, 0.0) << "block " << i;
                } else if (i % burst == 0) {
                    // Both modulo 1000 ms, and far less than half of that apart.
                    ASSERT_GE(std::remainder(returned - previousStamp, 1000.0), 0.0) << "block " << i;
                    ASSERT_LE(std::remainder(returned - stamp, 1000.0), 0.0) << "block " << i;
                }
                previousStamp = i % burst == 0 ? stamp : previousStamp;
            }
            sender.stop();
            EXPECT_GE(sender.writes(), 200u / static_cast<unsigned>(burst));
            EXPECT_EQ(sender.blocksSent(), sender.writes() * static_cast<unsigned>(burst));
            console.stop();
        }
        platform::closeHandle(readEnd);
        platform::closeHandle(writeEnd);
    }
}

} // namespace
} // namespace ferrox_test
