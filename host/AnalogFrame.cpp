#include "host/AnalogFrame.h"

namespace AnalogSystem {

AnalogFrameBase::AnalogFrameBase(int channelCount) : channelCount_(channelCount) {}
AnalogFrameBase::~AnalogFrameBase() = default;
int AnalogFrameBase::ChannelCount() const {
    return channelCount_;
}
void AnalogFrameBase::SetID(int32_t id) {
    id_ = id;
}
int32_t AnalogFrameBase::ID() const {
    return id_;
}
void AnalogFrameBase::SetDeviceID(int id) {
    deviceId_ = id;
}
int AnalogFrameBase::DeviceID() const {
    return deviceId_;
}
void AnalogFrameBase::SetTimestamp(int64_t timestamp) {
    timestamp_ = timestamp;
}
int64_t AnalogFrameBase::Timestamp() const {
    return timestamp_;
}
void AnalogFrameBase::SetFlag(int flag) {
    flag_ = flag;
}
int AnalogFrameBase::Flag() const {
    return flag_;
}

template class AnalogFrame<float>;

} // namespace AnalogSystem
