#pragma once

#include "CommandFileTracker.h"
#include "Console.h"
#include "Settings.h"
#include "StreamSender.h"

#include "platform/PipeReader.h"
#include "platform/StopSignal.h"
#include "platform/Thread.h"

#include <string>

namespace companion_sim {

// The companion's whole life: it watches the command file and acts on each new command, keeps the
// report and the state file, owns the stream thread and the thread that waits on standard input,
// and stops and joins both when it ends (end of standard input, a termination request, stop()).
class Simulator {
public:
    static constexpr auto kCommandPoll = std::chrono::milliseconds(20);

    Simulator(const Settings& settings, Console& console, std::string pipeName);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Runs until told to end; the process's exit code.
    int run();
    // From any thread.
    void stop() { stop_.raise(); }

private:
    static int InputThread(void* simulator);
    void watchStandardInput();
    void pollCommandFile();
    void handle(const std::string& command);
    void writeReport();
    void writeStateFileIfMissing();
    void shutdown();

    Settings settings_;
    Console& console_;
    std::string pipeName_;
    std::string commandFile_;
    std::string reportFile_;
    std::string stateFile_;
    CommandFileTracker tracker_;
    StreamSender sender_;
    platform::StopSignal stop_;
    platform::PipeReader input_;
    platform::Thread inputThread_;
};

} // namespace companion_sim
