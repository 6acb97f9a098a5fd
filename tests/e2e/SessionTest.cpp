// Whole capture sessions with the companion simulator as the companion, as a lab engineer runs them.
#include "companion/CompanionController.h"
#include "companion/Paths.h"
#include "device/FerroxEMG.h"
#include "entry/PluginLifecycle.h"
#include "host/DeviceFactory.h"
#include "host/HostDeviceManager.h"
#include "platform/ChildProcess.h"
#include "platform/Environment.h"
#include "platform/Os.h"
#include "platform/Process.h"
#include "tests/entry/PluginTestSupport.h"

#include <nlohmann/json.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using ferrox_test::eventually;
using ferrox_test::readCsv;
using nlohmann::json;
using namespace nlohmann::literals;
using ::testing::Contains;

// The simulator's ramp signal: value i of block k is i + (k mod 1000) / 1000, so each value names
// its channel ID.
void useRampSignal(std::vector<std::unique_ptr<ferrox_test::ScopedEnv>>& env) {
    env.push_back(std::make_unique<ferrox_test::ScopedEnv>("FERROX_SIM_SIGNAL", "ramp"));
    env.push_back(std::make_unique<ferrox_test::ScopedEnv>("FERROX_SIM_SENSORS", "4"));
}

std::string installSimulator(const ferrox_test::Sandbox& sandbox) {
    std::string target = sandbox.companionProgramDir() + "/SabletBase.exe";
    std::filesystem::copy_file(ferrox_test::besideExecutable(FERROX_SIMULATOR_FILE), target,
                               std::filesystem::copy_options::overwrite_existing);
    return target;
}

TEST(Session, FerroxHostCapturesTheSimulatorsStreamAndUnloadCleansUp) {
    ferrox_test::Sandbox sandbox;
    std::vector<std::unique_ptr<ferrox_test::ScopedEnv>> env;
    useRampSignal(env);
    installSimulator(sandbox);
    sandbox.companionDataDir();
    const std::string summaryPath = sandbox.root() + "/summary.json";
    const std::string csvPath = sandbox.root() + "/frames.csv";

    platform::ChildProcess host;
    ASSERT_TRUE(host.start(ferrox_test::besideExecutable(FERROX_HOST_FILE),
                           {"--plugin", ferrox_test::besideExecutable(FERROX_PLUGIN_FILE), "--program-files",
                            sandbox.programFiles(), "--program-data", sandbox.programData(), "--app-data",
                            sandbox.appData(), "--configuration", "1", "--seconds", "2", "--connect-timeout",
                            "30", "--csv", csvPath, "--summary", summaryPath}));
    const auto exitCode = host.waitFor(180s);
    ASSERT_TRUE(exitCode.has_value());
    const json summary = json::parse(ferrox_test::readFile(summaryPath), nullptr, false);
    ASSERT_FALSE(summary.is_discarded());
    EXPECT_EQ(*exitCode, 0) << summary.dump(2).substr(0, 2000);

    // The report was parsed and the descriptors follow the simulator's state file.
    EXPECT_EQ(summary["enumerate_result"], 1);
    EXPECT_EQ(summary["factories"], 1);
    EXPECT_EQ(summary["device"]["model"], "Sablet Base Simulator");
    EXPECT_EQ(summary["device"]["serial"], "40001-serial");
    ASSERT_EQ(summary["device"]["channels"].size(), 16u);
    EXPECT_EQ(summary["device"]["channels"][5]["analog_name"], "Sensor 2 ACCX");
    EXPECT_THAT(summary["device"]["channels"][0]["name"].get<std::string>(),
                ::testing::EndsWith(" Sensor 0"));
    EXPECT_THAT(summary["status_texts"], Contains("Collecting Data"));
    EXPECT_TRUE(summary["stream_accepted"].get<bool>());

    // Frames: about rate x time, consecutive, each value from the channel its descriptor names.
    const double frames = summary["capture"]["frames"].get<double>();
    const double seconds = summary["capture"]["seconds"].get<double>();
    EXPECT_NEAR(frames, 1000.0 * seconds, 0.05 * 1000.0 * seconds);
    EXPECT_TRUE(summary["capture"]["missing_frame_ids"].empty());
    const auto rows = readCsv(csvPath);
    ASSERT_GT(rows.size(), 1000u);
    int live = 0;
    for (std::size_t r = 1; r < rows.size(); ++r) {
        ASSERT_EQ(rows[r].size(), 17u);
        const double v5 = std::stod(rows[r][6]);
        if (v5 != 0.0) {
            ++live;
            EXPECT_EQ(std::floor(v5), 5.0) << "row " << r;
            EXPECT_EQ(std::floor(std::stod(rows[r][16])), 15.0) << "row " << r;
        }
    }
    EXPECT_GT(live, 1000);

    // Unload: command file deleted, report empty, identifier handed back.
    EXPECT_EQ(summary["unload"]["result"], 0);
    EXPECT_EQ(summary["unload"]["identifier"], "40001");
    EXPECT_FALSE(ferrox_test::fileExists(ferrox_test::commandPathOf(sandbox)));
    EXPECT_TRUE(ferrox_test::fileExists(ferrox_test::reportPathOf(sandbox)));
    EXPECT_EQ(ferrox_test::readFile(ferrox_test::reportPathOf(sandbox)), "");

    // No companion outlives the host: natively unload ended it; under Wine it ends at the end of its
    // standard input, and the system's process list cannot be asked there.
    if (!platform::kIsWindows) {
        EXPECT_TRUE(eventually(
            [] {
                return platform::runHidden(platform::imageCheckCommandLine(
                           QuillmarkPluginDevices::kCompanionImageName)) != 0ul;
            },
            10s));
    }
}

