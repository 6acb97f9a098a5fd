#pragma once

namespace platform {

// What a text-mode stream writes for "\n" on this system.
#if defined(_WIN32)
constexpr const char* kTextNewline = "\r\n";
constexpr bool kIsWindows = true;
#else
constexpr const char* kTextNewline = "\n";
constexpr bool kIsWindows = false;
#endif

} // namespace platform
