#pragma once

#include "host/AnalogSystemApi.h"
#include "host/Device.h"

#include <memory>
#include <string>

namespace AnalogSystem {

class ANALOGSYSTEM_API IDeviceFactory {
public:
    virtual ~IDeviceFactory();
    virtual const char* DeviceIdentifier() = 0;
    virtual const char* DeviceName() const = 0;
    // The host receives the only reference to the new device.
    virtual std::unique_ptr<IDevice> CreateDevice() = 0;
};

class ANALOGSYSTEM_API PluginDeviceFactory : public IDeviceFactory {
public:
    explicit PluginDeviceFactory(const char* deviceName);
    ~PluginDeviceFactory() override;
    const char* DeviceName() const override;

private:
    std::string deviceName_;
};

// Receives the factories of an enumeration; the host owns each factory from then on.
class ANALOGSYSTEM_API FactorySink {
public:
    virtual ~FactorySink();
    virtual void AddFactory(std::unique_ptr<IDeviceFactory> factory) = 0;
};

// Receives what unload has to tell the host.
class ANALOGSYSTEM_API UnloadSink {
public:
    virtual ~UnloadSink();
    virtual void UnloadStarted() = 0;
    virtual void DevicesReleased() = 0;
    virtual void DeviceIdentifierReleased(const char* deviceIdentifier) = 0;
};

} // namespace AnalogSystem
