// CreateDevice on the fixed stream port: a port held by another device or another program gives the
// host an empty handle and one line on standard error, never an exception it could not catch.
#include "entry/PluginLifecycle.h"
#include "factory/FerroxEMGFactory.h"

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

TEST(FactoryOnTheStreamPort, APortHeldByAnotherDeviceOrProgramGivesAnEmptyHandle) {
    ferrox_test::Sandbox sandbox;
    ferrox_test::writeFile(sandbox.stateFileDir() + "/system-state.json",
                           R"({"Sensors": [{"SensorId": 1, "ChannelNames": ["a"]}]})");
    FerroxEMGFactory factory("12", "H", {1});

    {
        auto first = factory.CreateDevice();
        ASSERT_NE(first, nullptr) << "port 35692 is in use by something outside the test";
        ::testing::internal::CaptureStderr();
        auto second = factory.CreateDevice();
        const std::string complaint = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(second, nullptr);
        EXPECT_THAT(complaint, HasSubstr("no device created"));
        EXPECT_EQ(std::count(complaint.begin(), complaint.end(), '\n'), 1);
    }

    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor holder(io);
    const boost::asio::ip::tcp::endpoint endpoint(boost::asio::ip::address_v4::loopback(), 35692);
    holder.open(endpoint.protocol());
    holder.bind(endpoint);
    holder.listen();
    ::testing::internal::CaptureStderr();
    auto blocked = factory.CreateDevice();
    const std::string complaint = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(blocked, nullptr);
    EXPECT_THAT(complaint, HasSubstr("no device created"));
    holder.close();

    // Once the port is free again, the same factory makes devices as before.
    auto after = factory.CreateDevice();
    EXPECT_NE(after, nullptr);
}

// Two factories at once, from two objects or from one enumeration of a two-station report: the second
// device cannot have the port while the first lives, and gets it once the first is gone.
TEST(FactoryOnTheStreamPort, TheSecondFactorysDeviceWaitsForTheFirstToGo) {
    struct Sink : AnalogSystem::FactorySink {
        void AddFactory(std::unique_ptr<AnalogSystem::IDeviceFactory> factory) override {
            factories.push_back(std::move(factory));
        }
        std::vector<std::unique_ptr<AnalogSystem::IDeviceFactory>> factories;
    };
    struct Case {
        const char* name;
        std::function<void(Sink&)> make;
    };
    const Case cases[] = {
        {"two factory objects",
         [](Sink& sink) {
             sink.AddFactory(std::make_unique<FerroxEMGFactory>("12", "H", std::vector<int32_t>{1}));
             sink.AddFactory(std::make_unique<FerroxEMGFactory>("12", "H", std::vector<int32_t>{1}));
         }},
        {"one enumeration of two stations",
         [](Sink& sink) {
             ::testing::internal::CaptureStderr(); // the launch fails: no companion is installed
             QuillmarkPluginDevices::enumerateDeviceFactories(&sink, std::chrono::seconds(5));
             ::testing::internal::GetCapturedStderr();
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ferrox_test::Sandbox sandbox;
        ferrox_test::writeFile(sandbox.stateFileDir() + "/system-state.json",
                               R"({"Sensors": [{"SensorId": 1, "ChannelNames": ["a"]}]})");
        ferrox_test::writeFile(
            sandbox.companionDataDir() + "/DeviceConfiguration.txt",
            "Pellions detected: 2\nHardware Name: H\nBase ID: 12\nSlot 1 occupied by sensor 1\n");
        Sink sink;
        c.make(sink);
        ASSERT_EQ(sink.factories.size(), 2u);

        auto first = sink.factories[0]->CreateDevice();
        ASSERT_NE(first, nullptr) << "port 35692 is in use by something outside the test";
        ::testing::internal::CaptureStderr();
        auto second = sink.factories[1]->CreateDevice();
        const std::string complaint = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(second, nullptr);
        EXPECT_THAT(complaint, HasSubstr("FerroxEMG: no device created: "));
        EXPECT_EQ(std::count(complaint.begin(), complaint.end(), '\n'), 1);

        // The first device still listens: a companion can connect to it.
        boost::asio::io_context io;
        boost::asio::ip::tcp::socket companion(io);
        boost::system::error_code ec;
        companion.connect({boost::asio::ip::address_v4::loopback(), 35692}, ec);
        EXPECT_FALSE(ec) << ec.message();
        EXPECT_EQ(first->ChannelDescriptorCount(), 1);
        companion.close(ec);

        first.reset();
        second = sink.factories[1]->CreateDevice();
        ASSERT_NE(second, nullptr);
        EXPECT_EQ(second->ChannelDescriptorCount(), 1);
    }
}

} // namespace
