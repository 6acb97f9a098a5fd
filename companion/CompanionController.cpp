#include "companion/CompanionController.h"

#include "companion/Paths.h"
#include "inventory/SensorStateReader.h"
#include "platform/Process.h"
#include "platform/Sleep.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <mutex>

namespace QuillmarkPluginDevices {

namespace {
constexpr const char* kBanner = "\n->Start of parent execution.\n";
constexpr const char* kLaunchFailure = "Failed to launch SabletBase.exe";
constexpr const char* kWriteFailure = "Failed to write to pipe file";
constexpr auto kRunModeSettle = std::chrono::seconds(1);

void printError(const char* text) {
    std::fputs(text, stderr);
    std::fflush(stderr);
}

// Empties an existing command file so that it only ever holds the newest command; a missing file is
// not created here. The returned reading stream is kept open by the caller until its call ends.
std::ifstream emptyCommandFile(const std::optional<std::string>& path) {
    std::ifstream reading;
    if (!path) {
        return reading;
    }
    reading.open(*path);
    if (reading.is_open()) {
        std::ofstream truncating(*path, std::ios::out | std::ios::trunc);
    }
    return reading;
}
} // namespace

CompanionController* CompanionController::instance() {
    // A static object rather than a heap one: unloading the plug-in then releases it and its pipe ends,
    // so a host that loads and unloads the plug-in repeatedly does not pile up descriptors.
    static CompanionController controller;
    return &controller;
}

CompanionController::~CompanionController() {
    // The process itself is not ours to end here (the unload step does that by name), and on POSIX
    // companionProcess_ is a process id, which closeHandle must never see.
    platform::closeHandle(stdinRead_);
    platform::closeHandle(stdinWrite_);
    platform::closeHandle(stdoutRead_.exchange(platform::kInvalidHandle));
    platform::closeHandle(stdoutWrite_);
}

void CompanionController::closeInput() {
    platform::closeHandle(stdinWrite_);
    stdinWrite_ = platform::kInvalidHandle;
}

void CompanionController::sendCommand(const char* command) {
    try {
        // A null word is no word at all: it matches nothing, like the empty one.
        const std::string word = command ? command : "";

        const auto commandFile = commandFilePath();
        const std::ifstream reading = emptyCommandFile(commandFile);

        std::fputs(kBanner, stdout);
        std::fflush(stdout);

        if (word == "Connect" && !launched_.load()) {
            std::lock_guard<std::mutex> lock(launchMutex_);
            // Another thread may have launched while this one waited for the lock.
            if (!launched_.load()) {
                launch();
            }
        } else if (word == "EMG") {
            writeCommandFile("EMG");
        } else if (word == "EMG plus Accelerometer") {
            writeCommandFile("EMG plus Accelerometer");
        } else if (word == "EMG plus Gyrscope") {
            writeCommandFile("EMG plus Gyrscope");
        } else if (word == "Scan_Sensor") {
            writeCommandFile("Scan");
        } else if (word == "AppRunMode" && !runModeSent_.load()) {
            sendRunMode();
        } else if (word == "Stop") {
            writeCommandFile("Stop");
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "FerroxEMG: command failed: %s\n", error.what());
        std::fflush(stderr);
    } catch (...) {
        printError("FerroxEMG: command failed\n");
    }
}

std::vector<SensorRecord> CompanionController::readSensorStates() {
    const auto path = sensorStateFilePath();
    if (!path) {
        return {};
    }
    return readSensorStateFile(*path).sensors;
}

void CompanionController::launch() {
    // Without PROGRAMFILES there is no program to start; say which variable is missing, and leave the
    // next "Connect" free to try again once it is set.
    const auto executable = companionExecutablePathReported(kLaunchFailure);
    if (!executable) {
        return;
    }
    const platform::ConsoleLaunch started = platform::launchWithConsolePipes(*executable, kCompanionPipeName);
    if (!started.started) {
        std::fprintf(stderr, "%s: %lu\n", kLaunchFailure, started.error);
        std::fflush(stderr);
        return;
    }
    companionProcess_ = started.process;
    stdinRead_ = started.stdinRead;
    stdinWrite_ = started.stdinWrite;
    stdoutWrite_ = started.stdoutWrite;
    stdoutRead_.store(started.stdoutRead, std::memory_order_release);
    launched_.store(true);
    sendRunMode();
}

void CompanionController::sendRunMode() {
    writeCommandFile("AppRunMode");
    // The companion needs this long to switch modes before it takes further commands.
    platform::sleepFor(kRunModeSettle);
    runModeSent_.store(true);
}

void writeCommandFile(const std::string& line) {
    try {
        const auto path = commandFilePathReported(kWriteFailure);
        if (!path) {
            return;
        }
        std::ofstream file(*path, std::ios::out | std::ios::app);
        if (!file.is_open()) {
            std::fprintf(stderr, "%s: %s\n", kWriteFailure, path->c_str());
            std::fflush(stderr);
            return;
        }
        // Text mode: the newline becomes CR LF on Windows, which is what the companion reads there.
        file << line << "\n";
        file.close();
    } catch (...) {
        printError("Failed to write to pipe file\n");
    }
}

} // namespace QuillmarkPluginDevices
