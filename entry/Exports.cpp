// The plug-in's only entry points. Each is one try block: nothing thrown here can be caught by the
// host (every module has its own copy of the C++ runtime), so a failure becomes a message on standard
// error and the entry point's plain result.
#include "entry/PluginLifecycle.h"

#include "FerroxPluginExport.h"

#include <cstdint>
#include <cstdio>
#include <exception>

namespace {
void reportEscaped(const char* entryPoint, const char* reason) {
    std::fprintf(stderr, "FerroxEMG: %s failed: %s\n", entryPoint, reason);
    std::fflush(stderr);
}
} // namespace

extern "C" {

FERROX_PLUGIN_EXPORT void DLLVersion(int, int, int, int32_t* major, int32_t* minor, int32_t* revision) {
    try {
        QuillmarkPluginDevices::reportVersion(major, minor, revision);
    } catch (const std::exception& error) {
        reportEscaped("DLLVersion", error.what());
    } catch (...) {
        reportEscaped("DLLVersion", "unknown error");
    }
}

FERROX_PLUGIN_EXPORT int32_t DLLEnumerateDeviceFactories(AnalogSystem::FactorySink* sink) {
    try {
        return QuillmarkPluginDevices::enumerateDeviceFactories(sink,
                                                                QuillmarkPluginDevices::kReportWaitLimit);
    } catch (const std::exception& error) {
        reportEscaped("DLLEnumerateDeviceFactories", error.what());
    } catch (...) {
        reportEscaped("DLLEnumerateDeviceFactories", "unknown error");
    }
    return 0;
}

FERROX_PLUGIN_EXPORT int32_t PluginDLLUnload(AnalogSystem::UnloadSink* sink) {
    try {
        return QuillmarkPluginDevices::unloadPlugin(sink);
    } catch (const std::exception& error) {
        reportEscaped("PluginDLLUnload", error.what());
    } catch (...) {
        reportEscaped("PluginDLLUnload", "unknown error");
    }
    return 0;
}

} // extern "C"
