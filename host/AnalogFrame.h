#pragma once

#include "host/AnalogSystemApi.h"

#include <cstdint>
#include <new>

namespace AnalogSystem {

// One frame of an analog device: header fields shared by every sample type.
class ANALOGSYSTEM_API AnalogFrameBase {
public:
    explicit AnalogFrameBase(int channelCount);
    AnalogFrameBase(const AnalogFrameBase& other) = default;
    AnalogFrameBase& operator=(const AnalogFrameBase&) = delete;
    virtual ~AnalogFrameBase();

    // Makes a new frame of the same type and values; the caller owns it.
    virtual AnalogFrameBase* Copy() const = 0;
    virtual int ChannelCount() const;
    virtual void SetID(int32_t id);
    virtual int32_t ID() const;
    virtual void SetDeviceID(int id);
    virtual int DeviceID() const;
    virtual void SetTimestamp(int64_t timestamp);
    virtual int64_t Timestamp() const;
    virtual void SetFlag(int flag);
    virtual int Flag() const;

private:
    int channelCount_;
    int32_t id_ = 0;
    int deviceId_ = 0;
    int64_t timestamp_ = 0;
    int flag_ = 0;
};

template <typename T> class AnalogFrame : public AnalogFrameBase {
public:
    explicit AnalogFrame(int channelCount);
    AnalogFrame(const AnalogFrame& other);
    AnalogFrame& operator=(const AnalogFrame&) = delete;
    ~AnalogFrame() override;

    AnalogFrameBase* Copy() const override;

    int SampleWidth() const;
    // Null only when the samples could not be allocated.
    T* Samples();
    const T* Samples() const;

private:
    int sampleWidth_;
    T* samples_;
};

// Out of the class body, so that the SDK's explicit instantiation is the one copy every module uses.
template <typename T>
AnalogFrame<T>::AnalogFrame(int channelCount)
    : AnalogFrameBase(channelCount < 0 ? 0 : channelCount), sampleWidth_(static_cast<int>(sizeof(T))),
      samples_(new (std::nothrow) T[static_cast<unsigned>(ChannelCount())]()) {}

template <typename T>
AnalogFrame<T>::AnalogFrame(const AnalogFrame& other)
    : AnalogFrameBase(other), sampleWidth_(other.sampleWidth_),
      samples_(new (std::nothrow) T[static_cast<unsigned>(other.ChannelCount())]) {
    for (int i = 0; samples_ && i < other.ChannelCount(); ++i) {
        samples_[i] = other.samples_[i];
    }
}

template <typename T> AnalogFrame<T>::~AnalogFrame() {
    delete[] samples_;
}
template <typename T> AnalogFrameBase* AnalogFrame<T>::Copy() const {
    return new AnalogFrame(*this);
}
template <typename T> int AnalogFrame<T>::SampleWidth() const {
    return sampleWidth_;
}
template <typename T> T* AnalogFrame<T>::Samples() {
    return samples_;
}
template <typename T> const T* AnalogFrame<T>::Samples() const {
    return samples_;
}

extern template class ANALOGSYSTEM_API AnalogFrame<float>;

} // namespace AnalogSystem
