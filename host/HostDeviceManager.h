#pragma once

#include "host/Device.h"

#include <memory>
#include <string>
#include <vector>

namespace AnalogSystem {

// The host model's device manager: keeps every posted status text in order and echoes it.
class ANALOGSYSTEM_API HostDeviceManager : public IDeviceManager {
public:
    HostDeviceManager();
    ~HostDeviceManager() override;

    void AttachDevice(IDevice* device) override;
    void DetachDevice(IDevice* device) override;
    int DeviceCount() const override;
    void RequestRefresh(IDevice* device) override;
    void PostDeviceMessage(IDevice* device, const char* text, int kind) override;

    std::vector<std::string> Messages() const;
    void SetEcho(bool echo);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace AnalogSystem
