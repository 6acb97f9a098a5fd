#pragma once

#include "inventory/SensorRecord.h"
#include "platform/Handle.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace QuillmarkPluginDevices {

// The process-wide owner of the companion: launches it with its console pipes and turns command words
// into command-file lines. The library reaches it only through instance(); tests may build their own.
class CompanionController {
public:
    static CompanionController* instance();

    CompanionController() = default;
    ~CompanionController();
    CompanionController(const CompanionController&) = delete;
    CompanionController& operator=(const CompanionController&) = delete;

    // Carries out one command word ("Connect", "EMG", "EMG plus Accelerometer", "EMG plus Gyrscope",
    // "Scan_Sensor", "AppRunMode", "Stop"). Errors go to standard error only.
    void sendCommand(const char* command);

    // The sensors of the vendor state file at sensorStateFilePath(); silent on every failure (a shorter
    // or empty list, nothing when APPDATA is unset).
    static std::vector<SensorRecord> readSensorStates();

    // The read end of the companion's console pipe; published atomically by a launch.
    platform::NativeHandle stdoutRead() const { return stdoutRead_.load(std::memory_order_acquire); }

    bool launched() const { return launched_.load(); }
    bool runModeSent() const { return runModeSent_.load(); }

    // For tests and tools that check or end a companion they launched: its process (a handle on
    // Windows, the process id on POSIX) and the write end of its standard input. Never written by
    // the library.
    platform::NativeHandle companionProcess() const { return companionProcess_; }
    platform::NativeHandle stdinWrite() const { return stdinWrite_; }
    // Closes the write end of the companion's standard input (it then reads end of file). The
    // controller owns its pipe ends and closes them when it goes, so nobody else may close this one.
    void closeInput();

private:
    void launch();
    void sendRunMode();

    std::atomic<bool> launched_{false};
    std::atomic<bool> runModeSent_{false};
    platform::NativeHandle companionProcess_ = platform::kInvalidHandle;
    platform::NativeHandle stdinRead_ = platform::kInvalidHandle;
    platform::NativeHandle stdinWrite_ = platform::kInvalidHandle;
    std::atomic<platform::NativeHandle> stdoutRead_{platform::kInvalidHandle};
    platform::NativeHandle stdoutWrite_ = platform::kInvalidHandle;
    // Serialises launches, so two concurrent "Connect"s cannot start two companions or tear the handles.
    std::mutex launchMutex_;
};

// Appends one line to the command file (text mode: CR LF on Windows, LF on POSIX).
void writeCommandFile(const std::string& line);

} // namespace QuillmarkPluginDevices
