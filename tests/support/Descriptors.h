#pragma once

#include "host/Device.h"

#include <string>
#include <vector>

namespace ferrox_test {

// The names of a device's channel descriptors in order, as the host reads them.
inline std::vector<std::string> descriptorNames(AnalogSystem::IDevice& device) {
    std::vector<std::string> names;
    for (int i = 0; i < device.ChannelDescriptorCount(); ++i) {
        const auto* d =
            dynamic_cast<const AnalogSystem::AnalogChannelDescriptor*>(device.ChannelDescriptor(i));
        names.emplace_back(d ? d->Name() : "<not a descriptor>");
    }
    return names;
}

} // namespace ferrox_test
