#include "device/FerroxEMG.h"

#include "companion/Paths.h"
#include "platform/Listener.h"
#include "platform/NamedPipe.h"

#include <boost/asio/ip/address_v4.hpp>
#include <boost/system/system_error.hpp>

#include <cstdio>
#include <new>

namespace QuillmarkPluginDevices {

namespace {
using Base = AnalogSystem::cPluginDeviceBase;

void check(const boost::system::error_code& ec, const char* step) {
    if (ec) {
        throw boost::system::system_error(ec, step);
    }
}

struct FlagRow {
    const char* property;
    bool flags[4];
};

const FlagRow kDeviceFlagRows[] = {
    {Base::kOrderPropName, {true, true, false, true}},
    {Base::kMasterSerialPropName, {true, true, false, true}},
    {Base::kUseExternalClockPropName, {false, false, false, true}},
    {Base::kExternalTriggerTerminalPropName, {false, false, false, true}},
    {Base::kCalOffsetPropName, {false, true, false, true}},
    {Base::kCalSquareRotationPropName, {true, true, false, true}},
    {Base::kZeroPropName, {false, false, false, true}},
    {Base::kAssetPropName, {true, true, false, true}},
    {Base::kUserDataPropName, {true, true, false, true}},
};
} // namespace

FerroxEMG::FerroxEMG(std::vector<SensorRecord>&& sensors, unsigned short port)
    : sensors_(std::move(sensors)), listeningPort_(port), listener_(ioContext_), stream_(ioContext_) {
    // The companion always runs on this machine: listen on loopback only, so nobody on the lab
    // network can feed samples into a recording or take the one stream connection.
    const boost::asio::ip::tcp::endpoint endpoint(boost::asio::ip::address_v4::loopback(), port);
    boost::system::error_code ec;
    listener_.open(endpoint.protocol(), ec);
    check(ec, "open");
    platform::setListenerAddressReuse(listener_, ec);
    check(ec, "set_option");
    listener_.bind(endpoint, ec);
    check(ec, "bind");
    listener_.listen(boost::asio::socket_base::max_listen_connections, ec);
    check(ec, "listen");
    listeningPort_ = listener_.local_endpoint(ec).port();

    for (const FlagRow& row : kDeviceFlagRows) {
        ModifyProperty(row.property, row.flags[0], row.flags[1], row.flags[2], row.flags[3]);
    }

    // Only the first device of a process gets the pipe; later ones fail here and work on.
    pipeHandle_ = platform::createInboundNamedPipe(kCompanionPipeName);

    listener_.non_blocking(true, ec);
    check(ec, "non_blocking");

    relay_.start();
}

FerroxEMG::~FerroxEMG() {
    // Every thread ends before any member it uses goes away.
    relay_.stop();
    captureRun_ = false;
    captureStop_.raise();
    stopReceiver();
    if (captureThread_.held()) {
        captureThread_.join();
    }
    boost::system::error_code ec;
    stream_.close(ec);
    listener_.close(ec);
    // Released with the device, so a device created later (or the plug-in loaded again) can own the
    // one-instance pipe instead of finding it held by a handle nobody has any more.
    platform::closeHandle(pipeHandle_);
}

AnalogSystem::AnalogFrame<float>* FerroxEMG::MakeFrame(int channelCount) const {
    // Called from the host's side of the frame buffer: a failed allocation is a missing frame,
    // never an exception in the host.
    auto* frame = new (std::nothrow) AnalogSystem::AnalogFrame<float>(channelCount);
    if (frame && channelCount > 0 && !frame->Samples()) {
        delete frame;
        return nullptr;
    }
    return frame;
}

} // namespace QuillmarkPluginDevices
