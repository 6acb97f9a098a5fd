#pragma once

#include <cstdint>

namespace platform {

// What this process has used so far, as the system counts it.
struct ResourceUsage {
    double userSeconds = 0.0;
    double systemSeconds = 0.0;
    int64_t residentBytes = 0;     // now
    int64_t peakResidentBytes = 0; // since the process started
    int64_t openHandles = 0;       // file descriptors on POSIX, handles on Windows
};

ResourceUsage currentResourceUsage();

} // namespace platform
