// ferrox-host end to end: the built host simulator loads the built plug-in and captures what this test
// streams to the device's port, blocks whose values name their channel (value i of a block is
// 1000 * i + a counter below 1000). The test plays the companion itself (the report is written
// beforehand): under Wine a new process takes ProgramFiles from the registry, so a companion in the
// sandbox could not be found by the plug-in inside ferrox-host.
#include "tests/entry/PluginTestSupport.h"

#include "platform/ChildProcess.h"
#include "platform/Sleep.h"

#include "platform/Os.h"

#include "FerroxVersion.h"

#include <nlohmann/json.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using ferrox_test::readCsv;
using nlohmann::json;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

const char* const kState = R"({"Sensors": [
    {"SensorId": 21, "SensorName": "Left", "ChannelNames": ["EMG 1", "ACC X 1", "ACC Y 1", "ACC Z 1", "IMP 1"]},
    {"SensorId": 22, "SensorName": "Right", "ChannelNames": ["EMG 1", "ACC X 1", "ACC Y 1", "ACC Z 1"]}]})";

std::optional<int> runHost(const std::vector<std::string>& arguments) {
    platform::ChildProcess host;
    if (!host.start(ferrox_test::besideExecutable(FERROX_HOST_FILE), arguments)) {
        ADD_FAILURE() << "ferrox-host did not start";
        return std::nullopt;
    }
    auto code = host.waitFor(180s);
    if (!code) {
        ADD_FAILURE() << "ferrox-host still runs after 180 s";
    }
    return code;
}

json readJson(const std::string& path) {
    const std::string text = ferrox_test::readFile(path);
    return json::parse(text, nullptr, false);
}

class HostRun : public ::testing::Test {
protected:
    std::string pluginPath() const { return ferrox_test::besideExecutable(FERROX_PLUGIN_FILE); }
    std::string summaryPath() const { return sandbox.root() + "/summary.json"; }
    std::string csvPath() const { return sandbox.root() + "/frames.csv"; }

    ferrox_test::Sandbox sandbox;
};

