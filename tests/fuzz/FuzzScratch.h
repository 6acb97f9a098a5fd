#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ferrox_fuzz {

// A private folder for one fuzzer process, removed when the process exits normally.
const std::string& scratchFolder();

// Replaces the file's content with the fuzzer's input, byte for byte.
void writeInput(const std::string& path, const uint8_t* data, size_t size);

} // namespace ferrox_fuzz
