#include "tools/ferrox-host/ProgramPaths.h"

#include "companion/Paths.h"

#include <cstdio>
#include <optional>
#include <string>
#include <utility>

namespace ferrox_host {

int printProgramPaths() {
    namespace paths = QuillmarkPluginDevices;
    constexpr const char* kWhat = "ferrox-host";
    const std::pair<const char*, std::optional<std::string>> lines[] = {
        {"companion", paths::companionExecutablePathReported(kWhat)},
        {"command_file", paths::commandFilePathReported(kWhat)},
        {"configuration_report", paths::configurationReportPathReported(kWhat)},
        {"state_file", paths::sensorStateFilePathReported(kWhat)},
        {"pipe_name", std::string(paths::kCompanionPipeName)},
    };
    int code = 0;
    for (const auto& [name, path] : lines) {
        if (path) {
            std::printf("%s=%s\n", name, path->c_str());
        } else {
            code = 1;
        }
    }
    std::fflush(stdout);
    return code;
}

} // namespace ferrox_host