TEST_F(HostRun, CapturesTheCompanionsStreamAndReportsTheSession) {
    sandbox.companionDataDir();
    ferrox_test::writeFile(ferrox_test::reportPathOf(sandbox),
                           "Pellions detected: 1\nHardware Name: SB Host Test\nBase ID: 777\n"
                           "Slot 1 occupied by sensor 21\nSlot 2 occupied by sensor 22\n");
    ferrox_test::writeStateFile(sandbox, kState);
    ferrox_test::BlockStreamer companion(35692);

    const auto code = runHost({"--plugin", pluginPath(), "--seconds", "1", "--configuration", "1", "--enable",
                               "0,2,5", "--change", "Scan_Sensor", "--connect-timeout", "30", "--csv",
                               csvPath(), "--summary", summaryPath()});
    ASSERT_EQ(code, 0);

    const json summary = readJson(summaryPath());
    ASSERT_FALSE(summary.is_discarded()) << ferrox_test::readFile(summaryPath());
    EXPECT_EQ(summary["version"], json({FERROX_VERSION_MAJOR, FERROX_VERSION_MINOR, FERROX_VERSION_PATCH}));
    EXPECT_EQ(summary["enumerate_result"], 1);
    EXPECT_EQ(summary["factories"], 1);
    const json& device = summary["device"];
    EXPECT_EQ(device["name"], "FerroxEMG");
    EXPECT_EQ(device["display_name"], "FerroxEMG");
    EXPECT_EQ(device["model"], "SB Host Test");
    EXPECT_EQ(device["serial"], "777-serial");
    EXPECT_EQ(device["rate"], 1000.0);
    EXPECT_EQ(device["mocap_rate_multiple"], 5);
    ASSERT_EQ(device["channels"].size(), 8u);
    EXPECT_EQ(device["channels"][0]["name"], "EMG 1 Sensor 0");
    EXPECT_EQ(device["channels"][0]["analog_name"], "Sensor 1 EMG");
    EXPECT_EQ(device["channels"][5]["name"], "ACC X 1 Sensor 1");
    EXPECT_EQ(device["channels"][5]["analog_name"], "Sensor 2 ACCX");
    std::vector<bool> enabled;
    for (const json& channel : device["channels"]) {
        enabled.push_back(channel["enabled"].get<bool>());
    }
    EXPECT_THAT(enabled, ElementsAre(true, false, true, false, false, true, false, false));

    const auto texts = summary["status_texts"].get<std::vector<std::string>>();
    ASSERT_GE(texts.size(), 3u);
    EXPECT_EQ(texts[0], "Scanning Sensor");
    EXPECT_EQ(texts[1], "Scanned Sensor Succesfully");
    EXPECT_EQ(texts[2], "Collecting Data");
    std::vector<std::string> log;
    for (const json& entry : summary["log"]) {
        log.push_back(entry["text"].get<std::string>());
    }
    EXPECT_THAT(log, Contains("[Ferrox EMG] Mapped Property state: EMG plus Accelerometer"));

    const json& capture = summary["capture"];
    const int64_t frames = capture["frames"].get<int64_t>();
    // One second at 1000 Hz; the bound only guards against a capture that barely ran.
    EXPECT_GE(frames, 100);
    EXPECT_EQ(capture["last_frame"].get<int64_t>() - capture["first_frame"].get<int64_t>() + 1,
              frames + capture["missing_frames"].get<int64_t>());
    EXPECT_EQ(summary["unload"]["result"], 0);
    EXPECT_EQ(summary["unload"]["identifier"], "777");
    EXPECT_TRUE(summary["errors"].empty()) << summary["errors"].dump();

    const auto rows = readCsv(csvPath());
    ASSERT_FALSE(rows.empty());
    EXPECT_THAT(rows[0], ElementsAre("frame", "Sensor 1 EMG", "Sensor 1 ACCY", "Sensor 2 ACCX"));
    ASSERT_EQ(static_cast<int64_t>(rows.size()) - 1, frames);
    const int channelIds[] = {0, 2, 5};
    long previous = -1;
    int live = 0;
    for (std::size_t r = 1; r < rows.size(); ++r) {
        ASSERT_EQ(rows[r].size(), 4u) << "row " << r;
        const long id = std::stol(rows[r][0]);
        EXPECT_GT(id, previous);
        previous = id;
        const bool zeros =
            std::stod(rows[r][1]) == 0.0 && std::stod(rows[r][2]) == 0.0 && std::stod(rows[r][3]) == 0.0;
        if (zeros) {
            continue; // before two blocks had arrived
        }
        ++live;
        for (int c = 0; c < 3; ++c) {
            const double value = std::stod(rows[r][static_cast<std::size_t>(c) + 1]);
            EXPECT_EQ(std::floor(value / 1000.0), channelIds[c]) << "row " << r << " value " << value;
        }
    }
    EXPECT_GT(live, 0) << "no frame carried the stream's values";
    EXPECT_GE(companion.connections(), 1);
}

