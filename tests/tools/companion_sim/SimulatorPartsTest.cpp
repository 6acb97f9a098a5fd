#include "CommandFileTracker.h"
#include "Console.h"
#include "Settings.h"
#include "SystemFiles.h"

#include "companion/CompanionController.h"
#include "companion/Paths.h"
#include "inventory/ConfigurationReport.h"
#include "platform/Pipe.h"
#include "tests/support/Companion.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <map>
#include <thread>

namespace companion_sim {
namespace {

using Environment = std::map<std::string, std::string>;
using namespace std::string_literals;

Settings settingsFrom(const Environment& environment, std::vector<std::string>& warnings) {
    return settingsFromEnvironment(
        [&](const char* name) -> std::optional<std::string> {
            const auto it = environment.find(name);
            return it == environment.end() ? std::nullopt : std::optional<std::string>(it->second);
        },
        warnings);
}

TEST(SettingsFromEnvironment, ValidValuesAreTaken) {
    std::vector<std::string> warnings;
    const Settings s = settingsFrom({{"FERROX_SIM_SENSORS", "32"},
                                     {"FERROX_SIM_STATIONS", "9"},
                                     {"FERROX_SIM_PORT", "40123"},
                                     {"FERROX_SIM_MODE", "gyro"},
                                     {"FERROX_SIM_SIGNAL", "ramp"},
                                     {"FERROX_SIM_LATENCY_STAMP", "1"},
                                     {"FERROX_SIM_IGNORE_STDIN", "1"},
                                     {"FERROX_SIM_DEVICE_ID", "000123"},
                                     {"FERROX_SIM_FIRST_SENSOR_ID", "7"},
                                     {"FERROX_SIM_SEQUENCE", "1"},
                                     {"FERROX_SIM_NODELAY", "0"},
                                     {"FERROX_SIM_BURST", "1000"},
                                     {"FERROX_SIM_CLOCK_PPM", "-100000"},
                                     {"FERROX_SIM_JITTER_MS", "0"}},
                                    warnings);
    EXPECT_TRUE(warnings.empty()) << warnings.front();
    EXPECT_EQ(s.sensors, 32);
    EXPECT_EQ(s.stations, 9);
    EXPECT_EQ(s.port, 40123);
    EXPECT_EQ(s.initialMode, RunMode::EmgGyroscope);
    EXPECT_EQ(s.shape, SignalShape::Ramp);
    EXPECT_TRUE(s.latencyStamp);
    EXPECT_FALSE(s.watchStandardInput);
    EXPECT_EQ(s.deviceId, "000123");
    EXPECT_EQ(s.sensorIds().back(), 38);
    EXPECT_TRUE(s.sequence);
    EXPECT_FALSE(s.noDelay);
    EXPECT_EQ(s.burst, 1000);
    EXPECT_EQ(s.clockPpm, -100000);
    EXPECT_EQ(s.jitter.count(), 0);
    warnings.clear();
    EXPECT_EQ(settingsFrom({{"FERROX_SIM_CLOCK_PPM", "+500"}}, warnings).clockPpm, 500);
}

// Each bad value keeps the default and names its variable: the simulator runs on rather than
// writing a report the plug-in would misread.
TEST(SettingsFromEnvironment, BadValuesKeepTheDefaultAndWarn) {
    const std::pair<const char*, const char*> cases[] = {
        {"FERROX_SIM_SENSORS", "0"},
        {"FERROX_SIM_SENSORS", "33"},
        {"FERROX_SIM_SENSORS", "4x"},
        {"FERROX_SIM_SENSORS", "-1"},
        {"FERROX_SIM_STATIONS", "10"}, // the report's count reads only the digits 1 to 9
        {"FERROX_SIM_PORT", "65536"},
        {"FERROX_SIM_PORT", ""},
        {"FERROX_SIM_DEVICE_ID", "12a"},
        {"FERROX_SIM_HARDWARE_NAME", "Base ID: 9"},
        {"FERROX_SIM_HARDWARE_NAME", "two\nlines"},
        {"FERROX_SIM_MODE", "EMG plus Gyroscope"},
        {"FERROX_SIM_FIRST_SENSOR_ID", "2147483647"}, // the fourth sensor's id would not fit 32 bits
        {"FERROX_SIM_LATENCY_STAMP", "maybe"},
        {"FERROX_SIM_MAX_LAG_MS", "0"},
        {"FERROX_SIM_BURST", "0"},
        {"FERROX_SIM_BURST", "1001"},
        {"FERROX_SIM_CLOCK_PPM", "+100001"},
        {"FERROX_SIM_CLOCK_PPM", "+-5"},
        {"FERROX_SIM_CLOCK_PPM", "-"},
        {"FERROX_SIM_JITTER_MS", "1001"},
        {"FERROX_SIM_SEQUENCE", "2"},
    };
    const Settings defaults;
    for (const auto& [name, value] : cases) {
        std::vector<std::string> warnings;
        const Settings s = settingsFrom({{name, value}}, warnings);
        ASSERT_EQ(warnings.size(), 1u) << name << "=" << value;
        EXPECT_NE(warnings[0].find(name), std::string::npos);
        EXPECT_EQ(s.sensors, defaults.sensors);
        EXPECT_EQ(s.stations, defaults.stations);
        EXPECT_EQ(s.port, defaults.port);
        EXPECT_EQ(s.deviceId, defaults.deviceId);
        EXPECT_EQ(s.hardwareName, defaults.hardwareName);
        EXPECT_EQ(s.firstSensorId, defaults.firstSensorId);
        EXPECT_EQ(s.initialMode, defaults.initialMode);
        EXPECT_EQ(s.burst, defaults.burst);
        EXPECT_EQ(s.clockPpm, defaults.clockPpm);
    }
}

// Successive polls of the command file, and the commands each poll must yield.
struct Poll {
    std::optional<std::string> content;
    std::int64_t stamp;
    std::vector<std::string> expected;
};

struct TrackerCase {
    const char* name;
    std::vector<Poll> polls;
};

void PrintTo(const TrackerCase& c, std::ostream* os) {
    *os << c.name;
}

class CommandFileTracking : public ::testing::TestWithParam<TrackerCase> {};

TEST_P(CommandFileTracking, YieldsEachCommandOnce) {
    CommandFileTracker tracker;
    int n = 0;
    for (const auto& poll : GetParam().polls) {
        EXPECT_EQ(tracker.observe({poll.content, poll.stamp}), poll.expected) << "poll " << n;
        ++n;
    }
}

using S = std::vector<std::string>;
INSTANTIATE_TEST_SUITE_P(
    Sequences, CommandFileTracking,
    ::testing::Values(
        TrackerCase{"PresentAtStartWithCrLf",
                    {{"AppRunMode\r\n", 1, S{"AppRunMode"}}, {"AppRunMode\r\n", 1, S{}}}},
        TrackerCase{"EmptiedThenRewritten",
                    {{"EMG\r\n", 1, S{"EMG"}},
                     {"", 2, S{}},
                     {"Stop\r\n", 3, S{"Stop"}},
                     {std::nullopt, 0, S{}},
                     {"Stop\r\n", 4, S{"Stop"}}}},
        TrackerCase{"ReplacedBetweenPolls",
                    {{"Stop\n", 1, S{"Stop"}}, {"EMG plus Gyrscope\n", 2, S{"EMG plus Gyrscope"}}}},
        TrackerCase{"SameLineWrittenAgainBetweenPolls",
                    {{"Scan\r\n", 1, S{"Scan"}}, {"Scan\r\n", 2, S{"Scan"}}}},
        TrackerCase{"TwoWritersAppended",
                    {{"EMG\n", 1, S{"EMG"}},
                     {"EMG\nStop\n", 2, S{"Stop"}},
                     {"EMG\nStop\nScan\nEMG\n", 3, S{"Scan", "EMG"}}}},
        TrackerCase{"HalfWrittenLineWaitsForItsEnd",
                    {{"EMG plus", 1, S{}}, {"EMG plus Accelerometer\n", 2, S{"EMG plus Accelerometer"}}}},
        TrackerCase{"UnterminatedLineTakenOnceStable",
                    {{"Stop", 1, S{}}, {"Stop", 1, S{"Stop"}}, {"Stop", 1, S{}}, {"Stop\n", 2, S{}}}},
        TrackerCase{"BlankLinesAndSpacesIgnored", {{"\r\n  \r\n Scan \r\n", 1, S{"Scan"}}}}),
    [](const ::testing::TestParamInfo<TrackerCase>& param) { return std::string(param.param.name); });

// The report must survive the plug-in's own two-pass parse: the count before the line that completes
// name and identifier, every occupied slot after it.
TEST(ConfigurationReportFile, ThePlugInsParserReadsEveryFact) {
    ferrox_test::Sandbox sandbox;
    Settings settings;
    settings.sensors = 3;
    settings.stations = 2;
    settings.hardwareName = "Lab Base 2";
    settings.deviceId = "9876543210987";
    settings.firstSensorId = 2147483645; // the largest ids that still fit
    const std::string path = *QuillmarkPluginDevices::configurationReportPath();
    std::string error;
    ASSERT_TRUE(writeFileAtomically(path, composeReport(settings), error)) << error;

    const auto report = QuillmarkPluginDevices::readConfigurationReport(path);
    EXPECT_TRUE(report.reportOpened);
    EXPECT_EQ(report.stationCount, 2);
    EXPECT_EQ(report.hardwareName, "Lab Base 2");
    EXPECT_EQ(report.deviceId, "9876543210987");
    EXPECT_EQ(report.occupiedSensorIds, (std::vector<int32_t>{2147483645, 2147483646, 2147483647}));
    EXPECT_FALSE(fileExists(path + ".writing")) << "no temporary file is left behind";
}

TEST(ConfigurationReportFile, RewritingReplacesTheWholeContent) {
    ferrox_test::Sandbox sandbox;
    const std::string path = sandbox.programData() + "/new/folder/report.txt";
    std::string error;
    ASSERT_TRUE(writeFileAtomically(path, std::string(5000, 'x'), error)) << error;
    ASSERT_TRUE(writeFileAtomically(path, "short\n", error)) << error;
    auto content = readWholeFile(path);
    ASSERT_TRUE(content);
    EXPECT_EQ(content->substr(0, 5), "short");
    EXPECT_LT(content->size(), 10u);
}

TEST(SensorStateFile, ThePlugInsReaderFindsTheReportedSensorsWithFourChannels) {
    ferrox_test::Sandbox sandbox;
    Settings settings;
    settings.sensors = 5;
    const auto path = QuillmarkPluginDevices::sensorStateFilePath();
    ASSERT_TRUE(path);
    std::string error;
    ASSERT_TRUE(writeFileAtomically(*path, composeStateFile(settings), error)) << error;

    QuillmarkPluginDevices::CompanionController controller;
    const auto records = controller.readSensorStates();
    ASSERT_EQ(records.size(), 5u);
    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].SensorId, settings.sensorIds()[i]);
        EXPECT_EQ(records[i].ChannelNames, channelNamesFor(static_cast<int>(i) + 1));
        EXPECT_EQ(records[i].SlotNumber, static_cast<int>(i) + 1);
        EXPECT_FALSE(records[i].IsQuarantined);
    }
    // The plug-in skips channels named exactly "IMP 1" or "IMP RMS 1"; none of ours may be dropped.
    for (const auto& name : channelNamesFor(1)) {
        EXPECT_NE(name, "IMP 1");
        EXPECT_NE(name, "IMP RMS 1");
    }
}

