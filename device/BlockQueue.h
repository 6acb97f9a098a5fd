#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <vector>

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
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t kCapacity = 10;

    void append(const SampleBlock& block, Clock::time_point arrived = Clock::now());
    // `count` whole blocks in wire order, oldest first, as they came off the stream together. Only the
    // newest kCapacity of them can survive, so only those are copied.
    void append(const unsigned char* wire, std::size_t count, Clock::time_point arrived);
    void clear();
    std::size_t size() const;

    // Calls f(const SampleBlock*, Clock::time_point) under the lock with the second-newest block, or
    // null when fewer than two blocks are queued, and the time the newest block arrived. Nothing is
    // removed.
    template <typename F> void withSecondNewest(F&& f) const {
        std::lock_guard<std::mutex> lock(mutex_);
        f(count_ >= 2 ? &blocks_[(head_ + count_ - 2) % kCapacity] : nullptr, newestArrival_);
    }

    // The block at position i counted from the oldest (for tests); false when out of range.
    bool at(std::size_t i, SampleBlock& out) const;

private:
    void push(const unsigned char* wire);

    mutable std::mutex mutex_;
    std::array<SampleBlock, kCapacity> blocks_{};
    std::size_t head_ = 0; // the oldest block
    std::size_t count_ = 0;
    Clock::time_point newestArrival_{};
};

// Cuts the bytes of one stream connection into whole blocks, whatever sizes the reads come in: block
// boundaries stay at multiples of SampleBlock::kBytes from the connection's first byte. A read may
// take up to kReadBytes at once, so a backlog drains in few reads and the freshest blocks win.
class BlockAssembler {
public:
    static constexpr std::size_t kReadBytes = 64 * SampleBlock::kBytes;

    BlockAssembler();

    // Where the next read puts its bytes, and how many fit there (never zero).
    unsigned char* space() { return buffer_.data() + filled_; }
    std::size_t room() const { return kReadBytes - filled_; }

    // Takes `count` bytes just read into space(), hands every block they complete to
    // sink(const unsigned char* wire, std::size_t blocks), oldest first, and keeps the rest.
    template <typename Sink> void commit(std::size_t count, Sink&& sink) {
        filled_ += count < room() ? count : room();
        const std::size_t blocks = filled_ / SampleBlock::kBytes;
        if (blocks == 0) {
            return;
        }
        sink(static_cast<const unsigned char*>(buffer_.data()), blocks);
        keepPartial(blocks * SampleBlock::kBytes);
    }

    // A new connection: its blocks start at its own first byte.
    void reset() { filled_ = 0; }
    std::size_t pendingBytes() const { return filled_; }

private:
    void keepPartial(std::size_t consumed);

    std::vector<unsigned char> buffer_; // kReadBytes, sized once at construction
    std::size_t filled_ = 0;
};

} // namespace QuillmarkPluginDevices
