#pragma once

#include <array>
#include <cstddef>

namespace platform {

// Linux keeps 15 characters of a thread's name and its terminating NUL; Windows keeps the same here, so
// that both systems show one name.
constexpr std::size_t kThreadNameSize = 16;

// The name cut to what the system keeps, NUL-terminated; empty for none.
inline std::array<char, kThreadNameSize> threadName(const char* name) {
    std::array<char, kThreadNameSize> kept{};
    for (std::size_t i = 0; name && name[i] != '\0' && i + 1 < kept.size(); ++i) {
        kept[i] = name[i];
    }
    return kept;
}

// Names the calling thread; an empty name leaves it as it is. Implemented beside Thread.
void nameCurrentThread(const char* name);

} // namespace platform
