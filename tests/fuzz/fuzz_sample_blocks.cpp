// The receive path from stream bytes to queued blocks, with reads of every size the socket could
// return. Block boundaries must stay at multiples of 1024 bytes from the first byte, no block may be
// lost or invented, and the queue must hold exactly the newest blocks.
#include "device/BlockQueue.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

using QuillmarkPluginDevices::BlockAssembler;
using QuillmarkPluginDevices::BlockQueue;
using QuillmarkPluginDevices::SampleBlock;

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Read sizes from a small generator seeded by the input, so that sizes up to the assembler's whole
// buffer are reached without inputs that large.
class ReadSizes {
public:
    explicit ReadSizes(uint32_t seed) : state_(seed | 1u) {}
    std::size_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        switch (state_ % 4) {
        case 0:
            return 1 + state_ % 8; // a trickle
        case 1:
            return SampleBlock::kBytes - 24 + state_ % 48; // about a block
        case 2:
            return 1 + state_ % (3 * SampleBlock::kBytes);
        default:
            return 1 + state_ % (BlockAssembler::kReadBytes + 4096); // a backlog
        }
    }

private:
    uint32_t state_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) {
        return 0;
    }
    uint32_t seed = 0;
    std::memcpy(&seed, data, sizeof seed);
    // The stream is the rest of the input, repeated so that it spans many buffers' worth.
    const std::size_t repeats = 1 + data[4] % 96;
    std::vector<unsigned char> stream;
    for (std::size_t r = 0; r < repeats; ++r) {
        stream.insert(stream.end(), data + 5, data + size);
    }

    BlockAssembler assembler;
    BlockQueue queue;
    ReadSizes sizes(seed);
    std::size_t offset = 0;
    std::size_t delivered = 0;
    const auto now = BlockQueue::Clock::now();
    while (offset < stream.size()) {
        const std::size_t want = std::min({sizes.next(), assembler.room(), stream.size() - offset});
        check(want > 0);
        std::memcpy(assembler.space(), stream.data() + offset, want);
        offset += want;
        assembler.commit(want, [&](const unsigned char* wire, std::size_t blocks) {
            // Every block handed on is exactly the stream's bytes at its place in the stream.
            check(std::memcmp(wire, stream.data() + delivered * SampleBlock::kBytes,
                              blocks * SampleBlock::kBytes) == 0);
            delivered += blocks;
            queue.append(wire, blocks, now);
        });
    }

    const std::size_t total = stream.size() / SampleBlock::kBytes;
    check(delivered == total);
    check(assembler.pendingBytes() == stream.size() % SampleBlock::kBytes);
    const std::size_t kept = std::min(total, BlockQueue::kCapacity);
    check(queue.size() == kept);
    for (std::size_t i = 0; i < kept; ++i) {
        SampleBlock block;
        check(queue.at(i, block));
        const std::size_t index = total - kept + i;
        check(std::memcmp(block.values.data(), stream.data() + index * SampleBlock::kBytes,
                          SampleBlock::kBytes) == 0);
    }
    return 0;
}
