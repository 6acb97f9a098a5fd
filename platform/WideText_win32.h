#pragma once

#include <optional>
#include <string>

namespace platform {

// Narrow text as the C runtime and getenv give it (the system code page) turned into UTF-16 for the
// W functions. Nothing when the text does not convert; GetLastError then tells why.
std::optional<std::wstring> widenSystemCodePage(const std::string& text);

} // namespace platform
