#include "companion/RelayLineAssembler.h"

#include <cstring>

namespace QuillmarkPluginDevices {

namespace {
const std::size_t kPrefixLength = std::strlen(RelayLineAssembler::kPrefix);
} // namespace

RelayLineAssembler::RelayLineAssembler(LineSink sink) : sink_(std::move(sink)), line_(kPrefix) {
    line_.reserve(kPrefixLength + kMaxLineCharacters);
}

void RelayLineAssembler::feed(const char* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte == 0) {
            finishLine();
        } else if (byte >= 0x20 && byte <= 0x7E) {
            line_.push_back(static_cast<char>(byte));
            if (line_.size() - kPrefixLength >= kMaxLineCharacters) {
                finishLine();
            }
        }
    }
}

void RelayLineAssembler::finishLine() {
    // A NUL right after another one ends an empty line: nothing worth showing.
    if (line_.size() > kPrefixLength && sink_) {
        sink_(line_);
    }
    line_.resize(kPrefixLength);
}

} // namespace QuillmarkPluginDevices
