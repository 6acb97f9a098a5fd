// The sample stream: accept, block alignment, the bounded queue, end of stream and reconnection.
#include "tests/device/DeviceTestSupport.h"

#include <gtest/gtest.h>

#include <boost/system/system_error.hpp>

#include <cstring>
#include <thread>

using namespace ferrox_test;
using QuillmarkPluginDevices::SampleBlock;

namespace {
double valueOf(const SampleBlock& block, std::size_t k) {
    return block.values[k];
}
} // namespace

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
        return rig.device->blockQueue().at(9, newest) && valueOf(newest, 0) == 11000.0;
    }));
    EXPECT_EQ(rig.device->blockQueue().size(), 10u);
    SampleBlock oldest;
    ASSERT_TRUE(rig.device->blockQueue().at(0, oldest));
    EXPECT_EQ(valueOf(oldest, 0), 2000.0);
    EXPECT_EQ(valueOf(oldest, 127), 2127.0);
    EXPECT_TRUE(rig.device->StopCapture());
}

TEST(SampleStream, ShortWritesKeepBlockAlignment) {
    DeviceRig rig;
    ASSERT_TRUE(rig.device->StartCapture());
    rig.connectStream();

    // Three blocks written in uneven pieces: 1000 bytes, 1 byte, 1025 bytes, the rest.
    std::vector<unsigned char> bytes(3 * SampleBlock::kBytes);
    for (int b = 0; b < 3; ++b) {
        SampleBlock block;
        for (std::size_t k = 0; k < block.values.size(); ++k) {
            block.values[k] = 100.0 * (b + 1) + static_cast<double>(k);
        }
        std::memcpy(bytes.data() + b * SampleBlock::kBytes, block.values.data(), SampleBlock::kBytes);
    }
    const std::size_t pieces[] = {1000, 1, 1025, bytes.size() - 2026};
    std::size_t offset = 0;
    for (std::size_t piece : pieces) {
        rig.client->send(bytes.data() + offset, piece);
        offset += piece;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(eventually([&] { return rig.device->blockQueue().size() == 3; }));
    for (std::size_t b = 0; b < 3; ++b) {
        SampleBlock block;
        ASSERT_TRUE(rig.device->blockQueue().at(b, block));
        EXPECT_EQ(valueOf(block, 0), 100.0 * static_cast<double>(b + 1));
        EXPECT_EQ(valueOf(block, 127), 100.0 * static_cast<double>(b + 1) + 127.0);
    }
    EXPECT_TRUE(rig.device->StopCapture());
}

TEST(SampleStream, EndOfStreamTurnsFramesToZerosUntilTheNextAccept) {
    DeviceRig rig(4);
    rig.newestSample();
    ASSERT_TRUE(rig.device->StartCapture());
    rig.connectStream();
    rig.client->sendBlock(rampBlock(7.0));
    rig.client->sendBlock(rampBlock(8.0));
    ASSERT_TRUE(eventually([&] { return rig.device->blockQueue().size() == 2; }));

    float values[QuillmarkPluginDevices::FerroxEMG::kValuesBufferSize];
    int perFrame = 0;
    int frames = 0;
    rig.device->FillFrameValues(values, perFrame, frames);
    EXPECT_EQ(values[1], 8.0f);

    rig.client->close();
    ASSERT_TRUE(eventually([&] { return !rig.device->connected(); }));
    EXPECT_EQ(rig.device->blockQueue().size(), 0u);
    // The message follows the state change on the receiver's thread.
    EXPECT_TRUE(eventually([&] { return rig.countLogged("[FerroxEMG] Sample stream ended") == 1; }));
    rig.device->FillFrameValues(values, perFrame, frames);
    EXPECT_EQ(values[1], 0.0f);

    // The companion comes back; the next change takes the new connection within the same capture.
    rig.connectStream();
    ASSERT_TRUE(rig.device->connected());
    rig.client->sendBlock(rampBlock(20.0));
    rig.client->sendBlock(rampBlock(30.0));
    ASSERT_TRUE(eventually([&] {
        rig.device->FillFrameValues(values, perFrame, frames);
        return values[1] == 21.0f;
    }));
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
