#include "companion/Paths.h"

#include "platform/Environment.h"

#include <cstdio>

namespace QuillmarkPluginDevices {

namespace {
constexpr const char* kProgramData = "ProgramData";
constexpr const char* kProgramFiles = "PROGRAMFILES";
constexpr const char* kAppData = "APPDATA";
constexpr const char* kCommandFileSuffix = "\\Quillmark\\QuillmarkFerrox\\pipe_input1.txt";
constexpr const char* kReportSuffix = "\\Quillmark\\QuillmarkFerrox\\DeviceConfiguration.txt";
constexpr const char* kCompanionSuffix = "\\Quillmark\\Harbex\\LunoxaFerrox\\Lunoxa\\SabletBase.exe";
constexpr const char* kStateFileSuffix = "\\Ferrox, Inc\\Sablet Discover\\BaseMemory\\system-state.json";

std::optional<std::string> reported(const char* variable, const char* suffix, const char* what) {
    auto path = platform::envPath(variable, suffix);
    if (!path) {
        std::fprintf(stderr, "%s: environment variable %s is not set\n", what ? what : "FerroxEMG", variable);
        std::fflush(stderr);
    }
    return path;
}
} // namespace

std::optional<std::string> commandFilePath() {
    return platform::envPath(kProgramData, kCommandFileSuffix);
}
std::optional<std::string> configurationReportPath() {
    return platform::envPath(kProgramData, kReportSuffix);
}
std::optional<std::string> companionExecutablePath() {
    return platform::envPath(kProgramFiles, kCompanionSuffix);
}
std::optional<std::string> sensorStateFilePath() {
    return platform::envPath(kAppData, kStateFileSuffix);
}

std::optional<std::string> commandFilePathReported(const char* what) {
    return reported(kProgramData, kCommandFileSuffix, what);
}
std::optional<std::string> configurationReportPathReported(const char* what) {
    return reported(kProgramData, kReportSuffix, what);
}
std::optional<std::string> companionExecutablePathReported(const char* what) {
    return reported(kProgramFiles, kCompanionSuffix, what);
}
std::optional<std::string> sensorStateFilePathReported(const char* what) {
    return reported(kAppData, kStateFileSuffix, what);
}

} // namespace QuillmarkPluginDevices
