#pragma once

#include "host/DeviceFactory.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace QuillmarkPluginDevices {

// How long enumeration waits for the companion's device configuration report. A companion that never
// writes one must not hold the host's thread for good.
constexpr std::chrono::milliseconds kReportWaitLimit = std::chrono::seconds(30);

// More base stations than any installation has; a report counting more is damaged, and taking its
// count would have the host hold millions of factories.
constexpr int32_t kMostStations = 64;

// Runs one command line with no window and waits for it; its exit code, or nothing when it could not
// be started.
using CommandRunner = std::function<std::optional<unsigned long>(const std::string& commandLine)>;
std::optional<unsigned long> runHiddenCommand(const std::string& commandLine);

// The plug-in's version, the project's (FerroxVersion.h); null pointers are left alone.
void reportVersion(int32_t* major, int32_t* minor, int32_t* revision);

// Starts the companion, waits at most `reportWaitLimit` for its report and hands `sink` one factory per
// base station the report counts (at most kMostStations). The number of factories handed over; 1 when
// the report cannot be opened for the parse (with "Failed to open file: <path>").
int32_t enumerateDeviceFactories(AnalogSystem::FactorySink* sink, std::chrono::milliseconds reportWaitLimit);

// Ends the companion by image name, deletes the command file, empties the report and passes the
// report's identifier to `sink`. Always 0.
int32_t unloadPlugin(AnalogSystem::UnloadSink* sink, const CommandRunner& run = runHiddenCommand);

} // namespace QuillmarkPluginDevices
