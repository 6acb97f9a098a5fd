#include <windows.h>

#include "platform/WideText_win32.h"

#include <climits>

namespace platform {

std::optional<std::wstring> widenSystemCodePage(const std::string& text) {
    if (text.empty()) {
        return std::wstring();
    }
    if (text.size() > static_cast<std::size_t>(INT_MAX)) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return std::nullopt;
    }
    const int length = static_cast<int>(text.size());
    const int needed = ::MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
    if (needed <= 0) {
        return std::nullopt;
    }
    std::wstring wide(static_cast<std::size_t>(needed), L'\0');
    if (::MultiByteToWideChar(CP_ACP, 0, text.data(), length, &wide[0], needed) != needed) {
        return std::nullopt;
    }
    return wide;
}

} // namespace platform
