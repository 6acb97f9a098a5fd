// Nobody from another machine feeds the device, though it listens on every interface. A network
// namespace joined to this one by a veth pair plays the other machine: its connections to the device's
// veth address are closed at once, logged once per address and counted, and none of their blocks
// reaches a frame; a program on this machine that connects to that same address is taken.
#include "tests/device/DeviceTestSupport.h"

#include "platform/ChildProcess.h"
#include "platform/Os.h"
#include "platform/Process.h"

#include <gtest/gtest.h>

#include <boost/asio/ip/tcp.hpp>

#include <algorithm>
#include <memory>
#include <random>
#include <thread>
#include <vector>
#include <string>

using namespace ferrox_test;

namespace {

// A shell command's exit code, or -1 when it could not start. The system's own folders come first on
// PATH, since a wrapper earlier on it is no use inside the namespace, and every step is bounded.
int sh(const std::string& commands) {
    const auto code =
        platform::runHidden("PATH=/usr/sbin:/sbin:/usr/bin:/bin:$PATH; export PATH; " + commands);
    return code ? static_cast<int>(*code) : -1;
}

// Makes two TCP connections to argv[1]:argv[2], writes 20 blocks of 7777.0 on each, and waits at most
// 8 s for the other end to close both. Exits 0 when it did, 3 when one stayed open, 1 when a connection
// was refused, 2 on anything else. A reset while writing is the device closing too: it may close a
// connection before all of it was written.
constexpr const char* kForeignSender = R"(import socket, struct, sys, time
block = struct.pack("<128d", *([7777.0] * 128))
try:
    conns = [socket.create_connection((sys.argv[1], int(sys.argv[2])), timeout=5) for _ in range(2)]
    open_ones = []
    for c in conns:
        try:
            c.sendall(block * 20)
            open_ones.append(c)
        except (ConnectionResetError, BrokenPipeError):
            pass
    deadline = time.time() + 8
    for c in open_ones:
        c.settimeout(max(0.1, deadline - time.time()))
        try:
            if c.recv(1) != b"":
                sys.exit(2)
        except ConnectionResetError:
            pass
except ConnectionRefusedError:
    sys.exit(1)
except socket.timeout:
    sys.exit(3)
except OSError:
    sys.exit(2)
)";

// A namespace and a veth pair with names and a 10.x.y.0/24 of their own; whatever was made is deleted
// when this goes out of scope, a failed assertion included.
class PeerNamespace {
public:
    PeerNamespace() {
        std::random_device random;
        const std::string tag = std::to_string(random() % 1000000);
        namespace_ = "ferrox-" + std::to_string(platform::currentProcessId()) + "-" + tag;
        hostLink_ = "fxh" + tag;
        const std::string subnet =
            "10." + std::to_string(200 + random() % 50) + "." + std::to_string(random() % 256) + ".";
        hostAddress_ = subnet + "1";
        peerAddress_ = subnet + "2";
    }
    ~PeerNamespace() {
        sh(std::string(linkMade_ ? "ip link del " + hostLink_ + "; " : "") +
           (namespaceMade_ ? "ip netns del " + namespace_ : ""));
    }
    PeerNamespace(const PeerNamespace&) = delete;
    PeerNamespace& operator=(const PeerNamespace&) = delete;

    // Why the namespace cannot be had here, or "" once it and the pair are made; `joined` is then the
    // exit code of the steps that join them up.
    std::string create(int& joined) {
        const std::string peerLink = "fxp" + hostLink_.substr(3);
        if (sh("command -v ip") != 0) {
            return "no ip command";
        }
        if (sh("timeout 15 ip netns add " + namespace_) != 0) {
            return "ip netns add failed (needs root or CAP_NET_ADMIN)";
        }
        namespaceMade_ = true;
        if (sh("timeout 15 ip link add " + hostLink_ + " type veth peer name " + peerLink) != 0) {
            return "ip link add ... type veth failed";
        }
        linkMade_ = true;
        const std::string in = "timeout 15 ip -n " + namespace_ + " ";
        joined =
            sh("timeout 15 ip link set " + peerLink + " netns " + namespace_ + " && timeout 15 ip addr add " +
               hostAddress_ + "/24 dev " + hostLink_ + " && timeout 15 ip link set " + hostLink_ + " up && " +
               in + "addr add " + peerAddress_ + "/24 dev " + peerLink + " && " + in + "link set " +
               peerLink + " up && " + in + "link set lo up");
        return "";
    }

