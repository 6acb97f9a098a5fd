#include "platform/ResourceUsage.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

namespace platform {

ResourceUsage currentResourceUsage() {
    ResourceUsage usage;
    rusage ru{};
    if (::getrusage(RUSAGE_SELF, &ru) == 0) {
        usage.userSeconds =
            static_cast<double>(ru.ru_utime.tv_sec) + static_cast<double>(ru.ru_utime.tv_usec) / 1e6;
        usage.systemSeconds =
            static_cast<double>(ru.ru_stime.tv_sec) + static_cast<double>(ru.ru_stime.tv_usec) / 1e6;
        usage.peakResidentBytes = static_cast<int64_t>(ru.ru_maxrss) * 1024;
    }
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        long size = 0;
        long resident = 0;
        // The kernel writes this file; a malformed one only leaves the figure at zero.
        if (std::fscanf(statm, "%ld %ld", &size, &resident) == 2) { // NOLINT(cert-err34-c)
            usage.residentBytes = static_cast<int64_t>(resident) * ::sysconf(_SC_PAGESIZE);
        }
        std::fclose(statm);
    }
    if (DIR* fds = ::opendir("/proc/self/fd")) {
        // readdir is safe on a stream no other thread sees.
        while (const dirent* entry = ::readdir(fds)) { // NOLINT(concurrency-mt-unsafe)
            usage.openHandles += entry->d_name[0] != '.' ? 1 : 0;
        }
        ::closedir(fds);
        --usage.openHandles; // the directory stream itself
    }
    return usage;
}

} // namespace platform
