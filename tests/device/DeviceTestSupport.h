#pragma once

#include "device/FerroxEMG.h"
#include "host/HostDeviceManager.h"
#include "tests/support/Sandbox.h"
#include "tests/support/StreamClient.h"

#include <memory>
#include <string>
#include <vector>

namespace ferrox_test {

// A device on a free port (or on `port`) with `channels` descriptors named like the factory names them,
// the first `enabled` of them active, and a device manager that records status texts.
struct DeviceRig {
    explicit DeviceRig(int channels = 8, int enabled = -1, unsigned short port = 0);
    ~DeviceRig();

    void connectStream(); // a client connects and "AppRunMode" accepts it
    // Frames take the second-newest block, as the tests of that delivery expect; they call the fill
    // themselves, which in the other delivery would take blocks from the capture.
    void newestSample();
    std::vector<std::string> statusTexts() const { return manager.Messages(); }
    bool logged(const std::string& text) const { return countLogged(text, true) > 0; }
    // Log lines that start with `prefix` (or are exactly it).
    int countLogged(const std::string& prefix, bool whole = false) const;
    std::string commandFile() const;

    Sandbox sandbox;
    AnalogSystem::HostDeviceManager manager;
    std::unique_ptr<QuillmarkPluginDevices::FerroxEMG> device;
    std::unique_ptr<StreamClient> client;
};

} // namespace ferrox_test
