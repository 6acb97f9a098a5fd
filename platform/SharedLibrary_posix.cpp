#include "platform/SharedLibrary.h"

#include <dlfcn.h>

#include <utility>

namespace platform {

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
    // RTLD_LOCAL: the plug-in's own symbols never satisfy another module's references.
    native_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!native_) {
        const char* reason = ::dlerror(); // NOLINT(concurrency-mt-unsafe): glibc keeps it per thread
        error = reason ? reason : "dlopen failed";
        return false;
    }
    return true;
}

void* SharedLibrary::symbol(const char* name) const {
    if (!native_ || !name) {
        return nullptr;
    }
    return ::dlsym(native_, name);
}

bool SharedLibrary::unload() {
    if (!native_) {
        return true;
    }
    const bool ok = ::dlclose(native_) == 0;
    native_ = nullptr;
    return ok;
}

std::string sharedLibraryFileName(const std::string& baseName) {
    return "lib" + baseName + ".so";
}

std::optional<std::string> libraryComments(const std::string&) {
    return std::nullopt;
}

} // namespace platform
