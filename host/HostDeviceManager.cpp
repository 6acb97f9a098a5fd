#include "host/HostDeviceManager.h"

#include <cstdio>
#include <mutex>

namespace AnalogSystem {

IDeviceManager::~IDeviceManager() = default;

struct HostDeviceManager::Impl {
    mutable std::mutex mutex;
    std::vector<std::string> messages;
    int devices = 0;
    bool echo = true;
};

HostDeviceManager::HostDeviceManager() : impl_(std::make_unique<Impl>()) {}
HostDeviceManager::~HostDeviceManager() = default;

void HostDeviceManager::AttachDevice(IDevice*) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    ++impl_->devices;
}
void HostDeviceManager::DetachDevice(IDevice*) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    --impl_->devices;
}
int HostDeviceManager::DeviceCount() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->devices;
}
void HostDeviceManager::RequestRefresh(IDevice*) {}

void HostDeviceManager::PostDeviceMessage(IDevice*, const char* text, int) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->messages.emplace_back(text ? text : "");
    if (impl_->echo) {
        std::printf("[host] status: %s\n", text ? text : "");
        std::fflush(stdout);
    }
}

std::vector<std::string> HostDeviceManager::Messages() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->messages;
}

void HostDeviceManager::SetEcho(bool echo) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->echo = echo;
}

} // namespace AnalogSystem
