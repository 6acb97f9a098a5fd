// The sample stream: accept, who may feed the device, the listener's hold on its port, the bounded queue
// and reconnection. Alignment and the end of a stream are in StreamFaultTest.cpp.
#include "tests/device/DeviceTestSupport.h"

#include <gtest/gtest.h>

#include <boost/system/system_error.hpp>

#include <memory>
#include <utility>

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
    // Blocks waiting unread (nobody captures) are a live stream, however long they wait.
    rig.client->sendBlock(rampBlock(1.0));
    const auto texts = rig.statusTexts().size();
    // Connected: further changes post nothing and accept nothing.
    rig.device->PropertyChanged("AppRunMode");
    EXPECT_EQ(rig.statusTexts().size(), texts);
    EXPECT_THROW(rig.device->AcceptStream(), boost::system::system_error);
    EXPECT_TRUE(rig.device->connected());
}

TEST(SampleStream, OnlyThisMachineMayFeedTheDevice) {
    struct Row {
        const char* peer;
        const char* local; // the connection's own address
        bool fromThisMachine;
    };
    const Row rows[] = {
        {"127.0.0.1", "127.0.0.1", true},
        {"127.45.6.7", "127.0.0.1", true},       // all of 127/8 is loopback
        {"192.168.1.20", "192.168.1.20", true},  // a program that connected to the machine's own address
        {"192.168.1.21", "192.168.1.20", false}, // another machine on the lab network
        {"10.0.0.5", "127.0.0.1", false},
        {"::ffff:127.0.0.1", "::ffff:127.0.0.1", true},
        {"::ffff:127.0.0.1", "192.168.1.20", true},
        {"::ffff:192.168.1.20", "192.168.1.20", true},
        {"192.168.1.20", "::ffff:192.168.1.20", true},
        {"::ffff:192.168.1.21", "::ffff:192.168.1.20", false},
        {"::ffff:10.0.0.5", "::ffff:127.0.0.1", false},
        {"::1", "::1", true},
        {"fe80::1", "fe80::2", false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(QuillmarkPluginDevices::fromThisMachine(boost::asio::ip::make_address(row.peer),
                                                          boost::asio::ip::make_address(row.local)),
                  row.fromThisMachine)
            << row.peer << " on " << row.local;
    }
}

TEST(SampleStream, NoOtherSocketCanBindThePortOfALiveDevice) {
    DeviceRig rig;
    ASSERT_TRUE(rig.device->listening());
    for (const char* address : {"0.0.0.0", "127.0.0.1"}) {
        for (const bool reuse : {false, true}) {
            boost::asio::io_context io;
            boost::asio::ip::tcp::acceptor probe(io);
            boost::system::error_code ec;
            probe.open(boost::asio::ip::tcp::v4(), ec);
            if (reuse) {
                probe.set_option(boost::asio::socket_base::reuse_address(true), ec);
            }
            probe.bind({boost::asio::ip::make_address_v4(address), rig.device->listeningPort()}, ec);
            EXPECT_TRUE(ec == boost::asio::error::address_in_use || ec == boost::asio::error::access_denied)
                << address << (reuse ? " with address reuse" : "") << ": " << ec.message();
        }
    }
}

// A device made right after a destroyed one that carried a stream binds the same port at once and takes
// a stream again, however the first stream was left. The first device leaves no connection on the port:
// even a bind without address reuse succeeds, as Windows' exclusive bind needs.
TEST(SampleStream, ANewDeviceBindsAtOnceAfterOneThatCarriedAStream) {
    enum class Companion { Streaming, Silent, ClosedFirst };
    const std::pair<Companion, const char*> rows[] = {
        {Companion::Streaming, "the companion still streaming"},
        {Companion::Silent, "the companion silent, its socket open"},
        {Companion::ClosedFirst, "the companion closed first"},
    };
    for (const auto& [companion, name] : rows) {
        SCOPED_TRACE(name);
        unsigned short port = 0;
        std::unique_ptr<StreamClient> client;
        {
            DeviceRig first(4);
            port = first.device->listeningPort();
            ASSERT_TRUE(first.device->StartCapture());
            first.connectStream();
            client = std::move(first.client);
            for (int b = 1; b <= 20; ++b) {
                client->sendBlock(rampBlock(b));
            }
            ASSERT_TRUE(eventually([&] { return first.device->streamStatistics().blocks >= 20; }));
            if (companion == Companion::ClosedFirst) {
                client->close();
                ASSERT_TRUE(eventually([&] { return !first.device->connected(); }));
            } else if (companion == Companion::Streaming) {
                client->sendBlock(rampBlock(21)); // in flight as the device goes
            }
        }
        boost::asio::io_context io;
        boost::asio::ip::tcp::acceptor probe(io);
        boost::system::error_code ec;
        probe.open(boost::asio::ip::tcp::v4(), ec);
        probe.bind({boost::asio::ip::address_v4::any(), port}, ec);
        EXPECT_FALSE(ec) << "the destroyed device left a connection on its port: " << ec.message();
        probe.close(ec);

        DeviceRig second(4, -1, port);
        ASSERT_TRUE(second.device->listening());
        EXPECT_EQ(second.device->listeningPort(), port);
        ASSERT_TRUE(second.device->StartCapture());
        second.connectStream();
        for (int b = 1; b <= 3; ++b) {
            second.client->sendBlock(rampBlock(500 + b));
        }
        EXPECT_TRUE(eventually([&] { return second.device->streamStatistics().blocks >= 3; }));
        EXPECT_TRUE(second.device->StopCapture());
    }
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
