#include "device/FerroxEMG.h"

#include "companion/Paths.h"
#include "device/DeviceMessages.h"
#include "platform/NamedPipe.h"

#include <new>

namespace QuillmarkPluginDevices {

namespace {
using Base = AnalogSystem::cPluginDeviceBase;

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
    : sensors_(std::move(sensors)),
      receiver_(port, blockQueue_, playout_, kStaleAfter, kCompanionImageName, callbacks_),
      capture_(callbacks_, kValuesBufferSize) {
    for (const FlagRow& row : kDeviceFlagRows) {
        ModifyProperty(row.property, row.flags[0], row.flags[1], row.flags[2], row.flags[3]);
    }
    // Shown and saved with the device's other settings; every sample unless the user picks otherwise.
    SetProperty(kDeliveryPropName, static_cast<int>(Delivery::EverySample));
    ModifyProperty(kDeliveryPropName, true, false, false, true);

    // Only the first device of a process gets the pipe; later ones fail here and work on.
    pipeHandle_ = platform::createInboundNamedPipe(kCompanionPipeName);

    relay_.start();
}

FerroxEMG::~FerroxEMG() {
    // Every thread ends before any member it uses goes away; the receiver's sockets close with it.
    relay_.stop();
    capture_.stop();
    // Released with the device, so a device created later (or the plug-in loaded again) can own the
    // one-instance pipe instead of finding it held by a handle nobody has any more.
    platform::closeHandle(pipeHandle_);
}

void FerroxEMG::AcceptStream() {
    receiver_.accept();
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

void FerroxEMG::Callbacks::streamConnected(const char* peer, const char* sender, bool expected) {
    device_.LogError(0, FERROX_LOG_STREAM_CONNECTED, peer, *sender ? sender : "unknown");
    if (!expected) {
        device_.LogError(0, FERROX_LOG_STREAM_SENDER_UNEXPECTED, sender, kCompanionImageName);
    }
}

void FerroxEMG::Callbacks::foreignConnectionRefused(const char* peer) {
    device_.LogError(0, FERROX_LOG_FOREIGN_CONNECTION, peer);
}

void FerroxEMG::Callbacks::portUnavailable(unsigned short port, const char* why) {
    device_.LogError(0, FERROX_LOG_PORT_IN_USE, static_cast<unsigned>(port), why);
}

void FerroxEMG::Callbacks::portBound(unsigned short port) {
    device_.LogError(0, FERROX_LOG_PORT_BOUND, static_cast<unsigned>(port));
}

} // namespace QuillmarkPluginDevices
