// CreateDevice on the fixed stream port: a port held by another device or another program still gives
// the host a device, which says once that the port is in use, delivers zeros, and takes the port (and a
// stream) as soon as it is free.
#include "companion/Paths.h"
#include "device/FerroxEMG.h"
#include "entry/PluginLifecycle.h"
#include "factory/FerroxEMGFactory.h"
#include "host/HostDeviceManager.h"
#include "tools/ferrox-host/PluginModule.h"

#include "tests/support/Sandbox.h"
#include "tests/support/StreamClient.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using QuillmarkPluginDevices::FerroxEMGFactory;

using QuillmarkPluginDevices::FerroxEMG;

constexpr const char* kPortUnavailable = "[FerroxEMG] Sample port 35692 unavailable (bind: ";

FerroxEMG& asDevice(const std::unique_ptr<AnalogSystem::IDevice>& device) {
    return dynamic_cast<FerroxEMG&>(*device);
}

int countLogged(const FerroxEMG& device, const std::string& prefix) {
    const auto log = device.LoggedMessages();
    return static_cast<int>(std::count_if(log.begin(), log.end(), [&](const AnalogSystem::LogEntry& e) {
        return e.text.rfind(prefix, 0) == 0;
    }));
}

// A device made while the port is held: valid, not listening, one line that says so, and frames of zeros
// in a capture; changes and starts try the port again without saying it once more.
void expectWaitingDevice(FerroxEMG& device, AnalogSystem::HostDeviceManager& manager) {
    device.SetDeviceManager(&manager);
    EXPECT_FALSE(device.listening());
    device.ChannelDescriptor(0)->SetProperty("AnalogChannel_Enabled", true);
    device.PropertyChanged("AppRunMode");
    ASSERT_TRUE(device.StartCapture());
    ASSERT_TRUE(ferrox_test::eventually([&] { return device.GetMostRecentFrameID() >= 20; }));
    EXPECT_TRUE(device.StopCapture());
    for (int32_t id = 0; id <= device.GetMostRecentFrameID(); ++id) {
        std::vector<float> samples;
        int64_t committedNs = 0;
        ASSERT_TRUE(device.ReadFrame(id, samples, committedNs));
        EXPECT_EQ(samples, std::vector<float>{0.0f}) << "frame " << id;
    }
    EXPECT_EQ(countLogged(device, kPortUnavailable), 1);
    const auto texts = manager.Messages();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "Sample port in use"), 2); // AppRunMode and the start
    EXPECT_FALSE(device.listening());
}

// One factory twice, two factory objects, or one enumeration of a two-station report: the second device
// cannot have the port while the first lives, and gets it once the first is gone.
TEST(FactoryOnTheStreamPort, TheSecondDeviceWaitsForTheFirstToGo) {
    struct Case {
        const char* name;
        std::size_t factories; // with one, it makes both devices
        std::function<void(ferrox_host::FactoryCollector&)> make;
    };
    const Case cases[] = {
        {"one factory twice", 1,
         [](ferrox_host::FactoryCollector& sink) {
             sink.AddFactory(std::make_unique<FerroxEMGFactory>("12", "H", std::vector<int32_t>{1}));
         }},
        {"two factory objects", 2,
         [](ferrox_host::FactoryCollector& sink) {
             sink.AddFactory(std::make_unique<FerroxEMGFactory>("12", "H", std::vector<int32_t>{1}));
             sink.AddFactory(std::make_unique<FerroxEMGFactory>("12", "H", std::vector<int32_t>{1}));
         }},
        {"one enumeration of two stations", 2,
         [](ferrox_host::FactoryCollector& sink) {
             // The launch fails and says so: no companion is installed.
             ferrox_test::captureOutput(
                 [&] { QuillmarkPluginDevices::enumerateDeviceFactories(&sink, std::chrono::seconds(5)); });
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ferrox_test::Sandbox sandbox;
        ferrox_test::writeFile(*QuillmarkPluginDevices::sensorStateFilePath(),
                               R"({"Sensors": [{"SensorId": 1, "ChannelNames": ["a"]}]})");
        ferrox_test::writeFile(
            *QuillmarkPluginDevices::configurationReportPath(),
            "Pellions detected: 2\nHardware Name: H\nBase ID: 12\nSlot 1 occupied by sensor 1\n");
        ferrox_host::FactoryCollector sink;
        c.make(sink);
        ASSERT_EQ(sink.factories.size(), c.factories);
        AnalogSystem::IDeviceFactory& first = *sink.factories.front();
        AnalogSystem::IDeviceFactory& second = *sink.factories.back();

        auto device = first.CreateDevice();
        ASSERT_NE(device, nullptr);
        ASSERT_TRUE(asDevice(device).listening()) << "port 35692 is in use by something outside the test";
        AnalogSystem::HostDeviceManager manager;
        manager.SetEcho(false);
        auto waiting = second.CreateDevice();
        ASSERT_NE(waiting, nullptr);
        EXPECT_EQ(waiting->ChannelDescriptorCount(), 1);
        expectWaitingDevice(asDevice(waiting), manager);

        // The first device still listens: a companion can connect to it.
        { ferrox_test::StreamClient companion(FerroxEMG::kStreamPort); }

        // Once the first is gone, the second takes the port at the next change, and then the stream.
        device.reset();
        FerroxEMG& second2 = asDevice(waiting);
        ASSERT_TRUE(second2.StartCapture());
        EXPECT_TRUE(second2.listening());
        EXPECT_EQ(countLogged(second2, "[FerroxEMG] Sample port 35692 free again"), 1);
        ferrox_test::StreamClient companion(FerroxEMG::kStreamPort);
        ASSERT_TRUE(ferrox_test::eventually([&] {
            second2.PropertyChanged("AppRunMode");
            return second2.connected();
        }));
        for (int b = 1; b <= 20; ++b) {
            companion.sendBlock(ferrox_test::rampBlock(100.0 * b));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_TRUE(ferrox_test::eventually([&] {
            std::vector<float> samples;
            int64_t committedNs = 0;
            return second2.ReadFrame(second2.GetMostRecentFrameID(), samples, committedNs) &&
                   !samples.empty() && samples[0] >= 100.0f;
        })) << "the second device's frames never carried the stream";
        EXPECT_TRUE(second2.StopCapture());
        waiting.reset();
    }
}

TEST(FactoryOnTheStreamPort, APortHeldByAnotherProgramLeavesADeviceThatWaitsForIt) {
    ferrox_test::Sandbox sandbox;
    ferrox_test::writeFile(*QuillmarkPluginDevices::sensorStateFilePath(),
                           R"({"Sensors": [{"SensorId": 1, "ChannelNames": ["a"]}]})");
    FerroxEMGFactory factory("12", "H", {1});
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor holder(io);
    const boost::asio::ip::tcp::endpoint endpoint(boost::asio::ip::address_v4::loopback(), 35692);
    holder.open(endpoint.protocol());
    holder.bind(endpoint);
    holder.listen();
    std::unique_ptr<AnalogSystem::IDevice> device;
    const std::string complaint = ferrox_test::captureOutput([&] { device = factory.CreateDevice(); }).err;
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(complaint, "");
    AnalogSystem::HostDeviceManager manager;
    manager.SetEcho(false);
    expectWaitingDevice(asDevice(device), manager);
    holder.close();

    // Once the port is free again, the next start takes it.
    ASSERT_TRUE(device->StartCapture());
    EXPECT_TRUE(asDevice(device).listening());
    EXPECT_TRUE(device->StopCapture());
}

} // namespace
