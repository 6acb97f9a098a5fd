#pragma once

#include "platform/Handle.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// Process helpers for the tests and the tools; the plug-in itself uses none of them.

// A command line for runHidden (Process.h) that does nothing but exit with `code`.
std::string exitCodeCommandLine(int code);

// For a process this process started (ConsoleLaunch::process): ends it and reaps it, or waits at most
// `limit` for its exit code. The handle itself stays open on Windows.
bool terminateProcess(NativeHandle process);
std::optional<int> waitForProcess(NativeHandle process, std::chrono::milliseconds limit);

// A child process started by a test or a tool, ended only by its id.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess(); // kills and reaps a child that is still running
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;

    // Starts program with arguments (argv[1..]); standard streams inherited. False on failure.
    bool start(const std::string& program, const std::vector<std::string>& arguments);
    // Exit code once the child has ended within the limit; nothing if it still runs.
    std::optional<int> waitFor(std::chrono::milliseconds limit);
    bool running();
    void kill();
    long id() const { return id_; }

private:
    NativeHandle handle_ = kInvalidHandle;
    long id_ = 0;
    std::optional<int> exitCode_;
};

// This process's id, and whether a process of that id exists.
long currentProcessId();
bool processExists(long id);

// The full path of this process's executable ("" when unknown).
std::string currentExecutablePath();

} // namespace platform
