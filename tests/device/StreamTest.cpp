// The sample stream: accept, the loopback listener, the bounded queue and reconnection. Alignment and the
// end of a stream are in StreamFaultTest.cpp.
#include "tests/device/DeviceTestSupport.h"

#include <gtest/gtest.h>

#include <boost/system/system_error.hpp>

using namespace ferrox_test;
using QuillmarkPluginDevices::SampleBlock;

TEST(SampleStream, AcceptNeverWaitsAndTakesOneStreamAtATime) {
    DeviceRig rig;
    // Nothing pending: the change posts its text and fails at once, leaving the device unconnected.
    const auto before = std::chrono::steady_clock::now();
    rig.device->PropertyChanged("AppRunMode");
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
    EXPECT_FALSE(rig.device->connected());
    EXPECT_EQ(rig.statusTexts(), std::vector<std::string>{"Collecting Data"});

    rig.connectStream();
    ASSERT_TRUE(rig.device->connected());
    const auto texts = rig.statusTexts().size();
    // Connected: further changes post nothing and accept nothing.
    rig.device->PropertyChanged("AppRunMode");
    EXPECT_EQ(rig.statusTexts().size(), texts);
    EXPECT_THROW(rig.device->AcceptStream(), boost::system::system_error);
    EXPECT_TRUE(rig.device->connected());
}

TEST(SampleStream, ListensOnLoopbackOnly) {
    DeviceRig rig;
    // A connection to loopback works; the listener is not bound to the wildcard address.
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor probe(io);
    boost::system::error_code ec;
    probe.open(boost::asio::ip::tcp::v4(), ec);
    // Binding the same port on another local address would fail if the device held the wildcard.
    probe.bind({boost::asio::ip::make_address_v4("127.0.0.2"), rig.device->listeningPort()}, ec);
    EXPECT_FALSE(ec) << ec.message();
}

TEST(SampleStream, KeepsTheNewestTenBlocksInArrivalOrder) {
    DeviceRig rig;
    ASSERT_TRUE(rig.device->StartCapture());
    rig.connectStream();
    for (int b = 1; b <= 11; ++b) {
        rig.client->sendBlock(rampBlock(1000.0 * b));
    }
    // The eleventh block pushes out the first.
    ASSERT_TRUE(eventually([&] {
        SampleBlock newest;
        return rig.device->blockQueue().at(9, newest) && newest.values[0] == 11000.0;
    }));
    EXPECT_EQ(rig.device->blockQueue().size(), 10u);
    SampleBlock oldest;
    ASSERT_TRUE(rig.device->blockQueue().at(0, oldest));
    EXPECT_EQ(oldest.values[0], 2000.0);
    EXPECT_EQ(oldest.values[127], 2127.0);
    EXPECT_TRUE(rig.device->StopCapture());
}

TEST(SampleStream, ReconnectsTenTimesInOneCapture) {
    DeviceRig rig(2);
    ASSERT_TRUE(rig.device->StartCapture());
    for (int round = 0; round < 10; ++round) {
        rig.connectStream();
        ASSERT_TRUE(rig.device->connected()) << round;
        rig.client->sendBlock(rampBlock(round));
        rig.client->close();
        ASSERT_TRUE(eventually([&] { return !rig.device->connected(); })) << round;
    }
    EXPECT_EQ(rig.countLogged("[FerroxEMG] Sample stream ended"), 10);
    EXPECT_TRUE(rig.device->StopCapture());
}
