#include "tools/ferrox-host/PluginModule.h"

#include "platform/ChildProcess.h"

#include <filesystem>

namespace ferrox_host {

bool PluginModule::load(const std::string& path, std::string& error) {
    std::error_code ec;
    // The loader searches the plug-in's own folder for its dependencies only for an absolute path.
    const std::string absolute = std::filesystem::absolute(path, ec).string();
    if (!library_.load(ec ? path : absolute, error)) {
        return false;
    }
    version_ = library_.function<VersionFunction>("DLLVersion");
    enumerate_ = library_.function<EnumerateFunction>("DLLEnumerateDeviceFactories");
    unload_ = library_.function<UnloadFunction>("PluginDLLUnload");
    const char* missing = !version_     ? "DLLVersion"
                          : !enumerate_ ? "DLLEnumerateDeviceFactories"
                          : !unload_    ? "PluginDLLUnload"
                                        : nullptr;
    if (missing) {
        error = std::string("the library exports no ") + missing;
        library_.unload();
        version_ = nullptr;
        enumerate_ = nullptr;
        unload_ = nullptr;
        return false;
    }
    return true;
}

void PluginModule::version(int32_t& major, int32_t& minor, int32_t& revision) const {
    // The leading three arguments are the host's own version; the plug-in does not read them.
    version_(1, 0, 0, &major, &minor, &revision);
}

int32_t PluginModule::enumerate(AnalogSystem::FactorySink& sink) const {
    return enumerate_(&sink);
}

int32_t PluginModule::unload(AnalogSystem::UnloadSink& sink) const {
    return unload_(&sink);
}

bool PluginModule::unloadLibrary() {
    version_ = nullptr;
    enumerate_ = nullptr;
    unload_ = nullptr;
    return library_.unload();
}

void FactoryCollector::AddFactory(std::unique_ptr<AnalogSystem::IDeviceFactory> factory) {
    if (factory) {
        factories.push_back(std::move(factory));
    }
}

void UnloadRecorder::DeviceIdentifierReleased(const char* deviceIdentifier) {
    ++identifierCalls;
    identifier = deviceIdentifier ? deviceIdentifier : "";
}

std::string defaultPluginPath() {
    const std::filesystem::path executable = platform::currentExecutablePath();
    const std::string file = platform::sharedLibraryFileName("FerroxEMG");
    return executable.empty() ? file : (executable.parent_path() / file).string();
}

} // namespace ferrox_host
