#include "platform/SharedLibrary.h"

#include "platform/WideText_win32.h"

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace platform {

namespace {
std::string systemMessage(DWORD code) {
    char* text = nullptr;
    const DWORD length = ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                              FORMAT_MESSAGE_IGNORE_INSERTS,
                                          nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = length && text ? std::string(text, length) : std::string();
    if (text) {
        ::LocalFree(text);
    }
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
        message.pop_back();
    }
    // Wine leaves many codes without a text; the number is what a reader can look up.
    return message.empty() ? "error " + std::to_string(code) : message + " (" + std::to_string(code) + ")";
}

HMODULE toModule(void* native) {
    return static_cast<HMODULE>(native);
}
} // namespace

SharedLibrary::~SharedLibrary() {
    unload();
}

SharedLibrary::SharedLibrary(SharedLibrary&& other) noexcept
    : native_(std::exchange(other.native_, nullptr)) {}

SharedLibrary& SharedLibrary::operator=(SharedLibrary&& other) noexcept {
    if (this != &other) {
        unload();
        native_ = std::exchange(other.native_, nullptr);
    }
    return *this;
}

bool SharedLibrary::load(const std::string& path, std::string& error) {
    if (native_) {
        error = "a library is already loaded";
        return false;
    }
    const auto wide = widenSystemCodePage(path);
    if (!wide) {
        error = "the path does not convert: " + systemMessage(::GetLastError());
        return false;
    }
    // The plug-in's folder first, so the host SDK library beside it is the one it binds to.
    HMODULE module = ::LoadLibraryExW(wide->c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!module) {
        error = systemMessage(::GetLastError());
        return false;
    }
    native_ = module;
    return true;
}

void* SharedLibrary::symbol(const char* name) const {
    if (!native_ || !name) {
        return nullptr;
    }
    FARPROC address = ::GetProcAddress(toModule(native_), name);
    void* untyped = nullptr;
    static_assert(sizeof address == sizeof untyped, "a function pointer the size of an address");
    std::memcpy(&untyped, &address, sizeof untyped);
    return untyped;
}

bool SharedLibrary::unload() {
    if (!native_) {
        return true;
    }
    const bool ok = ::FreeLibrary(toModule(native_)) != 0;
    native_ = nullptr;
    return ok;
}

std::string sharedLibraryFileName(const std::string& baseName) {
    return baseName + ".dll";
}

std::optional<std::string> libraryComments(const std::string& path) {
    const auto wide = widenSystemCodePage(path);
    if (!wide) {
        return std::nullopt;
    }
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(wide->c_str(), &ignored);
    if (size == 0) {
        return std::nullopt;
    }
    std::vector<unsigned char> block(size);
    if (!::GetFileVersionInfoW(wide->c_str(), 0, size, block.data())) {
        return std::nullopt;
    }
    void* value = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(block.data(), L"\\StringFileInfo\\040904B0\\Comments", &value, &length) ||
        value == nullptr || length == 0) {
        return std::nullopt;
    }
    const auto* text = static_cast<const wchar_t*>(value);
    std::string comments;
    for (UINT i = 0; i < length && text[i] != L'\0'; ++i) {
        comments += text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
    }
    return comments;
}

} // namespace platform
