// The state file reader on arbitrary file content, reached the way the factory reaches it: APPDATA
// names the folder and the reader builds the path itself.
#include "companion/CompanionController.h"
#include "companion/Paths.h"
#include "platform/Environment.h"
#include "tests/fuzz/FuzzScratch.h"

#include <cstdlib>
#include <filesystem>

using namespace QuillmarkPluginDevices;

namespace {
std::string statePath;
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    platform::setEnv("APPDATA", ferrox_fuzz::scratchFolder().c_str());
    statePath = sensorStateFilePath().value();
    std::filesystem::create_directories(std::filesystem::path(statePath).parent_path());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ferrox_fuzz::writeInput(statePath, data, size);
    CompanionController controller;
    const auto records = controller.readSensorStates();
    // Every record stands for at least "{}" in the file.
    if (records.size() > size / 2) {
        std::abort();
    }
    return 0;
}
