#include "device/BlockQueue.h"

#include <cstring>

namespace QuillmarkPluginDevices {

void BlockQueue::push(const unsigned char* wire) {
    if (count_ == kCapacity) {
        head_ = (head_ + 1) % kCapacity;
        --count_;
    }
    // Copied as bytes: the wire holds little-endian doubles, which is this machine's own layout.
    std::memcpy(blocks_[(head_ + count_) % kCapacity].values.data(), wire, SampleBlock::kBytes);
    ++count_;
}

void BlockQueue::append(const SampleBlock& block, Clock::time_point arrived) {
    append(reinterpret_cast<const unsigned char*>(block.values.data()), 1, arrived);
}

void BlockQueue::append(const unsigned char* wire, std::size_t count, Clock::time_point arrived) {
    if (count == 0) {
        return;
    }
    const std::size_t skipped = count > kCapacity ? count - kCapacity : 0;
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = skipped; i < count; ++i) {
        push(wire + i * SampleBlock::kBytes);
    }
    newestArrival_ = arrived;
}

void BlockQueue::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    head_ = 0;
    count_ = 0;
    newestArrival_ = Clock::time_point{};
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

BlockAssembler::BlockAssembler() : buffer_(kReadBytes) {}

void BlockAssembler::keepPartial(std::size_t consumed) {
    const std::size_t rest = filled_ - consumed;
    if (rest > 0) {
        std::memmove(buffer_.data(), buffer_.data() + consumed, rest);
    }
    filled_ = rest;
}

} // namespace QuillmarkPluginDevices