    // The sender's exit code, connecting from inside the namespace to this side's veth address.
    int sendFromInside(unsigned short port) const {
        return sh("timeout 15 ip netns exec " + namespace_ + " python3 -c '" + kForeignSender + "' " +
                  hostAddress_ + " " + std::to_string(port));
    }
    const std::string& hostAddress() const { return hostAddress_; }
    const std::string& peerAddress() const { return peerAddress_; }

private:
    std::string namespace_;
    std::string hostLink_;
    std::string hostAddress_;
    std::string peerAddress_;
    bool namespaceMade_ = false;
    bool linkMade_ = false;
};

} // namespace

TEST(ThisMachineOnly, AnotherMachineIsClosedAtOnceAndAProgramHereOnTheSameAddressIsTaken) {
    if (platform::kIsWindows) {
        GTEST_SKIP() << "network namespaces are a Linux facility";
    }
    if (sh("command -v python3") != 0) {
        GTEST_SKIP() << "no python3 for the other machine's sender";
    }
    PeerNamespace peer;
    int joined = -1;
    const std::string unavailable = peer.create(joined);
    if (!unavailable.empty()) {
        GTEST_SKIP() << "no network namespace: " << unavailable;
    }
    ASSERT_EQ(joined, 0) << "the veth pair could not be set up";

    DeviceRig rig(4);
    ASSERT_TRUE(rig.device->StartCapture());
    const unsigned short port = rig.device->listeningPort();
    int sender = -1;
    std::thread other([&] { sender = peer.sendFromInside(port); });
    const std::string refusedLine =
        "[FerroxEMG] Connection from another machine (" + peer.peerAddress() + ":";
    // Each change takes what waits; both of the other machine's connections are closed, one line for both.
    const bool refused = eventually(
        [&] {
            rig.device->PropertyChanged("AppRunMode");
            return rig.countLogged(refusedLine) == 1 && !rig.device->connected();
        },
        std::chrono::milliseconds(10000));
    other.join();
    ASSERT_TRUE(refused) << "the other machine's connection was never closed";
    EXPECT_EQ(sender, 0) << "the other machine's connections were not closed by the device";
    EXPECT_FALSE(rig.device->connected());

    // A program here that connects to the same address is taken.
    rig.client = std::make_unique<StreamClient>(port, boost::asio::ip::make_address(peer.hostAddress()));
    ASSERT_TRUE(eventually([&] {
        rig.device->PropertyChanged("AppRunMode");
        return rig.device->connected();
    }));
    for (int b = 1; b <= 50; ++b) {
        rig.client->sendBlock(rampBlock(100.0 * b));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(eventually([&] { return rig.device->streamStatistics().blocks >= 50; }));
    ASSERT_TRUE(rig.device->StopCapture());

    EXPECT_EQ(rig.countLogged(refusedLine), 1);
    EXPECT_EQ(rig.countLogged("[FerroxEMG] Capture ended"), 1);
    bool counted = false;
    for (const auto& entry : rig.device->LoggedMessages()) {
        counted =
            counted || entry.text.find("; 2 connections from other machines refused") != std::string::npos;
    }
    EXPECT_TRUE(counted) << "the refused connections are not counted in the capture's last line";
    const int32_t last = rig.device->GetMostRecentFrameID();
    int live = 0;
    for (int32_t id = std::max<int32_t>(0, last - rig.device->FrameBufferCapacity() + 1); id <= last; ++id) {
        std::vector<float> samples;
        int64_t committedNs = 0;
        ASSERT_TRUE(rig.device->ReadFrame(id, samples, committedNs));
        ASSERT_FALSE(!samples.empty() && samples[0] == 7777.0f)
            << "frame " << id << " carries the other machine's block";
        live += !samples.empty() && samples[0] >= 100.0f;
    }
    EXPECT_GT(live, 0);
}
