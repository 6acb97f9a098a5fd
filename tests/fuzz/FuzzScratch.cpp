#include "tests/fuzz/FuzzScratch.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include <unistd.h>

namespace fs = std::filesystem;

namespace ferrox_fuzz {

namespace {
struct Scratch {
    Scratch() : path((fs::temp_directory_path() / ("ferrox-fuzz-" + std::to_string(::getpid()))).string()) {
        fs::create_directories(path);
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::string path;
};
} // namespace

const std::string& scratchFolder() {
    static const Scratch scratch;
    return scratch.path;
}

void writeInput(const std::string& path, const uint8_t* data, size_t size) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
        std::abort(); // the harness itself is broken; no input could be tested
    }
    if (size != 0 && std::fwrite(data, 1, size, file) != size) {
        std::abort();
    }
    std::fclose(file);
}

} // namespace ferrox_fuzz
