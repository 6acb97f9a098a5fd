#include "host/DeviceFactory.h"
#include "host/Device.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace AnalogSystem {

namespace {
constexpr int kFrameBufferCapacity = 4096;
std::atomic<int> nextDeviceIdentity{1};
constexpr const char* kEnabledProperty = "AnalogChannel_Enabled";

int64_t steadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
} // namespace

IDevice::~IDevice() = default;

AnalogChannelDescriptor::AnalogChannelDescriptor(cPluginDeviceBase* owner, const char* name, int type)
    : owner_(owner), name_(name ? name : ""), type_(type) {}
AnalogChannelDescriptor::~AnalogChannelDescriptor() = default;

void AnalogChannelDescriptor::PropertyStored(const char* name) {
    if (owner_ && name && std::strcmp(name, kEnabledProperty) == 0) {
        owner_->ActiveChannelsChanged();
    }
}

struct cPluginDeviceBase::Impl {
    struct Slot {
        std::unique_ptr<AnalogFrameBase> frame;
        int32_t id = 0;
        bool committed = false;
        int64_t committedNs = 0;
    };

    int sampleWidth = 4;
    int identity = 0;
    std::atomic<bool> capturing{false};
    std::atomic<IDeviceManager*> manager{nullptr};
    std::atomic<int32_t> frameCounter{0};

    mutable std::mutex descriptorMutex;
    std::vector<std::unique_ptr<AnalogChannelDescriptor>> descriptors;
    mutable std::vector<int> active;
    mutable std::atomic<bool> activeDirty{true};

    mutable std::mutex frameMutex;
    std::vector<Slot> ring = std::vector<Slot>(kFrameBufferCapacity);
    int pendingSlot = -1;
    int refuse = 0;
    int32_t mostRecentId = -1;
    int mostRecentIndex = -1;
    int64_t committed = 0;

    mutable std::mutex logMutex;
    std::vector<LogEntry> log;

    static int slotOf(int32_t id) {
        const int m = static_cast<int>(id % kFrameBufferCapacity);
        return m < 0 ? m + kFrameBufferCapacity : m;
    }

    // Caller holds descriptorMutex.
    void refreshActive() const {
        if (!activeDirty.exchange(false)) {
            return;
        }
        active.clear();
        for (size_t i = 0; i < descriptors.size(); ++i) {
            bool enabled = false;
            if (descriptors[i]->GetProperty(kEnabledProperty, enabled) && enabled) {
                active.push_back(static_cast<int>(i));
            }
        }
    }
};

cPluginDeviceBase::cPluginDeviceBase(int sampleWidth) : impl_(std::make_unique<Impl>()) {
    impl_->sampleWidth = sampleWidth;
    impl_->identity = nextDeviceIdentity.fetch_add(1);
}
cPluginDeviceBase::~cPluginDeviceBase() = default;

bool cPluginDeviceBase::Configure() {
    return true;
}
bool cPluginDeviceBase::Deconfigure() {
    return true;
}
bool cPluginDeviceBase::Zero() {
    return true;
}
bool cPluginDeviceBase::PrepareForSync() {
    return true;
}
bool cPluginDeviceBase::PreCapture() {
    return true;
}
bool cPluginDeviceBase::StartCapture() {
    // The whole frame ring is made before the capture, for the channels active now, as a host does: no
    // frame is allocated while frames are being written.
    const int channels = ActiveChannelCount();
    {
        std::lock_guard<std::mutex> lock(impl_->frameMutex);
        for (Impl::Slot& slot : impl_->ring) {
            if (!slot.frame || slot.frame->ChannelCount() != channels) {
                slot.frame.reset(MakeFrame(channels));
            }
        }
    }
    impl_->capturing = true;
    return true;
}
bool cPluginDeviceBase::StopCapture() {
    impl_->capturing = false;
    return true;
}
bool cPluginDeviceBase::PostCapture() {
    return true;
}
bool cPluginDeviceBase::IsCapturing() const {
    return impl_->capturing;
}

int cPluginDeviceBase::ChannelDescriptorCount() const {
    std::lock_guard<std::mutex> lock(impl_->descriptorMutex);
    return static_cast<int>(impl_->descriptors.size());
}

