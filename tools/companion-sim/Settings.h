#pragma once

#include "BlockGenerator.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace companion_sim {

// What the simulator is told through its environment; the plug-in passes nothing but the pipe name.
struct Settings {
    int sensors = 4;                                    // FERROX_SIM_SENSORS, 1 .. 32
    int stations = 1;                                   // FERROX_SIM_STATIONS, 1 .. 9
    std::string hardwareName = "Sablet Base Simulator"; // FERROX_SIM_HARDWARE_NAME
    std::string deviceId = "40001";                     // FERROX_SIM_DEVICE_ID, decimal digits
    int firstSensorId = 101;     // FERROX_SIM_FIRST_SENSOR_ID, sensors get consecutive ids
    unsigned short port = 35692; // FERROX_SIM_PORT, on 127.0.0.1
    RunMode initialMode = RunMode::EmgAccelerometer; // FERROX_SIM_MODE
    SignalShape shape = SignalShape::Physiological;  // FERROX_SIM_SIGNAL
    std::uint64_t seed = 1;                          // FERROX_SIM_SEED
    bool latencyStamp = false;                       // FERROX_SIM_LATENCY_STAMP=1
    bool watchStandardInput = true;                  // FERROX_SIM_IGNORE_STDIN=1 turns it off
    std::chrono::milliseconds maxLag{100};           // FERROX_SIM_MAX_LAG_MS, 1 .. 60000
    // How the stream is written, for testing receivers against senders that are not a steady 1 ms.
    bool noDelay = true;                 // FERROX_SIM_NODELAY=0 leaves Nagle's algorithm on
    int burst = 1;                       // FERROX_SIM_BURST, blocks per write, 1 .. kMaxBurst
    int clockPpm = 0;                    // FERROX_SIM_CLOCK_PPM, -kMaxClockPpm .. +kMaxClockPpm
    std::chrono::milliseconds jitter{0}; // FERROX_SIM_JITTER_MS, 0 .. 1000
    bool sequence = false;               // FERROX_SIM_SEQUENCE=1 puts the block counter in value 126

    static constexpr int kMaxBurst = 1000;
    static constexpr int kMaxClockPpm = 100000;

    std::vector<int> sensorIds() const;
    SignalSettings signal() const { return SignalSettings{sensors, shape, seed}; }
};

constexpr const char* kStreamHost = "127.0.0.1";

// A variable's value, or nothing when it is unset (the process environment in the tool, a table in tests).
using EnvironmentLookup = std::function<std::optional<std::string>(const char* name)>;

// Reads every setting. A value that does not parse, or lies outside its range, is not used: the
// default stays and a warning naming the variable is added.
Settings settingsFromEnvironment(const EnvironmentLookup& lookup, std::vector<std::string>& warnings);

// The --help text: usage, every variable with its default, the units and the latency stamp.
std::string helpText();

} // namespace companion_sim
