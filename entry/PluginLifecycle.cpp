#include "entry/PluginLifecycle.h"

#include "companion/CompanionController.h"
#include "companion/Paths.h"
#include "factory/FerroxEMGFactory.h"
#include "inventory/ConfigurationReport.h"
#include "platform/Process.h"
#include "platform/Sleep.h"

#include "FerroxVersion.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

namespace QuillmarkPluginDevices {

namespace {
constexpr int kCommandFileRemoveAttempts = 40;
constexpr auto kCommandFileRemoveRetry = std::chrono::milliseconds(25);

void printTo(std::FILE* stream, const std::string& text) {
    std::fputs(text.c_str(), stream);
    // Windows fully buffers a redirected stream; the host's log would get these lines late or never.
    std::fflush(stream);
}

void stopCompanion(const CommandRunner& run) {
    const std::optional<unsigned long> check = run(platform::imageCheckCommandLine(kCompanionImageName));
    if (!check || *check != 0) {
        return;
    }
    const std::optional<unsigned long> kill = run(platform::imageKillCommandLine(kCompanionImageName));
    if (!kill) {
        printTo(stderr, "Failed to execute taskkill.\n");
    } else if (*kill == 0) {
        printTo(stdout, "SabletBase.exe terminated successfully.\n");
    } else {
        printTo(stderr, "Failed to terminate SabletBase.exe.\n");
    }
}

void removeCommandFile() {
    const auto path = commandFilePathReported("FerroxEMG unload");
    if (!path) {
        return;
    }
    std::ifstream probe(*path);
    if (!probe.good()) {
        return;
    }
    probe.close();
    // On Windows a file another process has open cannot be deleted, and a companion that is still
    // running (or still ending after taskkill) opens the command file for a moment at every poll. Such
    // a moment passes; a file that stays undeletable is reported.
    for (int attempt = 1;; ++attempt) {
        if (std::remove(path->c_str()) == 0) {
            printTo(stdout, "Existing pipe file deleted.\n");
            return;
        }
        if (attempt == kCommandFileRemoveAttempts) {
            break;
        }
        platform::sleepFor(kCommandFileRemoveRetry);
    }
    printTo(stderr, "Failed to delete existing pipe file.\n");
}
} // namespace

std::optional<unsigned long> runHiddenCommand(const std::string& commandLine) {
    return platform::runHidden(commandLine);
}

void reportVersion(int32_t* major, int32_t* minor, int32_t* revision) {
    if (major) {
        *major = FERROX_VERSION_MAJOR;
    }
    if (minor) {
        *minor = FERROX_VERSION_MINOR;
    }
    if (revision) {
        *revision = FERROX_VERSION_PATCH;
    }
}

int32_t enumerateDeviceFactories(AnalogSystem::FactorySink* sink, std::chrono::milliseconds reportWaitLimit) {
    if (!sink) {
        printTo(stderr, "FerroxEMG: enumeration without a factory sink; no factories\n");
        return 0;
    }
    CompanionController::instance()->sendCommand("Connect");

    const auto path = configurationReportPathReported("FerroxEMG enumeration");
    if (!path) {
        return 0;
    }
    if (!waitForConfigurationReport(*path, reportWaitLimit)) {
        const auto seconds =
            std::chrono::duration_cast<std::chrono::duration<double>>(reportWaitLimit).count();
        char limit[32];
        std::snprintf(limit, sizeof limit, "%g", seconds);
        printTo(stderr, "FerroxEMG: no device configuration report at " + *path + " within " + limit +
                            " s; no factories\n");
        return 0;
    }

    const ConfigurationReport report = readConfigurationReport(*path);
    if (!report.reportOpened) {
        printTo(stderr, "Failed to open file: " + *path + "\n");
        return 1;
    }
    int32_t stations = report.stationCount;
    if (stations > kMostStations) {
        printTo(stderr, "FerroxEMG: the device configuration report counts " + std::to_string(stations) +
                            " base stations; handing over " + std::to_string(kMostStations) + "\n");
        stations = kMostStations;
    }
    // One report describes every station alike; the count only says how many the host gets.
    for (int32_t i = 0; i < stations; ++i) {
        sink->AddFactory(std::make_unique<FerroxEMGFactory>(report.deviceId, report.hardwareName,
                                                            report.occupiedSensorIds));
    }
    return stations;
}

int32_t unloadPlugin(AnalogSystem::UnloadSink* sink, const CommandRunner& run) {
    stopCompanion(run);
    removeCommandFile();

    std::string identifier;
    if (const auto report = configurationReportPath()) {
        identifier = readReportIdentity(*report).second;
        // Emptied, not deleted: the next enumeration then waits for the companion's fresh report.
        clearConfigurationReport(*report);
    }
    if (sink) {
        sink->DeviceIdentifierReleased(identifier.c_str());
    }
    return 0;
}

} // namespace QuillmarkPluginDevices