TEST_F(HostRun, ReconnectTakesUpAStreamThatEndedMidCapture) {
    sandbox.companionDataDir();
    ferrox_test::writeFile(ferrox_test::reportPathOf(sandbox),
                           "Pellions detected: 1\nHardware Name: SB Host Test\nBase ID: 777\n"
                           "Slot 1 occupied by sensor 21\n");
    ferrox_test::writeStateFile(sandbox, kState);
    platform::ChildProcess host;
    auto companion = std::make_unique<ferrox_test::BlockStreamer>(35692);
    ASSERT_TRUE(host.start(ferrox_test::besideExecutable(FERROX_HOST_FILE),
                           {"--plugin", pluginPath(), "--seconds", "12", "--connect-timeout", "60",
                            "--reconnect", "--summary", summaryPath()}));
    // Once connected the host accepts within a few changes and starts capturing; the companion then
    // goes away well inside the capture and a new one connects at once.
    ASSERT_TRUE(ferrox_test::eventually([&] { return companion->connections() > 0; }, 60s));
    platform::sleepFor(3s);
    companion.reset();
    companion = std::make_unique<ferrox_test::BlockStreamer>(35692);
    const auto code = host.waitFor(180s);
    ASSERT_EQ(code, 0);

    const json summary = readJson(summaryPath());
    ASSERT_FALSE(summary.is_discarded()) << ferrox_test::readFile(summaryPath());
    const json& capture = summary["capture"];
    const json& reconnect = capture["reconnect"];
    EXPECT_EQ(reconnect["stream_ends"], 1) << reconnect.dump();
    EXPECT_EQ(reconnect["reconnects"], 1) << reconnect.dump();
    EXPECT_EQ(reconnect["still_waiting"], false);
    ASSERT_EQ(reconnect["seconds"].size(), 1u);
    EXPECT_LT(reconnect["seconds"][0].get<double>(), 10.0);
    // Without a stream the frames went on as zeros: at least one stretch of them, no lost IDs.
    EXPECT_GE(capture["zero_frames"].get<int64_t>(), 1);
    EXPECT_GE(capture["gaps"]["zero_frames"]["count"].get<int64_t>(), 1);
    EXPECT_LE(capture["gaps"]["zero_frames"]["longest"].get<int64_t>(),
              capture["zero_frames"].get<int64_t>());
    EXPECT_EQ(capture["gaps"]["missing_ids"]["count"].get<int64_t>() > 0,
              capture["missing_frames"].get<int64_t>() > 0);
    // Frames after the reconnect were live again: not every frame since the drop is a zero.
    EXPECT_LT(capture["zero_frames"].get<int64_t>(), capture["frames"].get<int64_t>() / 2);
    for (const char* when : {"start", "end"}) {
        SCOPED_TRACE(when);
        const json& sample = capture["resources"][when];
        ASSERT_TRUE(sample.is_object()) << capture["resources"].dump();
        EXPECT_GT(sample["resident_bytes"].get<int64_t>(), 0);
        // Wine answers a process's handle count with 0; a real system never has none open.
        if (!platform::kIsWindows) {
            EXPECT_GT(sample["open_handles"].get<int64_t>(), 0);
        }
    }
    EXPECT_GE(companion->connections(), 1);
    EXPECT_TRUE(summary["errors"].empty()) << summary["errors"].dump();
}

TEST_F(HostRun, ExitsNonZeroWithTheReasonWhenTheSessionCannotRun) {
    // A report without a count line: the plug-in hands over no factory.
    sandbox.companionDataDir();
    ferrox_test::writeFile(ferrox_test::reportPathOf(sandbox), "Hardware Name: H\nBase ID: 5\n");
    struct Case {
        std::vector<std::string> arguments;
        int code;
        const char* reason;
    };
    const Case cases[] = {
        {{"--plugin", sandbox.root() + "/missing-plugin", "--seconds", "0"}, 2, "cannot load the plug-in"},
        {{"--plugin", pluginPath(), "--seconds", "0"}, 3, "no device factory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        std::vector<std::string> arguments = c.arguments;
        arguments.insert(arguments.end(), {"--summary", summaryPath()});
        EXPECT_EQ(runHost(arguments), c.code);
        const json summary = readJson(summaryPath());
        ASSERT_FALSE(summary.is_discarded());
        ASSERT_FALSE(summary["errors"].empty());
        EXPECT_THAT(summary["errors"][0].get<std::string>(), HasSubstr(c.reason));
    }

    // A station but no companion to stream: capture was asked for, so no stream is a failure.
    ferrox_test::writeFile(ferrox_test::reportPathOf(sandbox),
                           "Pellions detected: 1\nHardware Name: H\nBase ID: 5\n");
    EXPECT_EQ(runHost({"--plugin", pluginPath(), "--seconds", "1", "--connect-timeout", "1", "--summary",
                       summaryPath()}),
              5);
    const json summary = readJson(summaryPath());
    ASSERT_FALSE(summary.is_discarded());
    EXPECT_THAT(summary["errors"][0].get<std::string>(), HasSubstr("no sample stream"));
    EXPECT_EQ(summary["capture"]["frames"], 0);
    EXPECT_GE(summary["connect_attempts"].get<int>(), 2);
    // The session still took everything down in order.
    EXPECT_EQ(summary["unload"]["identifier"], "5");
}

} // namespace
