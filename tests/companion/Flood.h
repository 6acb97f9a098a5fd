#pragma once

#include <cstddef>

namespace ferrox_test {

// Byte i of the test companion's console flood: every value from 1 to 255 in turn, so printable and
// other bytes are mixed and no NUL ever ends a line.
inline char floodByte(std::size_t i) {
    return static_cast<char>(1 + i % 255);
}

} // namespace ferrox_test