// What the host sees when the companion dies mid-capture and a new one is started.
class CollectingSink : public AnalogSystem::FactorySink {
public:
    void AddFactory(std::unique_ptr<AnalogSystem::IDeviceFactory> factory) override {
        factories.push_back(std::move(factory));
    }
    std::vector<std::unique_ptr<AnalogSystem::IDeviceFactory>> factories;
};

class IdentifierSink : public AnalogSystem::UnloadSink {
public:
    void UnloadStarted() override {}
    void DevicesReleased() override {}
    void DeviceIdentifierReleased(const char* released) override { identifier = released; }
    std::string identifier;
};

TEST(Session, CompanionKilledMidCaptureAndStartedAgain) {
    ferrox_test::Sandbox sandbox;
    std::vector<std::unique_ptr<ferrox_test::ScopedEnv>> env;
    useRampSignal(env);
    env.push_back(std::make_unique<ferrox_test::ScopedEnv>("FERROX_SIM_IGNORE_STDIN", "1"));
    const std::string simulator = installSimulator(sandbox);
    sandbox.companionDataDir();

    CollectingSink sink;
    ASSERT_EQ(QuillmarkPluginDevices::enumerateDeviceFactories(&sink, 30s), 1);
    auto* controller = QuillmarkPluginDevices::CompanionController::instance();
    ASSERT_TRUE(controller->launched());

    AnalogSystem::HostDeviceManager manager;
    manager.SetEcho(false);
    std::unique_ptr<AnalogSystem::IDevice> device = sink.factories.at(0)->CreateDevice();
    ASSERT_NE(device, nullptr);
    auto* emg = dynamic_cast<QuillmarkPluginDevices::FerroxEMG*>(device.get());
    ASSERT_NE(emg, nullptr);
    device->SetDeviceManager(&manager);
    for (int i = 0; i < device->ChannelDescriptorCount(); ++i) {
        device->ChannelDescriptor(i)->SetProperty("AnalogChannel_Enabled", true);
    }
    auto accept = [&] {
        return eventually(
            [&] {
                device->PropertyChanged("AppRunMode");
                return emg->connected();
            },
            30s);
    };
    ASSERT_TRUE(accept());
    ASSERT_TRUE(device->StartCapture());

    // Channel 5 carries 5.xxx while the stream is live.
    auto channel5 = [&] {
        std::vector<float> samples;
        int64_t committed = 0;
        const int32_t newest = device->GetMostRecentFrameID();
        return emg->ReadFrame(newest, samples, committed) && samples.size() > 5 ? samples[5] : -1.0f;
    };
    ASSERT_TRUE(eventually([&] { return std::floor(channel5()) == 5.0f; }, 10s));

    // The companion dies: frames turn to zeros.
    ASSERT_TRUE(platform::terminateProcess(controller->companionProcess()));
    const bool ended = eventually([&] { return !emg->connected(); }, 10s);
    if (!ended && platform::kIsWindows) {
        // Wine's server holds a copy of every socket, and on a loaded machine it has been seen to keep a
        // killed process's socket open: the connection never ends, so the device cannot see it end.
        // Windows closes it with the process; the native run checks the whole path.
        GTEST_SKIP() << "the killed companion's socket was kept open by the Wine server";
    }
    ASSERT_TRUE(ended);
    ASSERT_TRUE(eventually([&] { return channel5() == 0.0f; }, 5s));

    // A new companion connects; after the next "AppRunMode" frames are live again.
    platform::ChildProcess restarted;
    ASSERT_TRUE(restarted.start(simulator, {QuillmarkPluginDevices::kCompanionPipeName}));
    ASSERT_TRUE(accept());
    EXPECT_TRUE(eventually([&] { return std::floor(channel5()) == 5.0f; }, 10s));
    const int32_t before = device->GetMostRecentFrameID();

    EXPECT_TRUE(device->StopCapture());
    EXPECT_GT(before, 0);
    device.reset();
    sink.factories.clear();
    IdentifierSink unload;
    EXPECT_EQ(QuillmarkPluginDevices::unloadPlugin(&unload), 0);
    EXPECT_EQ(unload.identifier, "40001");
    restarted.kill();
}

