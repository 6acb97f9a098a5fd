#include <windows.h>
#include <psapi.h>

#include "platform/ResourceUsage.h"

namespace platform {

namespace {
double seconds(const FILETIME& t) {
    ULARGE_INTEGER v;
    v.LowPart = t.dwLowDateTime;
    v.HighPart = t.dwHighDateTime;
    return static_cast<double>(v.QuadPart) / 1e7;
}
} // namespace

ResourceUsage currentResourceUsage() {
    ResourceUsage usage;
    HANDLE self = ::GetCurrentProcess();
    FILETIME created, exited, kernel, user;
    if (::GetProcessTimes(self, &created, &exited, &kernel, &user)) {
        usage.userSeconds = seconds(user);
        usage.systemSeconds = seconds(kernel);
    }
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (::GetProcessMemoryInfo(self, &counters, sizeof counters)) {
        usage.residentBytes = static_cast<int64_t>(counters.WorkingSetSize);
        usage.peakResidentBytes = static_cast<int64_t>(counters.PeakWorkingSetSize);
    }
    DWORD handles = 0;
    if (::GetProcessHandleCount(self, &handles)) {
        usage.openHandles = handles;
    }
    return usage;
}

} // namespace platform
