#pragma once

#include <cstring>
#include <optional>
#include <string>

namespace platform {

// A shared library loaded at run time (LoadLibraryExW on Windows, dlopen elsewhere) with exactly one
// owner. The destructor unloads a library that is still loaded.
class SharedLibrary {
public:
    SharedLibrary() = default;
    ~SharedLibrary();
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;
    SharedLibrary(SharedLibrary&& other) noexcept;
    SharedLibrary& operator=(SharedLibrary&& other) noexcept;

    // Loads the library at `path` (its own folder is searched for its dependencies first). False with
    // the system's reason in `error` when it cannot be loaded, or while another library is held.
    bool load(const std::string& path, std::string& error);

    // The address of an exported symbol, or null.
    void* symbol(const char* name) const;

    // An exported function as a typed pointer, or null. Function and object pointers only meet here.
    template <typename Function> Function function(const char* name) const {
        static_assert(sizeof(Function) == sizeof(void*), "a function pointer the size of an address");
        void* address = symbol(name);
        Function typed = nullptr;
        std::memcpy(&typed, &address, sizeof typed);
        return typed;
    }

    // Unloads the library; false when the system refused (the handle is given up all the same).
    bool unload();
    bool loaded() const { return native_ != nullptr; }

private:
    void* native_ = nullptr;
};

// The file name a shared library of that base name has on this system: "FerroxEMG" becomes
// "FerroxEMG.dll" on Windows and "libFerroxEMG.so" elsewhere.
std::string sharedLibraryFileName(const std::string& baseName);

// The Comments text of the version resource of the file at `path` (US English, Unicode, as the
// plug-in's resource has it), as ASCII with anything else turned into '?'. Nothing when the file has no
// such text, and on systems other than Windows, whose libraries carry no version resource.
std::optional<std::string> libraryComments(const std::string& path);

} // namespace platform
