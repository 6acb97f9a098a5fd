#include "device/BlockQueue.h"

namespace QuillmarkPluginDevices {

void BlockQueue::append(const SampleBlock& block) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count_ == kCapacity) {
        head_ = (head_ + 1) % kCapacity;
        --count_;
    }
    blocks_[(head_ + count_) % kCapacity] = block;
    ++count_;
}

void BlockQueue::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    head_ = 0;
    count_ = 0;
}

std::size_t BlockQueue::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
}

bool BlockQueue::at(std::size_t i, SampleBlock& out) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (i >= count_) {
        return false;
    }
    out = blocks_[(head_ + i) % kCapacity];
    return true;
}

} // namespace QuillmarkPluginDevices