cPropertySet* cPluginDeviceBase::ChannelDescriptor(const char* name) {
    if (!name) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(impl_->descriptorMutex);
    for (auto& d : impl_->descriptors) {
        if (std::strcmp(d->Name(), name) == 0) {
            return d.get();
        }
    }
    return nullptr;
}

cPropertySet* cPluginDeviceBase::ChannelDescriptor(int index) {
    std::lock_guard<std::mutex> lock(impl_->descriptorMutex);
    if (index < 0 || index >= static_cast<int>(impl_->descriptors.size())) {
        return nullptr;
    }
    return impl_->descriptors[static_cast<size_t>(index)].get();
}

int cPluginDeviceBase::ActiveChannelCount() const {
    std::lock_guard<std::mutex> lock(impl_->descriptorMutex);
    impl_->refreshActive();
    return static_cast<int>(impl_->active.size());
}

int cPluginDeviceBase::ChannelID(int activeIndex) const {
    std::lock_guard<std::mutex> lock(impl_->descriptorMutex);
    impl_->refreshActive();
    if (activeIndex < 0 || activeIndex >= static_cast<int>(impl_->active.size())) {
        return -1;
    }
    return impl_->active[static_cast<size_t>(activeIndex)];
}

cPropertySet* cPluginDeviceBase::ActiveChannelDescriptor(int activeIndex) {
    std::lock_guard<std::mutex> lock(impl_->descriptorMutex);
    impl_->refreshActive();
    if (activeIndex < 0 || activeIndex >= static_cast<int>(impl_->active.size())) {
        return nullptr;
    }
    return impl_->descriptors[static_cast<size_t>(impl_->active[static_cast<size_t>(activeIndex)])].get();
}

AnalogChannelDescriptor* cPluginDeviceBase::AddChannelDescriptor(char* name, int type) {
    std::lock_guard<std::mutex> lock(impl_->descriptorMutex);
    impl_->descriptors.push_back(std::make_unique<AnalogChannelDescriptor>(this, name, type));
    impl_->activeDirty = true;
    return impl_->descriptors.back().get();
}

void cPluginDeviceBase::ActiveChannelsChanged() {
    impl_->activeDirty = true;
}

AnalogFrameBase* cPluginDeviceBase::BeginFrameUpdate(int32_t frameID, bool) {
    const int channels = ActiveChannelCount();
    std::lock_guard<std::mutex> lock(impl_->frameMutex);
    if (impl_->refuse > 0) {
        --impl_->refuse;
        return nullptr;
    }
    const int index = Impl::slotOf(frameID);
    Impl::Slot& slot = impl_->ring[static_cast<size_t>(index)];
    if (!slot.frame || slot.frame->ChannelCount() != channels) {
        slot.frame.reset(MakeFrame(channels));
    }
    slot.committed = false;
    slot.id = frameID;
    impl_->pendingSlot = slot.frame ? index : -1;
    return slot.frame.get();
}

void cPluginDeviceBase::EndFrameUpdate() {
    std::lock_guard<std::mutex> lock(impl_->frameMutex);
    if (impl_->pendingSlot < 0) {
        return;
    }
    Impl::Slot& slot = impl_->ring[static_cast<size_t>(impl_->pendingSlot)];
    slot.committed = true;
    slot.committedNs = steadyNowNs();
    impl_->mostRecentId = slot.id;
    impl_->mostRecentIndex = impl_->pendingSlot;
    ++impl_->committed;
    impl_->pendingSlot = -1;
}

void cPluginDeviceBase::UpdateDriftCorrection(int32_t) {}

const AnalogFrameBase* cPluginDeviceBase::GetFrameByDeviceFrameID(int32_t frameID) const {
    std::lock_guard<std::mutex> lock(impl_->frameMutex);
    const Impl::Slot& slot = impl_->ring[static_cast<size_t>(Impl::slotOf(frameID))];
    return slot.committed && slot.id == frameID ? slot.frame.get() : nullptr;
}

const AnalogFrameBase* cPluginDeviceBase::GetFrameByBufferIndex(int index) const {
    if (index < 0 || index >= kFrameBufferCapacity) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(impl_->frameMutex);
    const Impl::Slot& slot = impl_->ring[static_cast<size_t>(index)];
    return slot.committed ? slot.frame.get() : nullptr;
}

