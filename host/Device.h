#pragma once

#include "host/AnalogFrame.h"
#include "host/AnalogSystemApi.h"
#include "host/PropertySet.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace AnalogSystem {

class IDevice;
class IDeviceFactory;

// The host's side of a device: where status texts go.
class ANALOGSYSTEM_API IDeviceManager {
public:
    virtual ~IDeviceManager();
    virtual void AttachDevice(IDevice* device) = 0;
    virtual void DetachDevice(IDevice* device) = 0;
    virtual int DeviceCount() const = 0;
    virtual void RequestRefresh(IDevice* device) = 0;
    virtual void PostDeviceMessage(IDevice* device, const char* text, int kind) = 0;
};

// The operations a host calls on every device, in this order.
class ANALOGSYSTEM_API IDevice {
public:
    virtual ~IDevice();
    virtual bool Configure() = 0;
    virtual bool Deconfigure() = 0;
    virtual bool Zero() = 0;
    virtual bool PrepareForSync() = 0;
    virtual bool PreCapture() = 0;
    virtual bool StartCapture() = 0;
    virtual bool StopCapture() = 0;
    virtual bool PostCapture() = 0;
    virtual bool IsCapturing() const = 0;
    virtual int ChannelDescriptorCount() const = 0;
    virtual cPropertySet* ChannelDescriptor(const char* name) = 0;
    virtual cPropertySet* ChannelDescriptor(int index) = 0;
    virtual int ActiveChannelCount() const = 0;
    virtual int ChannelID(int activeIndex) const = 0;
    virtual cPropertySet* ActiveChannelDescriptor(int activeIndex) = 0;
    virtual AnalogFrameBase* BeginFrameUpdate(int32_t frameID, bool newFrame) = 0;
    virtual void EndFrameUpdate() = 0;
    virtual void UpdateDriftCorrection(int32_t mocapFrameID) = 0;
    virtual const AnalogFrameBase* GetFrameByDeviceFrameID(int32_t frameID) const = 0;
    virtual const AnalogFrameBase* GetFrameByBufferIndex(int index) const = 0;
    virtual int GetMostRecentFrameIndex() const = 0;
    virtual int32_t GetMostRecentFrameID() const = 0;
    virtual bool MocapFrameIDToDeviceFrameIDs(int32_t mocapFrameID, int32_t& first, int32_t& last) const = 0;
    virtual void PropertyChanged(const char* propertyName) = 0;
    virtual void ChannelPropertyChanged(const char* channelName, const char* propertyName) = 0;
    virtual bool ValidatePropertyChange(const char* propertyName) = 0;
    virtual const char* ProfileTypeName() const = 0;
    virtual const char* ProfileLabel() const = 0;
    virtual const char* ProfileDescription() const = 0;
    virtual bool SaveToProfile(cPropertySet& profile) const = 0;
    virtual bool LoadFromProfile(const cPropertySet& profile) = 0;
    virtual void SetDeviceManager(IDeviceManager* manager) = 0;
    virtual IDeviceManager* DeviceManager() const = 0;
    virtual const char* LastError() const = 0;
    virtual void MessageFromHost(int code, const char* text) = 0;
    virtual void RegisterFactory(IDeviceFactory* factory) = 0;
    virtual AnalogFrameBase* MakeFrame(int channelCount) const = 0;
};

class cPluginDeviceBase;

// One analog channel of a device; the host shows it as a property set.
class ANALOGSYSTEM_API AnalogChannelDescriptor : public cPropertySet {
public:
    AnalogChannelDescriptor(cPluginDeviceBase* owner, const char* name, int type);
    ~AnalogChannelDescriptor() override;

    // The name the descriptor was created with (the key for ChannelDescriptor by name).
    const char* Name() const { return name_; }
    int Type() const { return type_; }

protected:
    void PropertyStored(const char* name) override;

private:
    cPluginDeviceBase* owner_;
    const char* name_;
    int type_;
};

// A logged device message, as the host keeps it.
struct LogEntry {
    int level;
    std::string text;
};

// Everything a plug-in device has from the host: properties, channel descriptors, the frame buffer,
// logging and the device manager.
class ANALOGSYSTEM_API cPluginDeviceBase : public IDevice, public cPropertySet {
public:
    static constexpr const char* kNamePropName = "Name";
    static constexpr const char* kDisplayNamePropName = "DisplayName";
    static constexpr const char* kModelPropName = "Model";
    static constexpr const char* kDeviceTypePropName = "DeviceType";
    static constexpr const char* kDataStatePropName = "DataState";
    static constexpr const char* kSerialPropName = "Serial";
    static constexpr const char* kRatePropName = "Rate";
    static constexpr const char* kMocapRateMultiplePropName = "MocapRateMultiple";
    static constexpr const char* kOrderPropName = "Order";
    static constexpr const char* kMasterSerialPropName = "MasterSerial";
    static constexpr const char* kUseExternalClockPropName = "UseExternalClock";
    static constexpr const char* kExternalTriggerTerminalPropName = "ExternalTriggerTerminal";
    static constexpr const char* kCalOffsetPropName = "CalOffset";
    static constexpr const char* kCalSquareRotationPropName = "CalSquareRotation";
    static constexpr const char* kZeroPropName = "Zero";
    static constexpr const char* kAssetPropName = "Asset";
    static constexpr const char* kUserDataPropName = "UserData";
    static constexpr const char* kNeedDeviceSyncFramePropName = "NeedDeviceSyncFrame";
    static constexpr const char* kSyncStatusPropName = "SyncStatus";

