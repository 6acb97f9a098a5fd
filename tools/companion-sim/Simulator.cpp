#include "Simulator.h"

#include "SystemFiles.h"

#include "companion/Paths.h"
#include "platform/StandardStreams.h"
#include "platform/TerminationRequest.h"

#include <exception>
#include <filesystem>
#include <sstream>
#include <system_error>

namespace companion_sim {

namespace {
std::string describe(const Settings& s) {
    std::ostringstream out;
    const auto ids = s.sensorIds();
    out << s.sensors << (s.sensors == 1 ? " sensor" : " sensors") << " (ids " << ids.front();
    if (ids.size() > 1) {
        out << " to " << ids.back();
    }
    out << "), " << s.stations << (s.stations == 1 ? " base station" : " base stations") << ", stream "
        << kStreamHost << ":" << s.port << ", layout " << commandText(s.initialMode) << ", signal "
        << signalShapeName(s.shape) << ", latency stamp " << (s.latencyStamp ? "in value 127" : "off")
        << ", block counter " << (s.sequence ? "in value 126, last write's return in value 125" : "off");
    // The stream's shape only when it is not the tidy default, so that an odd sender is noticed.
    if (!s.noDelay) {
        out << ", Nagle's algorithm on";
    }
    if (s.burst > 1) {
        out << ", " << s.burst << " blocks per write";
    }
    if (s.clockPpm != 0) {
        out << ", clock error " << (s.clockPpm > 0 ? "+" : "") << s.clockPpm << " ppm";
    }
    if (s.jitter.count() > 0) {
        out << ", jitter up to " << s.jitter.count() << " ms";
    }
    return out.str();
}
} // namespace

Simulator::Simulator(const Settings& settings, Console& console, std::string pipeName)
    : settings_(settings), console_(console), pipeName_(std::move(pipeName)),
      commandFile_(QuillmarkPluginDevices::commandFilePath().value_or("")),
      reportFile_(QuillmarkPluginDevices::configurationReportPath().value_or("")),
      stateFile_(QuillmarkPluginDevices::sensorStateFilePath().value_or("")),
      sender_(settings, console, platform::SteadyClock::now()) {}

Simulator::~Simulator() {
    shutdown();
}

int Simulator::run() {
    // Block pacing needs 1 ms sleeps; Windows gives 15.6 ms without asking.
    platform::TimerResolution resolution;
    console_.post("SabletBase simulator started" + (pipeName_.empty() ? std::string() : " for " + pipeName_) +
                  ": " + describe(settings_));
    if (commandFile_.empty() || reportFile_.empty()) {
        console_.post("ProgramData is not set: there is no command file to watch; exiting");
        return 2;
    }
    // The plug-in writes its commands without creating the folder; the installed base software would
    // have made it.
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(commandFile_).parent_path(), ec);
    writeStateFileIfMissing();

    if (!sender_.start()) {
        console_.post("Cannot start the stream thread; exiting");
        return 3;
    }
    if (settings_.watchStandardInput) {
        if (!platform::isValid(platform::standardInput())) {
            console_.post("No standard input to watch");
        } else if (!inputThread_.start(&Simulator::InputThread, this)) {
            console_.post("Cannot start the standard input watcher; it is not watched");
        }
    }

    console_.post("Watching " + commandFile_);
    while (!stop_.raised() && !platform::terminationRequested()) {
        pollCommandFile();
        stop_.sleepFor(kCommandPoll);
    }
    if (platform::terminationRequested()) {
        console_.post("Termination requested; shutting down");
    }
    shutdown();
    console_.post("SabletBase simulator stopped after " + std::to_string(sender_.blocksSent()) + " blocks (" +
                  std::to_string(sender_.blocksSkipped()) + " skipped behind schedule)");
    return 0;
}

void Simulator::shutdown() {
    input_.interrupt();
    if (inputThread_.held()) {
        inputThread_.join();
    }
    sender_.stop();
}

int Simulator::InputThread(void* simulator) {
    auto* self = static_cast<Simulator*>(simulator);
    try {
        self->watchStandardInput();
    } catch (const std::exception& error) {
        self->console_.post(std::string("Standard input watcher failed: ") + error.what());
    }
    return 0;
}

void Simulator::watchStandardInput() {
    char buffer[256];
    for (;;) {
        std::size_t got = 0;
        switch (input_.read(platform::standardInput(), buffer, sizeof buffer, got)) {
        case platform::PipeReader::Status::Data:
            if (got > 0) {
                continue; // nothing is read from standard input; it only tells that the parent lives
            }
            // A file or a console reports its end as a successful read of nothing.
            [[fallthrough]];
        case platform::PipeReader::Status::EndOfFile:
            console_.post("Standard input closed; shutting down");
            stop_.raise();
            return;
        case platform::PipeReader::Status::Failed:
            console_.post("Standard input cannot be read; it is not watched");
            return;
        case platform::PipeReader::Status::Interrupted:
            return;
        }
    }
}

void Simulator::pollCommandFile() {
    // A write between the two stamps means the content may be half old, half new: look again later.
    const auto before = modificationStamp(commandFile_);
    auto content = readWholeFile(commandFile_);
    const auto after = modificationStamp(commandFile_);
    if (before != after) {
        return;
    }
    for (const auto& command : tracker_.observe({std::move(content), after})) {
        if (stop_.raised()) {
            return; // shutting down: a report written now would outlive the companion
        }
        handle(command);
    }
}

void Simulator::handle(const std::string& command) {
    if (command == "AppRunMode") {
        writeStateFileIfMissing();
        writeReport();
        sender_.collect();
        console_.post("AppRunMode: collecting in " + std::string(commandText(sender_.mode())));
        return;
    }
    if (command == "Scan") {
        std::ostringstream found;
        const auto ids = settings_.sensorIds();
        found << "Scan: found " << ids.size() << (ids.size() == 1 ? " sensor:" : " sensors:");
        for (std::size_t slot = 0; slot < ids.size(); ++slot) {
            found << (slot ? ", " : " ") << "slot " << slot + 1 << " sensor " << ids[slot];
        }
        console_.post(found.str());
        return;
    }
    if (auto mode = runModeFromCommand(command)) {
        sender_.collect(*mode);
        console_.post(command + ": streaming in this layout");
        return;
    }
    if (command == "Stop") {
        sender_.pause();
        console_.post("Stop: stream paused, connection kept");
        return;
    }
    console_.post("Ignoring unknown command \"" + command + "\"");
}

void Simulator::writeReport() {
    std::string error;
    if (writeFileAtomically(reportFile_, composeReport(settings_), error)) {
        console_.post("Configuration report written: " + reportFile_);
    } else {
        console_.post("Configuration report not written: " + error);
    }
}

void Simulator::writeStateFileIfMissing() {
    if (stateFile_.empty()) {
        console_.post("APPDATA is not set: no sensor state file");
        return;
    }
    if (fileExists(stateFile_)) {
        return;
    }
    std::string error;
    if (writeFileAtomically(stateFile_, composeStateFile(settings_), error)) {
        console_.post("Sensor state file written: " + stateFile_);
    } else {
        console_.post("Sensor state file not written: " + error);
    }
}

} // namespace companion_sim
