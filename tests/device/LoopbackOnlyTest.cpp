// The sample stream listener must be out of reach of every other machine. A network namespace joined
// to this one by a veth pair plays the other machine: it reaches this side's veth address, but never
// the device's port. A listener on the wildcard address proves the path itself works.
#include "tests/device/DeviceTestSupport.h"

#include "platform/ChildProcess.h"
#include "platform/Environment.h"
#include "platform/Os.h"

#include <gtest/gtest.h>

#include <boost/asio/ip/tcp.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using namespace ferrox_test;

namespace {

constexpr auto kCommandLimit = std::chrono::seconds(15);

// The system's own folders first: a wrapper earlier on PATH is no use inside the namespace.
std::string findProgram(const std::string& name) {
    std::vector<std::string> dirs = {"/usr/sbin", "/sbin", "/usr/bin", "/bin"};
    if (const auto path = platform::getEnv("PATH")) {
        std::stringstream list(*path);
        for (std::string dir; std::getline(list, dir, ':');) {
            dirs.push_back(dir);
        }
    }
    for (const std::string& dir : dirs) {
        std::error_code ec;
        std::string candidate = dir + "/" + name;
        if (!dir.empty() && std::filesystem::is_regular_file(candidate, ec)) {
            return candidate;
        }
    }
    return "";
}

// The exit code of a command run to its end, or -1 when it could not start or overran its limit
// (it is then killed by its id).
int run(const std::string& program, const std::vector<std::string>& arguments) {
    platform::ChildProcess child;
    if (!child.start(program, arguments)) {
        return -1;
    }
    if (const auto code = child.waitFor(kCommandLimit)) {
        return *code;
    }
    child.kill();
    return -1;
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
    PeerNamespace() : ip_(findProgram("ip")) {
        std::random_device random;
        const unsigned tag = random() & 0xFFFFFFu;
        char hex[8];
        std::snprintf(hex, sizeof hex, "%06x", tag);
        namespace_ = "ferrox-" + std::to_string(platform::currentProcessId()) + "-" + hex;
        hostLink_ = std::string("fxh") + hex;
        peerLink_ = std::string("fxp") + hex;
        const std::string subnet =
            "10." + std::to_string(200 + random() % 50) + "." + std::to_string(random() % 256) + ".";
        hostAddress_ = subnet + "1";
        peerAddress_ = subnet + "2";
    }
    ~PeerNamespace() {
        if (linkMade_) {
            run(ip_, {"link", "del", hostLink_});
        }
        if (namespaceMade_) {
            run(ip_, {"netns", "del", namespace_});
        }
    }
    PeerNamespace(const PeerNamespace&) = delete;
    PeerNamespace& operator=(const PeerNamespace&) = delete;

    // "" once both ends are up; otherwise why the namespace cannot be had here.
    std::string create() {
        if (ip_.empty()) {
            return "no ip command";
        }
        int code = run(ip_, {"netns", "add", namespace_});
        if (code != 0) {
            return "ip netns add exited " + std::to_string(code) + " (needs root or CAP_NET_ADMIN)";
        }
        namespaceMade_ = true;
        code = run(ip_, {"link", "add", hostLink_, "type", "veth", "peer", "name", peerLink_});
        if (code != 0) {
            return "ip link add ... type veth exited " + std::to_string(code);
        }
        linkMade_ = true;
        const std::vector<std::vector<std::string>> steps = {
            {"link", "set", peerLink_, "netns", namespace_},
            {"addr", "add", hostAddress_ + "/24", "dev", hostLink_},
            {"link", "set", hostLink_, "up"},
            {"-n", namespace_, "addr", "add", peerAddress_ + "/24", "dev", peerLink_},
            {"-n", namespace_, "link", "set", peerLink_, "up"},
            {"-n", namespace_, "link", "set", "lo", "up"},
        };
        for (const auto& step : steps) {
            if (run(ip_, step) != 0) {
                failedStep_ = step;
                return "";
            }
        }
        return "";
    }
    const std::vector<std::string>& failedStep() const { return failedStep_; }

    // The probe's exit code for a connection from inside the namespace to this side's veth address.
    int connectToHostSide(const std::string& python, unsigned short port) const {
        return run(ip_, {"netns", "exec", namespace_, python, "-c", kConnectProbe, hostAddress_,
                         std::to_string(port)});
    }

private:
    std::string ip_;
    std::string namespace_;
    std::string hostLink_;
    std::string peerLink_;
    std::string hostAddress_;
    std::string peerAddress_;
    bool namespaceMade_ = false;
    bool linkMade_ = false;
    std::vector<std::string> failedStep_;
};

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const auto& w : words) {
        text += (text.empty() ? "" : " ") + w;
    }
    return text;
}

} // namespace

TEST(LoopbackOnly, TheStreamPortIsUnreachableFromAnotherNetworkNamespace) {
    if (platform::kIsWindows) {
        GTEST_SKIP() << "network namespaces are a Linux facility";
    }
    const std::string python = findProgram("python3");
    if (python.empty()) {
        GTEST_SKIP() << "no python3 for the connection probe";
    }
    PeerNamespace peer;
    const std::string unavailable = peer.create();
    if (!unavailable.empty()) {
        GTEST_SKIP() << "no network namespace: " << unavailable;
    }
    ASSERT_TRUE(peer.failedStep().empty()) << "ip " << joined(peer.failedStep()) << " failed";

    DeviceRig rig(2);
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor control(io, {boost::asio::ip::address_v4::any(), 0});
    const unsigned short controlPort = control.local_endpoint().port();

    EXPECT_EQ(peer.connectToHostSide(python, controlPort), 0)
        << "the namespace cannot reach a wildcard listener, so the check below would prove nothing";
    const int device = peer.connectToHostSide(python, rig.device->listeningPort());
    EXPECT_NE(device, 0) << "the stream listener accepted a connection from outside this machine";
    EXPECT_EQ(device, 1) << "expected the connection to be refused";

    // Nothing from outside was left pending for the device to take.
    rig.device->PropertyChanged("AppRunMode");
    EXPECT_FALSE(rig.device->connected());
}