TEST(ConsoleOutput, MessagesLeaveInOrderEachEndedByNul) {
    platform::NativeHandle readEnd = platform::kInvalidHandle, writeEnd = platform::kInvalidHandle;
    ASSERT_TRUE(platform::createPipe(readEnd, writeEnd));
    {
        Console console(writeEnd);
        ASSERT_TRUE(console.start());
        ferrox_test::ConsoleCapture capture(readEnd);
        console.post("first");
        console.post("second\twith a tab");
        EXPECT_TRUE(capture.waitFor("second?with a tab\n"s + '\0'));
        console.stop();
        EXPECT_EQ(capture.messages(), (std::vector<std::string>{"first\n", "second?with a tab\n"}));
        EXPECT_EQ(console.dropped(), 0u);
    }
    platform::closeHandle(readEnd);
    platform::closeHandle(writeEnd);
}

// Nobody reads the console (the plug-in reads it only while a device exists): posting never blocks,
// and stop() still ends the writer, which is blocked on the full pipe.
TEST(ConsoleOutput, AFullPipeNeverHoldsUpPostingOrStopping) {
    platform::NativeHandle readEnd = platform::kInvalidHandle, writeEnd = platform::kInvalidHandle;
    ASSERT_TRUE(platform::createPipe(readEnd, writeEnd));
    {
        Console console(writeEnd);
        ASSERT_TRUE(console.start());
        const std::string text(900, 'm');
        for (int i = 0; i < 2000; ++i) { // about 1.8 MB: far more than any pipe holds
            console.post(text);
        }
        const auto before = std::chrono::steady_clock::now();
        console.stop(std::chrono::milliseconds(100));
        EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(10));
        EXPECT_GT(console.dropped(), 0u);
    }
    platform::closeHandle(readEnd);
    platform::closeHandle(writeEnd);
}

} // namespace
} // namespace companion_sim
