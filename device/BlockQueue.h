#pragma once

#include <array>
#include <cstddef>
#include <mutex>

namespace QuillmarkPluginDevices {

// 128 little-endian doubles as they arrive on the stream; value k belongs to channel ID k.
struct SampleBlock {
    static constexpr std::size_t kValues = 128;
    static constexpr std::size_t kBytes = kValues * sizeof(double);
    std::array<double, kValues> values{};
};
static_assert(sizeof(SampleBlock) == SampleBlock::kBytes, "a block is exactly its wire bytes");

// The newest blocks of the stream, at most kCapacity; the oldest is dropped beyond that. Storage is
// fixed, so the sample path never allocates. The mutex is the only lock of the data path.
class BlockQueue {
public:
    static constexpr std::size_t kCapacity = 10;

    void append(const SampleBlock& block);
    void clear();
    std::size_t size() const;

    // Calls f(const SampleBlock*) under the lock with the second-newest block, or null when fewer
    // than two blocks are queued. Nothing is removed.
    template <typename F> void withSecondNewest(F&& f) const {
        std::lock_guard<std::mutex> lock(mutex_);
        f(count_ >= 2 ? &blocks_[(head_ + count_ - 2) % kCapacity] : nullptr);
    }

    // The block at position i counted from the oldest (for tests); false when out of range.
    bool at(std::size_t i, SampleBlock& out) const;

private:
    mutable std::mutex mutex_;
    std::array<SampleBlock, kCapacity> blocks_{};
    std::size_t head_ = 0;  // the oldest block
    std::size_t count_ = 0;
};

} // namespace QuillmarkPluginDevices