    explicit cPluginDeviceBase(int sampleWidth);
    ~cPluginDeviceBase() override;

    bool Configure() override;
    bool Deconfigure() override;
    bool Zero() override;
    bool PrepareForSync() override;
    bool PreCapture() override;
    bool StartCapture() override;
    bool StopCapture() override;
    bool PostCapture() override;
    bool IsCapturing() const override;
    int ChannelDescriptorCount() const override;
    cPropertySet* ChannelDescriptor(const char* name) override;
    cPropertySet* ChannelDescriptor(int index) override;
    int ActiveChannelCount() const override;
    int ChannelID(int activeIndex) const override;
    cPropertySet* ActiveChannelDescriptor(int activeIndex) override;
    AnalogFrameBase* BeginFrameUpdate(int32_t frameID, bool newFrame) override;
    void EndFrameUpdate() override;
    void UpdateDriftCorrection(int32_t mocapFrameID) override;
    const AnalogFrameBase* GetFrameByDeviceFrameID(int32_t frameID) const override;
    const AnalogFrameBase* GetFrameByBufferIndex(int index) const override;
    int GetMostRecentFrameIndex() const override;
    int32_t GetMostRecentFrameID() const override;
    bool MocapFrameIDToDeviceFrameIDs(int32_t mocapFrameID, int32_t& first, int32_t& last) const override;
    void PropertyChanged(const char* propertyName) override;
    void ChannelPropertyChanged(const char* channelName, const char* propertyName) override;
    bool ValidatePropertyChange(const char* propertyName) override;
    const char* ProfileTypeName() const override;
    const char* ProfileLabel() const override;
    const char* ProfileDescription() const override;
    bool SaveToProfile(cPropertySet& profile) const override;
    bool LoadFromProfile(const cPropertySet& profile) override;
    void SetDeviceManager(IDeviceManager* manager) override;
    IDeviceManager* DeviceManager() const override;
    const char* LastError() const override;
    void MessageFromHost(int code, const char* text) override;
    void RegisterFactory(IDeviceFactory* factory) override;

    // Adds a descriptor named by text that must outlive the device; its channel ID is its position.
    AnalogChannelDescriptor* AddChannelDescriptor(char* name, int type);

    int32_t FrameCounter() const;
    void SetFrameCounter(int32_t frameCounter);
    int SampleWidth() const;
    int DeviceIdentity() const;

    // Writes a device message at a level (0 notice, 1 missing frame, ...); printf formatting.
    void LogError(int level, const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 3, 4)))
#endif
        ;

    // Host-side model helpers (not called by plug-ins).
    std::vector<LogEntry> LoggedMessages() const;
    // The next `count` BeginFrameUpdate calls return no frame.
    void RefuseFrames(int count);
    // Copies a committed frame's samples and the steady-clock time (ns) it was committed.
    bool ReadFrame(int32_t frameID, std::vector<float>& samples, int64_t& committedNs) const;
    int FrameBufferCapacity() const;
    // Number of frames committed since construction.
    int64_t CommittedFrameCount() const;

    // Called by a descriptor whose "AnalogChannel_Enabled" changed.
    void ActiveChannelsChanged();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A device whose frames carry samples of type T.
template <typename T> class cPluginDevice : public cPluginDeviceBase {
public:
    cPluginDevice();
    ~cPluginDevice() override;

    AnalogFrame<T>* BeginFrameUpdate(int32_t frameID, bool newFrame) override;
    const AnalogFrame<T>* GetFrameByDeviceFrameID(int32_t frameID) const override;
};

template <typename T> cPluginDevice<T>::cPluginDevice() : cPluginDeviceBase(static_cast<int>(sizeof(T))) {}
template <typename T> cPluginDevice<T>::~cPluginDevice() = default;

// Out of the class body, so that the SDK's explicit instantiation is the one copy every module uses.
template <typename T> AnalogFrame<T>* cPluginDevice<T>::BeginFrameUpdate(int32_t frameID, bool newFrame) {
    return dynamic_cast<AnalogFrame<T>*>(cPluginDeviceBase::BeginFrameUpdate(frameID, newFrame));
}

template <typename T> const AnalogFrame<T>* cPluginDevice<T>::GetFrameByDeviceFrameID(int32_t frameID) const {
    return dynamic_cast<const AnalogFrame<T>*>(cPluginDeviceBase::GetFrameByDeviceFrameID(frameID));
}

extern template class ANALOGSYSTEM_API cPluginDevice<float>;

} // namespace AnalogSystem
