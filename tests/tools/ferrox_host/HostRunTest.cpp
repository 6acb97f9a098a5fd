// ferrox-host end to end when the stream ends or the session cannot run. The test plays the companion
// itself (the report is written beforehand) and streams to the device's port, so that it can end the
// stream when it likes. A whole session with the simulator is in tests/e2e.
#include "companion/Paths.h"
#include "tests/support/Sandbox.h"
#include "tests/support/StreamClient.h"

#include "platform/ChildProcess.h"
#include "platform/Os.h"
#include "platform/Sleep.h"

#include <nlohmann/json.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using ::testing::HasSubstr;

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
    static std::string pluginPath() { return ferrox_test::besideExecutable(FERROX_PLUGIN_FILE); }
    static void writeReport(const std::string& text) {
        ferrox_test::writeFile(*QuillmarkPluginDevices::configurationReportPath(), text);
    }
    std::string summaryPath() const { return sandbox.root() + "/summary.json"; }

    ferrox_test::Sandbox sandbox;
};

TEST_F(HostRun, ReconnectTakesUpAStreamThatEndedMidCapture) {
    writeReport(
        "Pellions detected: 1\nHardware Name: SB Host Test\nBase ID: 777\nSlot 1 occupied by sensor 21\n");
    ferrox_test::writeFile(*QuillmarkPluginDevices::sensorStateFilePath(),
                           R"({"Sensors": [{"SensorId": 21, "ChannelNames": ["EMG 1", "ACC X 1"]}]})");
    platform::ChildProcess host;
    auto companion = std::make_unique<ferrox_test::BlockStreamer>(35692);
    ASSERT_TRUE(host.start(ferrox_test::besideExecutable(FERROX_HOST_FILE),
                           {"--plugin", pluginPath(), "--seconds", "12", "--connect-timeout", "60",
                            "--reconnect", "--reconnect-after", "1", "--summary", summaryPath()}));
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
    // The second-by-second series and the stretches of zeros account for every frame; a device that
    // did not take the new connection by itself was left the whole second before the first change.
    int64_t perSecond = 0;
    for (const json& n : capture["timing"]["per_second"]["frames"]) {
        perSecond += n.get<int64_t>();
    }
    EXPECT_EQ(perSecond, capture["frames"].get<int64_t>());
    int64_t stretched = 0;
    int64_t longest = 0;
    for (const json& stretch : capture["timing"]["zero_stretches"]) {
        stretched += stretch["frames"].get<int64_t>();
        longest = std::max(longest, stretch["frames"].get<int64_t>());
    }
    EXPECT_EQ(stretched, capture["zero_frames"].get<int64_t>());
    if (reconnect["taken_by_device"] == 0) {
        EXPECT_GE(longest, 1000) << reconnect.dump();
    }
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
    writeReport("Hardware Name: H\nBase ID: 5\n");
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
    writeReport("Pellions detected: 1\nHardware Name: H\nBase ID: 5\n");
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
