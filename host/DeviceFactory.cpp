#include "host/DeviceFactory.h"

namespace AnalogSystem {

IDeviceFactory::~IDeviceFactory() = default;
PluginDeviceFactory::PluginDeviceFactory(const char* deviceName)
    : deviceName_(deviceName ? deviceName : "") {}
PluginDeviceFactory::~PluginDeviceFactory() = default;
const char* PluginDeviceFactory::DeviceName() const {
    return deviceName_.c_str();
}
FactorySink::~FactorySink() = default;
UnloadSink::~UnloadSink() = default;

} // namespace AnalogSystem
