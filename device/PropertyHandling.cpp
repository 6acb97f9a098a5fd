#include "device/FerroxEMG.h"

#include "companion/CompanionController.h"
#include "device/DeviceMessages.h"
#include "platform/Sleep.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

namespace QuillmarkPluginDevices {

namespace {
constexpr const char* kDeviceLabel = "FerroxEMG";
constexpr auto kAcceptDelay = std::chrono::milliseconds(5);

// The enumerated device properties and their value labels.
enum class Enumerated { RunMode, Delivery };
struct RunModeRow {
    const char* property;
    const char* labels[3];
    int count;
    Enumerated what;
};
const RunModeRow kRunModeTable[] = {
    {"Configuration", {"EMG", "EMG plus Accelerometer", "EMG plus Gyrscope"}, 3, Enumerated::RunMode},
    {FerroxEMG::kDeliveryPropName, {"Every sample", "Newest sample", nullptr}, 2, Enumerated::Delivery},
};

constexpr int kEmgNames = 129; // EMG_Signal 0 .. EMG_Signal 128
constexpr int kSensorsPerMode = 32;

bool is(const char* a, const char* b) {
    return std::strcmp(a, b) == 0;
}
} // namespace

void FerroxEMG::postStatus(const char* text) {
    if (AnalogSystem::IDeviceManager* manager = DeviceManager()) {
        manager->PostDeviceMessage(this, text, 0);
    }
}

void FerroxEMG::listenAgain() {
    if (!receiver_.listen()) {
        postStatus(FERROX_STATUS_PORT_IN_USE);
    }
}

void FerroxEMG::PropertyChanged(const char* propertyName) {
    if (!propertyName) {
        return;
    }
    // Runs on the host's thread, across the module boundary: nothing may escape.
    try {
        handlePropertyChange(propertyName);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "[FerroxEMG] property change (%s) failed: %s\n", propertyName, e.what());
    } catch (...) {
        std::fprintf(stderr, "[FerroxEMG] property change (%s) failed\n", propertyName);
    }
}

void FerroxEMG::handlePropertyChange(const char* name) {
    LogError(0, FERROX_LOG_PROPERTY_CHANGED, name);

    if (is(name, "Enabled")) {
        SetProperty(kDataStatePropName, 1);
    } else if (is(name, "Scan_Sensor")) {
        CompanionController::instance()->sendCommand("Scan_Sensor");
        postStatus(FERROX_STATUS_SCANNING);
        SetProperty("Scan_Sensor", false);
        postStatus(FERROX_STATUS_SCANNED);
    } else if (is(name, "AppRunMode")) {
        listenAgain();
        // A stalled stream counts as none: a companion that hung and was started again is taken.
        if (!receiver_.live()) {
            try {
                postStatus(FERROX_STATUS_COLLECTING);
                platform::sleepFor(kAcceptDelay);
                AcceptStream();
            } catch (const std::exception&) {
                // No connection yet: the user repeats the change once the companion has connected.
            }
        }
    } else if (is(name, "Stop")) {
        if (!stopToggle_) {
            CompanionController::instance()->sendCommand("Stop");
            postStatus(FERROX_STATUS_STOPPING);
        }
        stopToggle_ = !stopToggle_;
    } else {
        for (const RunModeRow& row : kRunModeTable) {
            if (!is(name, row.property)) {
                continue;
            }
            int index = 0;
            if (!GetProperty(name, index)) {
                return;
            }
            LogError(0, FERROX_LOG_PROPERTY_INTEGER, index);
            if (index < 0 || index >= row.count) {
                LogError(0, FERROX_LOG_PROPERTY_INVALID_INDEX, index);
            } else {
                LogError(0, FERROX_LOG_PROPERTY_MAPPED, row.labels[index]);
                if (row.what == Enumerated::RunMode) {
                    applyRunMode(index);
                } else {
                    delivery_ = index;
                    playout_.setActive(static_cast<Delivery>(index) == Delivery::EverySample);
                }
            }
        }
    }
}

void FerroxEMG::applyRunMode(int index) {
    const char* label = kRunModeTable[0].labels[index];
    CompanionController::instance()->sendCommand(label);

    auto rename = [this](int descriptor, const std::string& name) {
        if (AnalogSystem::cPropertySet* d = ChannelDescriptor(descriptor)) {
            d->SetProperty("AnalogChannel_Name", name.c_str());
        }
    };
    if (index == 0) {
        for (int m = 0; m < kEmgNames; ++m) {
            rename(m, "EMG_Signal " + std::to_string(m));
        }
        return;
    }
    const char* const accelerometer[] = {" EMG", " ACCX", " ACCY", " ACCZ"};
    const char* const gyroscope[] = {" EMG", " GYRX", " GYRY", " GYRZ"};
    const char* const* suffixes = index == 1 ? accelerometer : gyroscope;
    for (int u = 1; u <= kSensorsPerMode; ++u) {
        for (int axis = 0; axis < 4; ++axis) {
            rename(4 * (u - 1) + axis, "Sensor " + std::to_string(u) + suffixes[axis]);
        }
    }
}

void FerroxEMG::ChannelPropertyChanged(const char* channelName, const char* propertyName) {
    if (!channelName || !propertyName) {
        return;
    }
    AnalogSystem::cPropertySet* descriptor = ChannelDescriptor(channelName);
    if (!descriptor || !is(propertyName, "AnalogChannel_Enabled")) {
        return;
    }
    bool enabled = false;
    if (!descriptor->GetProperty("AnalogChannel_Enabled", enabled)) {
        enabled = false;
    }
    LogError(0, FERROX_LOG_CHANNEL_ENABLED, channelName, enabled ? 1 : 0);
}

bool FerroxEMG::PrepareForSync() {
    LogError(0, FERROX_LOG_READY_FOR_SYNC, kDeviceLabel);
    SetProperty(kNeedDeviceSyncFramePropName, true);
    SetProperty(kSyncStatusPropName, 2);
    return true;
}

bool FerroxEMG::Configure() {
    if (!Deconfigure()) {
        return false;
    }
    return cPluginDevice<float>::Configure();
}

bool FerroxEMG::Deconfigure() {
    return cPluginDevice<float>::Deconfigure();
}

} // namespace QuillmarkPluginDevices
