// The relay's byte handling on arbitrary console output, in arbitrary read sizes. Whatever the
// companion writes, the lines handed on carry only printable characters, stay within their bound, lose
// no printable byte, and do not depend on how the pipe happened to split the bytes.
#include "companion/RelayLineAssembler.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using QuillmarkPluginDevices::RelayLineAssembler;

namespace {

struct Relayed {
    std::vector<std::string> lines;
    std::string rest;
};

// Feeds `data` in pieces whose sizes come from `sizes` (cycled), as successive pipe reads would.
Relayed relay(const uint8_t* data, size_t size, const std::vector<size_t>& sizes) {
    Relayed out;
    RelayLineAssembler assembler([&](const std::string& line) { out.lines.push_back(line); });
    size_t offset = 0;
    for (size_t i = 0; offset < size; ++i) {
        const size_t piece = std::min(size - offset, sizes[i % sizes.size()]);
        assembler.feed(reinterpret_cast<const char*>(data) + offset, piece);
        offset += piece;
    }
    out.rest = assembler.currentLine();
    return out;
}

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string prefix = RelayLineAssembler::kPrefix;
    // The first bytes choose the read sizes; all of the input is the console output.
    std::vector<size_t> sizes;
    for (size_t i = 0; i < std::min<size_t>(size, 4); ++i) {
        sizes.push_back(1 + data[i] % 200);
    }
    if (sizes.empty()) {
        sizes.push_back(1);
    }

    const Relayed whole = relay(data, size, {size + 1});
    const Relayed pieces = relay(data, size, sizes);
    check(whole.lines == pieces.lines && whole.rest == pieces.rest);

    std::string printable;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] >= 0x20 && data[i] <= 0x7E) {
            printable.push_back(static_cast<char>(data[i]));
        }
    }
    std::string carried;
    for (const std::string& line : whole.lines) {
        check(line.compare(0, prefix.size(), prefix) == 0);
        check(line.size() > prefix.size() &&
              line.size() <= prefix.size() + RelayLineAssembler::kMaxLineCharacters);
        carried += line.substr(prefix.size());
    }
    check(whole.rest.compare(0, prefix.size(), prefix) == 0);
    check(whole.rest.size() < prefix.size() + RelayLineAssembler::kMaxLineCharacters);
    carried += whole.rest.substr(prefix.size());
    check(carried == printable);
    return 0;
}
