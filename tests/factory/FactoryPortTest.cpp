// CreateDevice on the fixed stream port: a port held by another device or another program gives the
// host an empty handle and one line on standard error, never an exception it could not catch.
#include "factory/FerroxEMGFactory.h"

#include "tests/support/Sandbox.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <algorithm>

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

} // namespace