int cPluginDeviceBase::GetMostRecentFrameIndex() const {
    std::lock_guard<std::mutex> lock(impl_->frameMutex);
    return impl_->mostRecentIndex;
}

int32_t cPluginDeviceBase::GetMostRecentFrameID() const {
    std::lock_guard<std::mutex> lock(impl_->frameMutex);
    return impl_->mostRecentId;
}

bool cPluginDeviceBase::MocapFrameIDToDeviceFrameIDs(int32_t mocapFrameID, int32_t& first,
                                                     int32_t& last) const {
    int multiple = 1;
    if (!GetProperty(kMocapRateMultiplePropName, multiple) || multiple < 1) {
        multiple = 1;
    }
    first = mocapFrameID * multiple;
    last = first + multiple - 1;
    return true;
}

bool cPluginDeviceBase::ReadFrame(int32_t frameID, std::vector<float>& samples, int64_t& committedNs) const {
    std::lock_guard<std::mutex> lock(impl_->frameMutex);
    const Impl::Slot& slot = impl_->ring[static_cast<size_t>(Impl::slotOf(frameID))];
    if (!slot.committed || slot.id != frameID) {
        return false;
    }
    const auto* typed = dynamic_cast<const AnalogFrame<float>*>(slot.frame.get());
    samples.clear();
    if (typed) {
        samples.assign(typed->Samples(), typed->Samples() + typed->ChannelCount());
    }
    committedNs = slot.committedNs;
    return true;
}

void cPluginDeviceBase::RefuseFrames(int count) {
    std::lock_guard<std::mutex> lock(impl_->frameMutex);
    impl_->refuse = count;
}

int cPluginDeviceBase::FrameBufferCapacity() const {
    return kFrameBufferCapacity;
}

int64_t cPluginDeviceBase::CommittedFrameCount() const {
    std::lock_guard<std::mutex> lock(impl_->frameMutex);
    return impl_->committed;
}

void cPluginDeviceBase::PropertyChanged(const char*) {}
void cPluginDeviceBase::ChannelPropertyChanged(const char*, const char*) {}
bool cPluginDeviceBase::ValidatePropertyChange(const char*) {
    return true;
}
const char* cPluginDeviceBase::ProfileTypeName() const {
    return "AnalogDevice";
}
const char* cPluginDeviceBase::ProfileLabel() const {
    return "Analog device";
}
const char* cPluginDeviceBase::ProfileDescription() const {
    return "Analog plug-in device";
}
bool cPluginDeviceBase::SaveToProfile(cPropertySet&) const {
    return true;
}
bool cPluginDeviceBase::LoadFromProfile(const cPropertySet&) {
    return true;
}
void cPluginDeviceBase::SetDeviceManager(IDeviceManager* manager) {
    impl_->manager = manager;
}
IDeviceManager* cPluginDeviceBase::DeviceManager() const {
    return impl_->manager;
}
const char* cPluginDeviceBase::LastError() const {
    return "";
}
void cPluginDeviceBase::MessageFromHost(int, const char*) {}
void cPluginDeviceBase::RegisterFactory(IDeviceFactory*) {}

int32_t cPluginDeviceBase::FrameCounter() const {
    return impl_->frameCounter;
}
void cPluginDeviceBase::SetFrameCounter(int32_t frameCounter) {
    impl_->frameCounter = frameCounter;
}
int cPluginDeviceBase::SampleWidth() const {
    return impl_->sampleWidth;
}
int cPluginDeviceBase::DeviceIdentity() const {
    return impl_->identity;
}

void cPluginDeviceBase::LogError(int level, const char* format, ...) {
    if (!format) {
        return;
    }
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text;
    if (needed > 0) {
        text.resize(static_cast<size_t>(needed) + 1);
        std::vsnprintf(&text[0], text.size(), format, args);
        text.resize(static_cast<size_t>(needed));
    }
    va_end(args);
    std::lock_guard<std::mutex> lock(impl_->logMutex);
    std::printf("[host] log %d: %s\n", level, text.c_str());
    std::fflush(stdout);
    impl_->log.push_back(LogEntry{level, std::move(text)});
}

std::vector<LogEntry> cPluginDeviceBase::LoggedMessages() const {
    std::lock_guard<std::mutex> lock(impl_->logMutex);
    return impl_->log;
}

template class cPluginDevice<float>;

} // namespace AnalogSystem
