// ferrox-host: a stand-in for the motion-capture host. It loads the plug-in, enumerates its factories,
// creates a device and runs the session a user would run from the property panel, then reports what
// the plug-in did. Scripts outside the project rely on its options and on the summary's fields.
#include "platform/Environment.h"
#include "tools/ferrox-host/Check.h"
#include "tools/ferrox-host/HostSession.h"
#include "tools/ferrox-host/PluginModule.h"
#include "tools/ferrox-host/ProgramPaths.h"
#include "tools/ferrox-host/SessionOutput.h"

#include "FerroxVersion.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

void printLine(const std::string& line) {
    std::printf("%s\n", line.c_str());
    // A pipe is fully buffered on Windows; a script watching the progress wants each line as it comes.
    std::fflush(stdout);
}

int fatal(int code, const std::string& reason) {
    std::fprintf(stderr, "ferrox-host: %s\n", reason.c_str());
    std::fflush(stderr);
    return code;
}

// CLI11's own range check prints the largest double; a script's author wants one plain sentence.
std::string nonNegative(const std::string& text) {
    try {
        std::size_t used = 0;
        const double value = std::stod(text, &used);
        if (used == text.size() && value >= 0.0) {
            return std::string();
        }
    } catch (const std::exception&) {
    }
    return "expected a number of seconds, 0 or more; got \"" + text + "\"";
}