// Every block the companion sends reaches exactly one frame, also from a companion that leaves Nagle's
// algorithm on: the device keeps the connection's acknowledgements prompt, so the stream does not come
// in bursts, and the playout buffer hands out each numbered block once and in order.
TEST(Session, EveryBlockOnceFromACompanionThatLeavesNagleOn) {
    ferrox_test::Sandbox sandbox;
    std::vector<std::unique_ptr<ferrox_test::ScopedEnv>> env;
    // 32 sensors, so channel ID 126, which carries the block numbers, is one of the frame's channels.
    env.push_back(std::make_unique<ferrox_test::ScopedEnv>("FERROX_SIM_SENSORS", "32"));
    env.push_back(std::make_unique<ferrox_test::ScopedEnv>("FERROX_SIM_SEQUENCE", "1"));
    env.push_back(std::make_unique<ferrox_test::ScopedEnv>("FERROX_SIM_NODELAY", "0"));
    installSimulator(sandbox);
    sandbox.companionDataDir();
    const std::string summaryPath = sandbox.root() + "/summary.json";

    platform::ChildProcess host;
    ASSERT_TRUE(host.start(ferrox_test::besideExecutable(FERROX_HOST_FILE),
                           {"--plugin", ferrox_test::besideExecutable(FERROX_PLUGIN_FILE), "--program-files",
                            sandbox.programFiles(), "--program-data", sandbox.programData(), "--app-data",
                            sandbox.appData(), "--configuration", "1", "--seconds", "4", "--connect-timeout",
                            "30", "--summary", summaryPath}));
    const auto exitCode = host.waitFor(180s);
    ASSERT_TRUE(exitCode.has_value());
    const json summary = json::parse(ferrox_test::readFile(summaryPath), nullptr, false);
    ASSERT_FALSE(summary.is_discarded());
    ASSERT_EQ(*exitCode, 0) << summary.dump(2).substr(0, 2000);
    const json fidelity = summary.value("/capture/timing/fidelity"_json_pointer, json());
    ASSERT_TRUE(fidelity.is_object()) << summary.dump(2).substr(0, 2000);
    const json& settled = fidelity.at("after_first_second");
    // No block lost and none out of order. A loaded machine may leave a frame now and then without a new
    // block (it repeats the one before); sampling the stream instead would repeat nearly every one.
    EXPECT_EQ(settled["skipped"], 0) << settled.dump();
    EXPECT_EQ(settled["going_back"], 0) << settled.dump();
    EXPECT_LT(settled["repeated"].get<double>(), 0.02 * settled["blocks"].get<double>()) << settled.dump();
    EXPECT_GT(settled["blocks"].get<double>(), 2500.0) << settled.dump();
}

} // namespace
