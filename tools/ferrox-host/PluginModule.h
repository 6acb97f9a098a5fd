#pragma once

#include "host/DeviceFactory.h"
#include "platform/SharedLibrary.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ferrox_host {

// The plug-in as a host sees it: a library with three C entry points, reached through nothing else.
class PluginModule {
public:
    using VersionFunction = void (*)(int, int, int, int32_t*, int32_t*, int32_t*);
    using EnumerateFunction = int32_t (*)(AnalogSystem::FactorySink*);
    using UnloadFunction = int32_t (*)(AnalogSystem::UnloadSink*);

    // Loads the library and resolves the three entry points; false with the reason when either fails
    // (the library is then not kept).
    bool load(const std::string& path, std::string& error);
    bool loaded() const { return library_.loaded(); }

    void version(int32_t& major, int32_t& minor, int32_t& revision) const;
    int32_t enumerate(AnalogSystem::FactorySink& sink) const;
    int32_t unload(AnalogSystem::UnloadSink& sink) const;

    // Every factory and device of the plug-in must be gone first: their code lives in the library.
    bool unloadLibrary();

private:
    platform::SharedLibrary library_;
    VersionFunction version_ = nullptr;
    EnumerateFunction enumerate_ = nullptr;
    UnloadFunction unload_ = nullptr;
};

// Keeps the factories an enumeration hands over; the host owns them from then on.
class FactoryCollector : public AnalogSystem::FactorySink {
public:
    void AddFactory(std::unique_ptr<AnalogSystem::IDeviceFactory> factory) override;
    std::vector<std::unique_ptr<AnalogSystem::IDeviceFactory>> factories;
};

// Records what unload tells the host.
class UnloadRecorder : public AnalogSystem::UnloadSink {
public:
    void UnloadStarted() override { ++startedCalls; }
    void DevicesReleased() override { ++releasedCalls; }
    void DeviceIdentifierReleased(const char* deviceIdentifier) override;

    int startedCalls = 0;
    int releasedCalls = 0;
    int identifierCalls = 0;
    std::optional<std::string> identifier;
};

// The plug-in built beside this program's executable.
std::string defaultPluginPath();

} // namespace ferrox_host