int runHost(int argc, char** argv) {
    ferrox_host::SessionOptions options;
    options.pluginPath = ferrox_host::defaultPluginPath();
    std::string enable = "all";
    std::string csvPath;
    std::string summaryPath;
    int configuration = 0;

    CLI::App app{"Loads the FerroxEMG plug-in like the host does and runs one session: enumeration, device "
                 "creation, property changes, channel selection, waiting for the sample stream, capture, "
                 "unload.",
                 "ferrox-host"};
    app.set_version_flag("--version", "ferrox-host " FERROX_VERSION_STRING);
    app.add_option("--plugin", options.pluginPath, "the plug-in library")->capture_default_str();
    bool check = false;
    app.add_flag(
        "--check", check,
        "check the set-up before a session, without capturing: one line per item, marked OK, WARN or "
        "FAIL; exit 0 when nothing FAILs");
    auto* configurationOption = app.add_option(
        "--configuration", configuration,
        "set \"Configuration\" (0 EMG, 1 EMG plus Accelerometer, 2 EMG plus Gyrscope) and report "
        "the change before capture");
    std::string delivery;
    auto* deliveryOption =
        app.add_option(
               "--delivery", delivery,
               "set \"Delivery\" (every: 0 \"Every sample\", every block once and in order; newest: 1 "
               "\"Newest sample\", the second-newest block at each tick) and report the change before "
               "capture; unset, the device keeps its default, every sample")
            ->check(CLI::IsMember({"every", "newest"}));
    app.add_option("--enable", enable,
                   "channels whose \"AnalogChannel_Enabled\" becomes true: all, none or I,J,...")
        ->capture_default_str()
        ->check([](const std::string& text) {
            ferrox_host::ChannelSelection selection;
            std::string error;
            return ferrox_host::parseChannelSelection(text, selection, error) ? std::string() : error;
        });
    app.add_option("--change", options.changes,
                   "report a change of this device property after creation (repeatable, kept in order)")
        ->allow_extra_args(false);
    app.add_option("--connect-timeout", options.connectTimeoutSeconds,
                   "seconds to keep reporting \"AppRunMode\" until the stream is accepted (0: do not wait "
                   "for a stream)")
        ->capture_default_str()
        ->check(nonNegative);
    app.add_option("--seconds", options.captureSeconds, "capture time in seconds (0: no capture)")
        ->capture_default_str()
        ->check(nonNegative);
    app.add_option("--csv", csvPath, "write every delivered frame to this CSV file");
    app.add_option("--summary", summaryPath,
                   "write the session summary (with --check: the check's items) to this JSON file");
    app.add_flag("--reconnect", options.reconnect,
                 "during capture, when the stream ends or stalls, change \"AppRunMode\" every 100 ms "
                 "until the device takes a new connection");
    app.add_option("--reconnect-after", options.reconnectAfterSeconds,
                   "with --reconnect: seconds to leave the device to take a new connection by itself "
                   "(live frames again) before the first \"AppRunMode\" change")
        ->capture_default_str()
        ->check(nonNegative);
    app.add_flag("--latency-stamp", options.latencyStamp,
                 "the stream's value 127 is the sender's steady-clock time (ms modulo 1000): report latency");
    app.footer("Fidelity: when the active channel with channel ID 126 carries block numbers (whole numbers\n"
               "from 0 to 2^24-1 in at least 99% of the frames that are not all zeros, as the companion\n"
               "simulator sends them with FERROX_SIM_SEQUENCE=1), capture.timing.fidelity in the summary\n"
               "counts in frame-ID order the distinct blocks seen, the frames that repeat the block of the\n"
               "frame before, the blocks skipped, the slips (places of a repeat or a skip), steps back and\n"
               "restarts, over the whole capture and after its first second; otherwise it is null.");
    // A Windows process started from outside Windows (under Wine, from a Linux shell) takes these
    // folders from the system, not from its parent: these options set them for the plug-in.
    std::string programFiles;
    std::string programData;
    std::string appData;
    app.add_option("--program-files", programFiles,
                   "set PROGRAMFILES for the plug-in, which starts the companion found below it");
    app.add_option("--program-data", programData,
                   "set ProgramData for the plug-in (command file and device configuration report)");
    app.add_option("--app-data", appData, "set APPDATA for the plug-in (the sensor state file)");
    bool printPaths = false;
    app.add_flag("--print-paths", printPaths,
                 "print where the plug-in looks for the companion, the command file, the report and the "
                 "state file (name=path, from the folders above or the environment), then exit");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error);
    }

    if (configurationOption->count() > 0) {
        options.configuration = configuration;
    }
    if (deliveryOption->count() > 0) {
        options.delivery = delivery == "newest" ? 1 : 0;
    }
    std::string error;
    ferrox_host::parseChannelSelection(enable, options.enable, error);
    options.keepFrames = !csvPath.empty();
    for (const auto& [variable, value] :
         {std::pair<const char*, const std::string&>{"PROGRAMFILES", programFiles},
          std::pair<const char*, const std::string&>{"ProgramData", programData},
          std::pair<const char*, const std::string&>{"APPDATA", appData}}) {
        if (!value.empty()) {
            platform::setEnv(variable, value.c_str());
        }
    }
    if (printPaths) {
        return ferrox_host::printProgramPaths();
    }
    if (check) {
        printLine("ferrox-host " FERROX_VERSION_STRING ": checking the set-up for the FerroxEMG plug-in");
        const std::vector<ferrox_host::CheckItem> items = ferrox_host::runCheck(options.pluginPath);
        for (const ferrox_host::CheckItem& item : items) {
            printLine(ferrox_host::checkLine(item));
        }
        printLine(ferrox_host::checkSummary(items));
        if (!summaryPath.empty() &&
            !ferrox_host::writeTextFile(
                summaryPath,
                ferrox_host::checkJson(items).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) +
                    "\n",
                error)) {
            return fatal(1, error);
        }
        return ferrox_host::checkExitCode(items);
    }
    options.progress = printLine;

    printLine("ferrox-host: plug-in " + options.pluginPath);
    const ferrox_host::SessionResult result = ferrox_host::runSession(options);
    std::fputs(ferrox_host::consoleSummary(result).c_str(), stdout);
    std::fflush(stdout);

    int exitCode = result.exitCode;
    std::string reason = result.failure;
    if (!summaryPath.empty() &&
        !ferrox_host::writeTextFile(summaryPath, ferrox_host::summaryJson(result).dump(2) + "\n", error)) {
        if (exitCode == 0) {
            exitCode = 1;
            reason = error;
        }
    }
    if (!csvPath.empty() && result.capture.ran) {
        std::ostringstream csv;
        ferrox_host::writeCsv(result.capture, csv);
        if (!ferrox_host::writeTextFile(csvPath, csv.str(), error) && exitCode == 0) {
            exitCode = 1;
            reason = error;
        }
    }
    return exitCode == 0 ? 0 : fatal(exitCode, reason);
}

} // namespace

int main(int argc, char** argv) {
    try {
        return runHost(argc, argv);
    } catch (const std::exception& error) {
        return fatal(1, error.what());
    } catch (...) {
        return fatal(1, "unexpected failure");
    }
}
