#pragma once

#include <optional>
#include <string>

namespace QuillmarkPluginDevices {

// The files and the program the library works with, each built from an environment variable and a
// fixed suffix. Nothing when the variable is unset; the reporting forms then write one line naming
// the variable to standard error.
std::optional<std::string> commandFilePath(); // ProgramData + "\Quillmark\QuillmarkFerrox\pipe_input1.txt"
std::optional<std::string>
configurationReportPath(); // ProgramData + "\Quillmark\QuillmarkFerrox\DeviceConfiguration.txt"
std::optional<std::string>
companionExecutablePath(); // PROGRAMFILES + "\Quillmark\Harbex\LunoxaFerrox\Lunoxa\SabletBase.exe"
std::optional<std::string>
sensorStateFilePath(); // APPDATA + "\Ferrox, Inc\Sablet Discover\BaseMemory\system-state.json"

// As above, and "<what>: environment variable <name> is not set" on standard error when it is unset.
std::optional<std::string> commandFilePathReported(const char* what);
std::optional<std::string> configurationReportPathReported(const char* what);
std::optional<std::string> companionExecutablePathReported(const char* what);
std::optional<std::string> sensorStateFilePathReported(const char* what);

// The pipe name passed to the companion as its only argument.
constexpr const char* kCompanionPipeName = "\\\\.\\pipe\\test_pipe";
// The companion's image name, as unload looks for it.
constexpr const char* kCompanionImageName = "SabletBase.exe";

} // namespace QuillmarkPluginDevices
