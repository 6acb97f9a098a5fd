#include "tools/ferrox-host/Check.h"

#include "companion/Paths.h"
#include "device/FerroxEMG.h"
#include "factory/DeviceChannels.h"
#include "inventory/ConfigurationReport.h"
#include "inventory/SensorStateReader.h"
#include "platform/Environment.h"
#include "platform/Listener.h"
#include "platform/PortHolders.h"
#include "platform/ChildProcess.h"
#include "platform/Process.h"
#include "platform/Os.h"
#include "platform/SharedLibrary.h"
#include "tools/ferrox-host/PluginModule.h"

#include "FerroxVersion.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>
#include <utility>

namespace ferrox_host {

namespace {

namespace fs = std::filesystem;
using QuillmarkPluginDevices::ConfigurationReport;
using QuillmarkPluginDevices::kCompanionImageName;

CheckItem ok(std::string subject, std::string finding) {
    return {CheckLevel::Ok, std::move(subject), std::move(finding), std::string()};
}
CheckItem warn(std::string subject, std::string finding, std::string action) {
    return {CheckLevel::Warn, std::move(subject), std::move(finding), std::move(action)};
}
CheckItem fail(std::string subject, std::string finding, std::string action) {
    return {CheckLevel::Fail, std::move(subject), std::move(finding), std::move(action)};
}

template <typename Items> std::string joined(const Items& items) {
    std::string text;
    for (const auto& item : items) {
        text += (text.empty() ? "" : ", ") + std::to_string(item);
    }
    return text;
}

std::string plural(std::size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

bool isFolder(const std::string& path) {
    std::error_code ec;
    return fs::is_directory(path, ec);
}

bool exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

// What each variable leads the plug-in to.
struct Variable {
    const char* name;
    const char* option; // ferrox-host's option that sets it
    const char* below;  // what the plug-in looks for below it
};
const Variable kVariables[] = {
    {"ProgramData", "--program-data", "the command folder and the device configuration report"},
    {"PROGRAMFILES", "--program-files", "the companion"},
    {"APPDATA", "--app-data", "the vendor's state file"},
};

CheckItem checkVariable(const Variable& variable) {
    const std::optional<std::string> value = platform::getEnv(variable.name);
    const std::string set =
        std::string("the system sets it for every log-on; for ferrox-host, ") + variable.option + " sets it";
    if (!value) {
        return fail(variable.name, std::string("not set, so the plug-in cannot find ") + variable.below,
                    "start the host from a normal Windows log-on: " + set);
    }
    if (!isFolder(*value)) {
        return fail(variable.name, *value + " is not a folder, so the plug-in cannot find " + variable.below,
                    "point it at the folder that holds " + std::string(variable.below) + " (" + set + ")");
    }
    return ok(variable.name, *value);
}

std::string notLookedFor(const char* variable) {
    return std::string("not looked for: ") + variable + " is not set";
}

CheckItem checkCompanionFile() {
    const char* subject = "companion";
    const auto path = QuillmarkPluginDevices::companionExecutablePath();
    if (!path) {
        return fail(subject, notLookedFor("PROGRAMFILES"), "set PROGRAMFILES (see its line above)");
    }
    const std::string install = "install the companion so that this file exists: the plug-in starts exactly "
                                "this file (ferrox-companion-sim.exe of the FerroxEMG package is a "
                                "simulator for trying a set-up, not the companion)";
    std::error_code ec;
    const fs::file_status status = fs::status(*path, ec);
    if (!fs::exists(status)) {
        return fail(subject, "not found at " + *path, install);
    }
    if (!fs::is_regular_file(status)) {
        return fail(subject, *path + " is not a file", install);
    }
    const fs::perms anyExecute = fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
    if ((status.permissions() & anyExecute) == fs::perms::none) {
        return fail(subject, *path + " is not executable",
                    "let the user who runs the host execute it (chmod +x)");
    }
    return ok(subject, *path);
}

CheckItem checkCompanionRunning() {
    const char* subject = "companion running";
    const std::string endIt = std::string("unless a host session is open, end ") + kCompanionImageName +
                              " before the host loads the plug-in: the plug-in starts a companion of its "
                              "own, and unloading it ends every process of that name";
    const std::optional<unsigned long> found =
        platform::runHidden(platform::imageCheckCommandLine(QuillmarkPluginDevices::kCompanionImageName));
    if (found && *found == 0) {
        return warn(subject, std::string("yes, ") + kCompanionImageName + " is running", endIt);
    }
    if (found && *found == 1) {
        return ok(subject, "no");
    }
    const std::string why = found ? "the process list query exited with " + std::to_string(*found)
                                  : std::string("the process list query did not start");
    return warn(subject, "unknown (" + why + ")",
                std::string("look for ") + kCompanionImageName + " in the Task Manager; " + endIt);
}

CheckItem checkCommandFolder() {
    const char* subject = "command folder";
    const auto commandFile = QuillmarkPluginDevices::commandFilePath();
    if (!commandFile) {
        return fail(subject, notLookedFor("ProgramData"), "set ProgramData (see its line above)");
    }
    const std::string folder = fs::path(*commandFile).parent_path().string();
    if (!isFolder(folder)) {
        return fail(subject, folder + " does not exist",
                    "create it: the plug-in writes its commands there and the companion its report "
                    "(the companion's installer makes it)");
    }
    // A probe file of our own: the command file itself is the companion's to read.
    const std::string probe =
        (fs::path(folder) / ("ferrox-check-" + std::to_string(platform::currentProcessId()) + ".tmp"))
            .string();
    bool written = false;
    {
        std::ofstream out(probe, std::ios::out | std::ios::trunc);
        out << "ferrox-host --check\n";
        out.close();
        written = !out.fail();
    }
    std::error_code ec;
    fs::remove(probe, ec);
    if (!written) {
        return fail(subject, folder + " is not writable",
                    "give the user who runs the host write access to it: the plug-in writes its commands "
                    "there");
    }
    return ok(subject, folder + " is writable");
}

// The report as the plug-in's enumeration would read it; nothing when there is none to read yet.
struct ReportReading {
    std::optional<std::string> path;
    bool present = false; // exists and holds at least one byte
    ConfigurationReport report;
};

ReportReading readReport() {
    ReportReading reading;
    reading.path = QuillmarkPluginDevices::configurationReportPath();
    if (!reading.path) {
        return reading;
    }
    std::error_code ec;
    const auto size = fs::file_size(*reading.path, ec);
    reading.present = !ec && size > 0;
    if (reading.present) {
        reading.report = QuillmarkPluginDevices::readConfigurationReport(*reading.path);
    }
    return reading;
}

std::string channelList(const std::vector<QuillmarkPluginDevices::DeviceChannel>& channels) {
    std::string text;
    for (const auto& channel : channels) {
        text += (text.empty() ? "" : ", ") + channel.name;
    }
    return text;
}

CheckItem checkStateFile(const ReportReading& report) {
    const char* subject = "state file";
    const auto path = QuillmarkPluginDevices::sensorStateFilePath();
    if (!path) {
        return fail(subject, notLookedFor("APPDATA"), "set APPDATA (see its line above)");
    }
    const std::string pair = "pair the sensors in the vendor's desktop software, which writes this file, "
                             "logged on as the user who runs the host";
    const QuillmarkPluginDevices::SensorStateReading reading =
        QuillmarkPluginDevices::readSensorStateFile(*path);
    if (!reading.opened) {
        if (!exists(*path)) {
            return fail(subject, "not found at " + *path, pair);
        }
        return fail(subject, *path + " cannot be read", "give the user who runs the host read access to it");
    }
    const auto& sensors = reading.sensors;
    if (sensors.empty()) {
        return fail(subject,
                    *path +
                        (reading.fault.empty() ? " lists no sensors" : " cannot be used: " + reading.fault),
                    pair);
    }
    std::vector<int32_t> ids;
    for (const auto& sensor : sensors) {
        ids.push_back(sensor.SensorId);
    }
    const std::string found = plural(sensors.size(), "sensor", "sensors") + " (IDs " + joined(ids) + ")";
    if (!reading.fault.empty()) {
        return warn(subject, "reading stopped after " + found + ": " + reading.fault,
                    "the sensors after that point get no channels; " + pair);
    }
    if (!report.present || !report.report.reportOpened) {
        // Which sensors become channels is the report's to say; show what all of them would give.
        const auto channels = QuillmarkPluginDevices::deviceChannels(sensors, ids);
        return ok(subject, found + "; were all of them occupied, the factory would make " +
                               plural(channels.size(), "channel", "channels") + ": " + channelList(channels));
    }
    const auto channels = QuillmarkPluginDevices::deviceChannels(sensors, report.report.occupiedSensorIds);
    if (channels.empty()) {
        return warn(
            subject,
            found + ", but the report lists none of them as occupied (sensors " +
                joined(report.report.occupiedSensorIds) + "): the device gets no channels",
            "pair the sensors that sit on the base station in the vendor's software, then scan again");
    }
    return ok(subject, found + "; the factory makes " + plural(channels.size(), "channel", "channels") +
                           ": " + channelList(channels));
}

CheckItem checkReport(const ReportReading& reading) {
    const char* subject = "configuration report";
    if (!reading.path) {
        return fail(subject, notLookedFor("ProgramData"), "set ProgramData (see its line above)");
    }
    const std::string wait =
        "nothing before a session: the companion writes it once the host loads the "
        "plug-in (if the host then shows no device, see \"No report within 30 s\" in the "
        "user guide)";
    if (!reading.present) {
        return warn(subject,
                    exists(*reading.path)
                        ? "empty: the companion has not written one since the plug-in was last "
                          "unloaded"
                        : "absent: the companion has not written one yet",
                    wait);
    }
    const ConfigurationReport& report = reading.report;
    if (!report.reportOpened) {
        return fail(subject, *reading.path + " cannot be read",
                    "give the user who runs the host read access to it");
    }
    const std::string restart = "connect the base station and restart the companion, so that it writes a new "
                                "report";
    if (report.stationCount <= 0) {
        return fail(subject, *reading.path + " counts no base station, so the host would get no device",
                    restart);
    }
    const std::string found =
        plural(static_cast<std::size_t>(report.stationCount), "base station", "base stations") +
        ", hardware name \"" + report.hardwareName + "\", identifier " +
        (report.deviceId.empty() ? std::string("(none)") : report.deviceId) + ", " +
        (report.occupiedSensorIds.empty() ? std::string("no occupied slot")
                                          : "sensors " + joined(report.occupiedSensorIds) + " occupied");
    if (report.hardwareName.empty() || report.deviceId.empty()) {
        return warn(subject, found + ": the device's model or serial will be empty", restart);
    }
    if (report.occupiedSensorIds.empty()) {
        return warn(subject, found + ": the device gets no channels",
                    "switch the sensors on, place them on the base station and restart the companion");
    }
    return ok(subject, found);
}

std::string holderList(const std::vector<platform::PortHolder>& holders) {
    std::string text;
    for (const auto& holder : holders) {
        text += (text.empty() ? "" : ", ") +
                (holder.processName.empty() ? std::string("unknown") : holder.processName) + " (process " +
                std::to_string(holder.processId) + ")";
    }
    return text;
}

CheckItem checkPort() {
    const unsigned short port = QuillmarkPluginDevices::FerroxEMG::kStreamPort;
    const std::string subject = "port " + std::to_string(port) + " on 0.0.0.0";
    const std::string rule =
        "the device listens on every IPv4 interface and takes the stream from this "
        "machine only (loopback, or one of its own addresses); a connection from another "
        "machine is closed at once";
    // Bound as the device binds it, never listened on: a running device and its companion do not notice.
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor probe(io);
    boost::system::error_code ec;
    probe.open(boost::asio::ip::tcp::v4(), ec);
    if (!ec) {
        platform::setListenerAddressReuse(probe, ec);
    }
    if (!ec) {
        probe.bind({boost::asio::ip::address_v4::any(), port}, ec);
    }
    boost::system::error_code ignored;
    probe.close(ignored);
    if (!ec) {
        return ok(subject, "free; " + rule);
    }
    if (ec != boost::asio::error::address_in_use && ec != boost::asio::error::access_denied) {
        return fail(
            subject, "cannot be tried: " + ec.message() + " (" + std::to_string(ec.value()) + ")",
            "check that the computer's network stack works (the stream runs over TCP on this machine)");
    }
    const std::vector<platform::PortHolder> holders = platform::tcpPortHolders(port);
    return fail(
        subject,
        "held by " +
            (holders.empty() ? std::string("a process the system does not name (unknown)")
                             : holderList(holders)) +
            "; " + rule,
        "end that program, or close the host session it belongs to (a FerroxEMG device holds the port "
        "while it exists; a device made meanwhile delivers zeros until the port is free), then check again");
}

CheckItem checkPlugin(const std::string& path) {
    const char* subject = "plug-in";
    PluginModule plugin;
    std::string error;
    if (!plugin.load(path, error)) {
        return fail(subject, path + " does not load: " + error,
                    "install the FerroxEMG package again, or point --plugin at its FerroxEMG.dll "
                    "(AnalogSystem.dll must be beside it)");
    }
    int32_t major = -1;
    int32_t minor = -1;
    int32_t revision = -1;
    plugin.version(major, minor, revision);
    plugin.unloadLibrary();
    const std::string version =
        std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(revision);
    std::string found =
        path + ", version " + version + ", exports DLLVersion, DLLEnumerateDeviceFactories, PluginDLLUnload";
    // Its version resource says which host SDK it was built against; a POSIX build always has the model.
    const std::optional<std::string> comments = platform::libraryComments(path);
    if (!platform::kIsWindows || (comments && *comments == FERROX_HOST_MODEL_COMMENT)) {
        found +=
            "; built against FerroxEMG's host model, so it is for the included tools (ferrox-host, --check, "
            "the companion simulator) only: the host needs a FerroxEMG.dll built with the host's own SDK "
            "(README, \"Building for the host\")";
    }
    if (version != FERROX_VERSION_STRING) {
        return warn(subject, found + ", but this ferrox-host is " FERROX_VERSION_STRING,
                    "install the plug-in and ferrox-host from the same package");
    }
    return ok(subject, found);
}

} // namespace

namespace {
struct LevelCounts {
    std::size_t ok = 0;
    std::size_t warn = 0;
    std::size_t fail = 0;
};

LevelCounts countLevels(const std::vector<CheckItem>& items) {
    LevelCounts counts;
    for (const CheckItem& item : items) {
        ++(item.level == CheckLevel::Ok     ? counts.ok
           : item.level == CheckLevel::Warn ? counts.warn
                                            : counts.fail);
    }
    return counts;
}

const char* levelName(CheckLevel level) {
    return level == CheckLevel::Ok ? "OK" : level == CheckLevel::Warn ? "WARN" : "FAIL";
}
} // namespace

std::vector<CheckItem> runCheck(const std::string& pluginPath) {
    std::vector<CheckItem> items;
    for (const Variable& variable : kVariables) {
        items.push_back(checkVariable(variable));
    }
    items.push_back(checkCompanionFile());
    items.push_back(checkCompanionRunning());
    items.push_back(checkCommandFolder());
    // The report says which of the state file's sensors become channels.
    const ReportReading report = readReport();
    items.push_back(checkStateFile(report));
    items.push_back(checkReport(report));
    items.push_back(checkPort());
    items.push_back(checkPlugin(pluginPath));
    return items;
}

std::string checkLine(const CheckItem& item) {
    std::string line = levelName(item.level);
    line.resize(6, ' ');
    line += item.subject + ": " + item.finding;
    if (item.level != CheckLevel::Ok) {
        line += ". To do: " + item.action;
    }
    return line;
}

std::string checkSummary(const std::vector<CheckItem>& items) {
    const LevelCounts counts = countLevels(items);
    return "check: " + std::to_string(counts.ok) + " OK, " + std::to_string(counts.warn) + " WARN, " +
           std::to_string(counts.fail) + " FAIL";
}

int checkExitCode(const std::vector<CheckItem>& items) {
    return countLevels(items).fail > 0 ? kExitCheckFailed : 0;
}

nlohmann::json checkJson(const std::vector<CheckItem>& items) {
    nlohmann::json list = nlohmann::json::array();
    for (const CheckItem& item : items) {
        list.push_back({{"level", levelName(item.level)},
                        {"subject", item.subject},
                        {"finding", item.finding},
                        {"action", item.action},
                        {"line", checkLine(item)}});
    }
    const LevelCounts counts = countLevels(items);
    return {{"items", list},
            {"ok", counts.ok},
            {"warn", counts.warn},
            {"fail", counts.fail},
            {"exit_code", checkExitCode(items)}};
}

} // namespace ferrox_host
