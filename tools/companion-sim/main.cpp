// SabletBase.exe: a stand-in for the base-station companion, for work without the hardware.
//
// The plug-in starts it with the pipe name "\\.\pipe\test_pipe" as its only argument and its console on
// a pipe, so every setting comes from the environment (defaults in brackets; `SabletBase.exe --help`
// prints the same list with the block layout):
//   FERROX_SIM_SENSORS [4], 1..32            FERROX_SIM_STATIONS [1], 1..9
//   FERROX_SIM_HARDWARE_NAME [Sablet Base Simulator]
//   FERROX_SIM_DEVICE_ID [40001], digits     FERROX_SIM_FIRST_SENSOR_ID [101]
//   FERROX_SIM_PORT [35692], on 127.0.0.1    FERROX_SIM_MODE [EMG plus Accelerometer] (or emg/acc/gyro)
//   FERROX_SIM_SIGNAL [physiological] | sine | ramp
//   FERROX_SIM_SEED [1]
//   FERROX_SIM_LATENCY_STAMP [0]; 1 puts the send time (steady ms mod 1000) into value 127
//   FERROX_SIM_IGNORE_STDIN [0]; 1 keeps it running when standard input is at end of file
//   FERROX_SIM_MAX_LAG_MS [100]; further behind its schedule, the stream skips the overdue blocks
//   FERROX_SIM_SEQUENCE [0]; 1 puts the block counter (modulo 2^24) into value 126 and the time the
//   previous write's call returned into value 125
//   FERROX_SIM_NODELAY [1]; 0 leaves Nagle's algorithm on    FERROX_SIM_BURST [1], blocks per write
//   FERROX_SIM_CLOCK_PPM [0], -100000..+100000, + runs fast  FERROX_SIM_JITTER_MS [0], 0..1000 per write
// Units: EMG in millivolts, accelerometer in g, gyroscope in degrees per second.
//   FERROX_SIM_PROGRAM_DATA, FERROX_SIM_APP_DATA: folders that replace ProgramData and APPDATA
// It uses the plug-in's own folders (ProgramData, APPDATA) and ends at end of standard input, on a
// termination request, or when killed.

#include "Console.h"
#include "Settings.h"
#include "Simulator.h"

#include "platform/Environment.h"
#include "platform/StandardStreams.h"
#include "platform/TerminationRequest.h"

#include <cstdio>
#include <exception>
#include <string>
#include <utility>
#include <vector>

int main(int argc, char** argv) {
    try {
        std::vector<std::string> arguments(argv + 1, argv + argc);
        for (const auto& argument : arguments) {
            if (argument == "--help" || argument == "-h" || argument == "/?") {
                const std::string help = companion_sim::helpText();
                std::fwrite(help.data(), 1, help.size(), stdout);
                std::fflush(stdout);
                return 0;
            }
        }
        if (!platform::installTerminationRequestHandlers()) {
            std::fputs("SabletBase simulator: termination requests will end it without an orderly stop\n",
                       stderr);
        }
        companion_sim::Console console(platform::standardOutput());
        if (!console.start()) {
            std::fputs("SabletBase simulator: cannot start the console thread\n", stderr);
            return 1;
        }
        // Wine gives a Windows program started from a Linux shell its prefix's ProgramData and APPDATA,
        // whatever the shell had; a script that starts a companion beside the plug-in's names the
        // sandbox's folders here.
        for (const auto& [setting, variable] :
             {std::pair<const char*, const char*>{"FERROX_SIM_PROGRAM_DATA", "ProgramData"},
              std::pair<const char*, const char*>{"FERROX_SIM_APP_DATA", "APPDATA"}}) {
            if (const auto folder = platform::getEnv(setting); folder && !folder->empty()) {
                platform::setEnv(variable, folder->c_str());
            }
        }
        std::vector<std::string> warnings;
        const auto settings = companion_sim::settingsFromEnvironment(
            [](const char* name) { return platform::getEnv(name); }, warnings);
        for (const auto& warning : warnings) {
            console.post("Setting " + warning);
        }
        if (arguments.size() > 1) {
            console.post("Ignoring " + std::to_string(arguments.size() - 1) +
                         " arguments after the pipe name");
        }
        int code = 0;
        {
            companion_sim::Simulator simulator(settings, console, arguments.empty() ? "" : arguments.front());
            code = simulator.run();
        }
        console.stop();
        return code;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "SabletBase simulator: %s\n", error.what());
        return 1;
    } catch (...) {
        std::fputs("SabletBase simulator: unexpected failure\n", stderr);
        return 1;
    }
}
