#include "Settings.h"

#include <cerrno>
#include <cstdlib>
#include <limits>

namespace companion_sim {

namespace {
// A whole decimal number in [low, high], nothing else (no sign games, no trailing text).
std::optional<long long> parseInteger(const std::string& text, long long low, long long high) {
    if (text.empty() || text.size() > 18) {
        return std::nullopt;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
    }
    const long long value = std::strtoll(text.c_str(), nullptr, 10);
    if (value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

// The same with one leading sign, "+" or "-", which a clock error reads naturally with.
std::optional<long long> parseSignedInteger(const std::string& text, long long limit) {
    const bool negative = !text.empty() && text[0] == '-';
    const bool sign = negative || (!text.empty() && text[0] == '+');
    const auto magnitude = parseInteger(sign ? text.substr(1) : text, 0, limit);
    if (!magnitude) {
        return std::nullopt;
    }
    return negative ? -*magnitude : *magnitude;
}

bool isFlagOn(const std::string& text) {
    return text == "1" || text == "on" || text == "yes" || text == "true";
}
bool isFlagOff(const std::string& text) {
    return text == "0" || text == "off" || text == "no" || text == "false";
}

// The report is read line by line with patterns; a name with a line break, a non-printable byte or an
// "ID:" of its own would let it be taken for another line's content.
bool usableHardwareName(const std::string& text) {
    if (text.empty() || text.size() > 100 || text.find("ID:") != std::string::npos) {
        return false;
    }
    for (char c : text) {
        if (c < 0x20 || c > 0x7E) {
            return false;
        }
    }
    return true;
}

std::optional<RunMode> parseMode(const std::string& text) {
    if (auto mode = runModeFromCommand(text)) {
        return mode;
    }
    if (text == "emg") {
        return RunMode::Emg;
    }
    if (text == "acc" || text == "accelerometer") {
        return RunMode::EmgAccelerometer;
    }
    if (text == "gyro" || text == "gyroscope") {
        return RunMode::EmgGyroscope;
    }
    return std::nullopt;
}

class Reader {
public:
    Reader(const EnvironmentLookup& lookup, std::vector<std::string>& warnings)
        : lookup_(lookup), warnings_(warnings) {}

    // Calls apply with the value when the variable is set; a false result keeps the default and warns.
    template <typename Apply> void read(const char* name, const char* expected, Apply apply) {
        const auto value = lookup_(name);
        if (!value) {
            return;
        }
        if (!apply(*value)) {
            warnings_.push_back(std::string("ignoring ") + name + "=\"" + printable(*value) +
                                "\": expected " + expected + "; the default stays");
        }
    }

private:
    static std::string printable(const std::string& text) {
        std::string out;
        for (char c : text.substr(0, 60)) {
            out.push_back(c >= 0x20 && c <= 0x7E ? c : '?');
        }
        return out;
    }

    const EnvironmentLookup& lookup_;
    std::vector<std::string>& warnings_;
};
} // namespace

std::vector<int> Settings::sensorIds() const {
    std::vector<int> ids;
    for (int i = 0; i < sensors; ++i) {
        ids.push_back(firstSensorId + i);
    }
    return ids;
}

Settings settingsFromEnvironment(const EnvironmentLookup& lookup, std::vector<std::string>& warnings) {
    Settings s;
    Reader r(lookup, warnings);
    r.read("FERROX_SIM_SENSORS", "a number from 1 to 32", [&](const std::string& v) {
        auto n = parseInteger(v, 1, kMaxSensors);
        return n ? (s.sensors = static_cast<int>(*n), true) : false;
    });
    // The plug-in's report parser reads the count with the digits 1 to 9 only, so 10 would read as 1.
    r.read("FERROX_SIM_STATIONS", "a number from 1 to 9", [&](const std::string& v) {
        auto n = parseInteger(v, 1, 9);
        return n ? (s.stations = static_cast<int>(*n), true) : false;
    });
    r.read("FERROX_SIM_HARDWARE_NAME", "printable text without \"ID:\", at most 100 characters",
           [&](const std::string& v) { return usableHardwareName(v) ? (s.hardwareName = v, true) : false; });
    r.read("FERROX_SIM_DEVICE_ID", "1 to 18 decimal digits", [&](const std::string& v) {
        return parseInteger(v, 0, std::numeric_limits<long long>::max()) ? (s.deviceId = v, true) : false;
    });
    r.read("FERROX_SIM_PORT", "a TCP port from 1 to 65535", [&](const std::string& v) {
        auto n = parseInteger(v, 1, 65535);
        return n ? (s.port = static_cast<unsigned short>(*n), true) : false;
    });
    r.read("FERROX_SIM_MODE", "EMG, EMG plus Accelerometer, EMG plus Gyrscope (or emg, acc, gyro)",
           [&](const std::string& v) {
               auto mode = parseMode(v);
               return mode ? (s.initialMode = *mode, true) : false;
           });
    r.read("FERROX_SIM_SIGNAL", "physiological, sine or ramp", [&](const std::string& v) {
        auto shape = signalShapeFromName(v);
        return shape ? (s.shape = *shape, true) : false;
    });
    r.read("FERROX_SIM_SEED", "a whole number", [&](const std::string& v) {
        auto n = parseInteger(v, 0, std::numeric_limits<long long>::max());
        return n ? (s.seed = static_cast<std::uint64_t>(*n), true) : false;
    });
    // A flag's setting: `target` becomes `whenOn` for 1 and its opposite for 0.
    const auto flag = [](bool& target, bool whenOn) {
        return [&target, whenOn](const std::string& v) {
            return isFlagOn(v) ? (target = whenOn, true) : isFlagOff(v) ? (target = !whenOn, true) : false;
        };
    };
    r.read("FERROX_SIM_LATENCY_STAMP", "1 or 0", flag(s.latencyStamp, true));
    r.read("FERROX_SIM_IGNORE_STDIN", "1 or 0", flag(s.watchStandardInput, false));
    r.read("FERROX_SIM_NODELAY", "1 or 0", flag(s.noDelay, true));
    r.read("FERROX_SIM_SEQUENCE", "1 or 0", flag(s.sequence, true));
    r.read("FERROX_SIM_BURST", "a number of blocks from 1 to 1000", [&](const std::string& v) {
        auto n = parseInteger(v, 1, Settings::kMaxBurst);
        return n ? (s.burst = static_cast<int>(*n), true) : false;
    });
    r.read("FERROX_SIM_CLOCK_PPM", "parts per million from -100000 to +100000", [&](const std::string& v) {
        auto n = parseSignedInteger(v, Settings::kMaxClockPpm);
        return n ? (s.clockPpm = static_cast<int>(*n), true) : false;
    });
    r.read("FERROX_SIM_JITTER_MS", "a number of milliseconds from 0 to 1000", [&](const std::string& v) {
        auto n = parseInteger(v, 0, 1000);
        return n ? (s.jitter = std::chrono::milliseconds(*n), true) : false;
    });
    r.read("FERROX_SIM_MAX_LAG_MS", "a number of milliseconds from 1 to 60000", [&](const std::string& v) {
        auto n = parseInteger(v, 1, 60000);
        return n ? (s.maxLag = std::chrono::milliseconds(*n), true) : false;
    });
    // Read after the count, because the range of valid first ids depends on it: the last id must still
    // fit the report parser's 32-bit conversion.
    r.read("FERROX_SIM_FIRST_SENSOR_ID", "a number from 1 to 2147483647 minus the sensor count",
           [&](const std::string& v) {
               auto n = parseInteger(v, 1, std::numeric_limits<std::int32_t>::max() - s.sensors + 1);
               return n ? (s.firstSensorId = static_cast<int>(*n), true) : false;
           });
    return s;
}

std::string helpText() {
    return R"(SabletBase.exe - a stand-in for the base-station companion of the FerroxEMG plug-in

Usage: SabletBase.exe [\\.\pipe\test_pipe]
       SabletBase.exe --help

Started by the plug-in with the pipe name as its only argument (the name is shown, nothing is sent
through it). It watches the command file for "AppRunMode", "Scan", "EMG", "EMG plus Accelerometer",
"EMG plus Gyrscope" and "Stop"; after "AppRunMode" it writes the device configuration report and
streams 1024-byte blocks of 128 little-endian doubles to 127.0.0.1 at 1000 blocks a second,
reconnecting whenever the device drops the connection. "Stop" pauses the stream (the connection
stays); a run-mode line switches the layout and resumes it. If the sensor state file is missing it
writes one for its sensors. It ends when its standard input reaches end of file, on Ctrl+C/SIGTERM,
or when killed.

Files (the plug-in's own locations):
  %ProgramData%\Quillmark\QuillmarkFerrox\pipe_input1.txt          command file, polled every 20 ms
  %ProgramData%\Quillmark\QuillmarkFerrox\DeviceConfiguration.txt  report, written on "AppRunMode"
  %APPDATA%\Ferrox, Inc\Sablet Discover\BaseMemory\system-state.json  written only when missing

Environment (default in brackets):
  FERROX_SIM_SENSORS          sensors, 1 to 32 [4]
  FERROX_SIM_STATIONS         base stations in the report, 1 to 9 [1]
  FERROX_SIM_HARDWARE_NAME    hardware name in the report [Sablet Base Simulator]
  FERROX_SIM_DEVICE_ID        identifier in the report, decimal digits [40001]
  FERROX_SIM_FIRST_SENSOR_ID  id of sensor 1; the others follow consecutively [101]
  FERROX_SIM_PORT             stream port on 127.0.0.1 [35692]
  FERROX_SIM_MODE             layout until a run-mode command arrives: EMG, EMG plus Accelerometer,
                              EMG plus Gyrscope, or emg, acc, gyro [EMG plus Accelerometer]
  FERROX_SIM_SIGNAL           physiological, sine or ramp [physiological]
  FERROX_SIM_SEED             noise realisation [1]
  FERROX_SIM_LATENCY_STAMP    1: value 127 carries the send time [0]
  FERROX_SIM_IGNORE_STDIN     1: do not end at end of standard input (for runs with </dev/null) [0]
  FERROX_SIM_MAX_LAG_MS       a stream this far behind its schedule skips the overdue blocks [100]
  FERROX_SIM_SEQUENCE         1: value 126 carries the block counter, 125 the last write's return [0]
  FERROX_SIM_NODELAY          0: leave Nagle's algorithm on (no TCP_NODELAY on the stream) [1]
  FERROX_SIM_BURST            blocks written back to back each time, 1 to 1000; every N ms one write
                              of N blocks, at the same average rate [1]
  FERROX_SIM_CLOCK_PPM        the simulator clock's error in parts per million, -100000 to +100000;
                              positive runs fast: +100000 sends 1111 blocks a second [0]
  FERROX_SIM_JITTER_MS        a random delay of 0 to J ms on each write, 0 to 1000 [0]
  FERROX_SIM_PROGRAM_DATA     a folder that replaces ProgramData (Wine gives a program started from
  FERROX_SIM_APP_DATA         outside its prefix's folders), and one that replaces APPDATA [unset]
A value that does not parse keeps the default, with a warning on the console.

Block layout: values 4(u-1)+0..3 belong to sensor u (u = 1..sensors); all other values are 0.
  EMG                     four EMG channels per sensor
  EMG plus Accelerometer  EMG, then accelerometer X, Y, Z
  EMG plus Gyrscope       EMG, then gyroscope X, Y, Z
Units: EMG in millivolts (bursts of about 1 s every 2.5 s, peaks below 1 mV, 5 uV rest noise;
  each sensor's bursts 0.45 s after the previous sensor's); accelerometer in g (gravity of 1 g seen
  through the limb's slow sway and the lift of each burst); gyroscope in degrees per second (the
  rates of that movement, below 250 deg/s).
  sine: value i is A sin(2 pi (1 + i mod 16) Hz t), A = 1 mV, 1 g or 100 deg/s by channel kind.
  ramp: value i of block k is i + (k mod 1000)/1000.
Latency stamp (FERROX_SIM_LATENCY_STAMP=1): value 127 is the send time in steady-clock milliseconds
  (to the microsecond) modulo 1000; a reader on the same machine takes (its own steady ms - stamp) mod 1000 as the
  latency. With 32 sensors it replaces sensor 32's last axis.
Sequence (FERROX_SIM_SEQUENCE=1): value 126 counts the blocks written on the stream since the
  simulator started, 0, 1, 2, ... modulo 2^24 (whole numbers a float holds exactly: 4.6 hours at
  1000 blocks a second). Skipped blocks get no number, so a gap in the counter is a block the
  receiver lost. With 32 sensors it replaces sensor 32's third value (accelerometer or gyroscope Y).
  Value 125 is when the previous write's call returned, as the latency stamp (0 for a connection's
  first write): its bytes had reached the socket by then at the latest. It replaces sensor 32's
  second value.
Pacing: block k is due k periods after the simulator started, the period being 1 ms * (1 - ppm/1e6);
  a write of N blocks is due with its last block, then waits its jitter, but never leaves before the
  write ahead of it; a send never starts early. The schedule is absolute: neither jitter nor a late
  write moves it. A stream more than FERROX_SIM_MAX_LAG_MS behind skips the overdue blocks and says
  how many on the console.

Console: every message ends with a NUL byte (the plug-in relays NUL-terminated messages as lines).
)";
}

} // namespace companion_sim
