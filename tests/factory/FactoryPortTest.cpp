// CreateDevice on the fixed stream port: a port held by another device or another program gives the
// host an empty handle and one line on standard error, never an exception it could not catch.
#include "companion/Paths.h"
#include "entry/PluginLifecycle.h"
#include "factory/FerroxEMGFactory.h"
#include "tools/ferrox-host/PluginModule.h"

#include "tests/support/Sandbox.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using QuillmarkPluginDevices::FerroxEMGFactory;
using ::testing::HasSubstr;

// The second device made while the first lives gets no port: an empty handle and one line.
void expectNoDevice(AnalogSystem::IDeviceFactory& factory) {
    std::unique_ptr<AnalogSystem::IDevice> device;
    const std::string complaint = ferrox_test::captureOutput([&] { device = factory.CreateDevice(); }).err;
    EXPECT_EQ(device, nullptr);
    EXPECT_THAT(complaint, HasSubstr("FerroxEMG: no device created: "));
    EXPECT_EQ(std::count(complaint.begin(), complaint.end(), '\n'), 1);
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
        ASSERT_NE(device, nullptr) << "port 35692 is in use by something outside the test";
        expectNoDevice(second);

        // The first device still listens: a companion can connect to it.
        boost::asio::io_context io;
        boost::asio::ip::tcp::socket companion(io);
        boost::system::error_code ec;
        companion.connect({boost::asio::ip::address_v4::loopback(), 35692}, ec);
        EXPECT_FALSE(ec) << ec.message();
        EXPECT_EQ(device->ChannelDescriptorCount(), 1);
        companion.close(ec);

        device.reset();
        device = second.CreateDevice();
        ASSERT_NE(device, nullptr);
        EXPECT_EQ(device->ChannelDescriptorCount(), 1);
    }
}

TEST(FactoryOnTheStreamPort, APortHeldByAnotherProgramGivesAnEmptyHandleUntilItIsFree) {
    ferrox_test::Sandbox sandbox;
    FerroxEMGFactory factory("12", "H", {1});
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor holder(io);
    const boost::asio::ip::tcp::endpoint endpoint(boost::asio::ip::address_v4::loopback(), 35692);
    holder.open(endpoint.protocol());
    holder.bind(endpoint);
    holder.listen();
    expectNoDevice(factory);
    holder.close();

    // Once the port is free again, the same factory makes devices as before.
    EXPECT_NE(factory.CreateDevice(), nullptr);
}

} // namespace
