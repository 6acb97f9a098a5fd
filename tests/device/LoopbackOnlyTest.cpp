// The sample stream listener must be out of reach of every other machine. A network namespace joined
// to this one by a veth pair plays the other machine: it reaches this side's veth address, but never
// the device's port. A listener on the wildcard address proves the path itself works.
#include "tests/device/DeviceTestSupport.h"

#include "platform/ChildProcess.h"
#include "platform/Os.h"
#include "platform/Process.h"

#include <gtest/gtest.h>

#include <boost/asio/ip/tcp.hpp>

#include <random>
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

// Exits 0 when a TCP connection to argv[1]:argv[2] is made, 1 when it is refused, 2 on anything else.
constexpr const char* kConnectProbe = R"(import socket, sys
try:
    socket.create_connection((sys.argv[1], int(sys.argv[2])), timeout=5).close()
except ConnectionRefusedError:
    sys.exit(1)
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

    // The probe's exit code for a connection from inside the namespace to this side's veth address.
    int connectToHostSide(unsigned short port) const {
        return sh("timeout 15 ip netns exec " + namespace_ + " python3 -c '" + kConnectProbe + "' " +
                  hostAddress_ + " " + std::to_string(port));
    }

private:
    std::string namespace_;
    std::string hostLink_;
    std::string hostAddress_;
    std::string peerAddress_;
    bool namespaceMade_ = false;
    bool linkMade_ = false;
};

} // namespace

TEST(LoopbackOnly, TheStreamPortIsUnreachableFromAnotherNetworkNamespace) {
    if (platform::kIsWindows) {
        GTEST_SKIP() << "network namespaces are a Linux facility";
    }
    if (sh("command -v python3") != 0) {
        GTEST_SKIP() << "no python3 for the connection probe";
    }
    PeerNamespace peer;
    int joined = -1;
    const std::string unavailable = peer.create(joined);
    if (!unavailable.empty()) {
        GTEST_SKIP() << "no network namespace: " << unavailable;
    }
    ASSERT_EQ(joined, 0) << "the veth pair could not be set up";

    DeviceRig rig(2);
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor control(io, {boost::asio::ip::address_v4::any(), 0});

    EXPECT_EQ(peer.connectToHostSide(control.local_endpoint().port()), 0)
        << "the namespace cannot reach a wildcard listener, so the check below would prove nothing";
    const int device = peer.connectToHostSide(rig.device->listeningPort());
    EXPECT_NE(device, 0) << "the stream listener accepted a connection from outside this machine";
    EXPECT_EQ(device, 1) << "expected the connection to be refused";

    // Nothing from outside was left pending for the device to take.
    rig.device->PropertyChanged("AppRunMode");
    EXPECT_FALSE(rig.device->connected());
}
